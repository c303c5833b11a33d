#pragma once

#include <initializer_list>

namespace zelvo::dispatch {

// Blocks these signals in the calling thread, and so in every thread it starts afterwards. Called
// first thing in main, before any thread exists. Throws std::system_error for an invalid signal
// number or a failed pthread_sigmask.
void blockSignals(std::initializer_list<int> signalNumbers);

// Sets the signal's disposition to SIG_IGN, so that it no longer ends the process and is not
// inherited as a default action; a signal already pending (blocked) stays pending for a
// SignalSource to read, although setting SIG_IGN by itself would discard it: one found pending
// is sent to the process again after SIG_IGN is set, and a blocked signal is never discarded as
// ignored. The signal must be blocked in every thread. One that arrives during the call itself,
// between the look at the pending set and SIG_IGN, can still be lost: call it at start-up. Throws
// std::system_error for an invalid signal number or a failed system call.
void ignoreSignal(int signalNumber);

// Sets the signal's disposition to SIG_DFL, whatever the process inherited. Throws
// std::system_error for an invalid signal number or a failed sigaction.
void defaultSignal(int signalNumber);

// Parks the calling thread for ever; the process ends through exitProcess or a signal.
[[noreturn]] void dispatchMain();

// Ends the process at once with this status, from any thread, without running destructors or
// atexit handlers while other threads still run (_exit). Standard error is written unbuffered in
// this project, so there is nothing to flush; buffered stdio output is not flushed.
[[noreturn]] void exitProcess(int status);

} // namespace zelvo::dispatch
