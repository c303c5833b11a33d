#pragma once

#include <initializer_list>

namespace zelvo::dispatch {

// Blocks these signals in the calling thread, and so in every thread it starts afterwards. Called
// first thing in main, before any thread exists.
void blockSignals(std::initializer_list<int> signalNumbers);

// Sets the signal's disposition to SIG_IGN, so that it no longer ends the process and is not
// inherited as a default action; a signal already pending (blocked) stays pending for a
// SignalSource to read, although setting SIG_IGN by itself would discard it.
void ignoreSignal(int signalNumber);

// Parks the calling thread for ever; the process ends through exitProcess or a signal.
[[noreturn]] void dispatchMain();

// Ends the process at once with this status, from any thread, without running destructors or
// atexit handlers while other threads still run.
[[noreturn]] void exitProcess(int status);

} // namespace zelvo::dispatch
