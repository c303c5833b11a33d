#include "Process.h"

#include <cerrno>
#include <csignal>
#include <pthread.h>
#include <system_error>
#include <unistd.h>

namespace zelvo::dispatch {

void blockSignals(std::initializer_list<int> signalNumbers) {
    sigset_t set;
    sigemptyset(&set);
    for (const int signalNumber : signalNumbers) {
        if (sigaddset(&set, signalNumber) != 0) {
            throw std::system_error(errno, std::generic_category(), "blockSignals: signal number");
        }
    }
    if (const int error = ::pthread_sigmask(SIG_BLOCK, &set, nullptr); error != 0) {
        throw std::system_error(error, std::generic_category(), "pthread_sigmask");
    }
}

void ignoreSignal(int signalNumber) {
    sigset_t probe;
    sigemptyset(&probe);
    if (sigaddset(&probe, signalNumber) != 0) {
        throw std::system_error(errno, std::generic_category(), "ignoreSignal: signal number");
    }
    sigset_t pending;
    if (::sigpending(&pending) != 0) {
        throw std::system_error(errno, std::generic_category(), "sigpending");
    }
    const bool wasPending = sigismember(&pending, signalNumber) == 1;

    struct sigaction action {};
    action.sa_handler = SIG_IGN;
    sigemptyset(&action.sa_mask);
    if (::sigaction(signalNumber, &action, nullptr) != 0) {
        throw std::system_error(errno, std::generic_category(), "sigaction");
    }
    // SIG_IGN has just discarded it. Sent to the process again it stays pending, since Linux never
    // discards a blocked signal as ignored, and it is now visible to every thread's signalfd.
    if (wasPending && ::kill(::getpid(), signalNumber) != 0) {
        throw std::system_error(errno, std::generic_category(), "kill");
    }
}

void defaultSignal(int signalNumber) {
    struct sigaction action {};
    action.sa_handler = SIG_DFL;
    sigemptyset(&action.sa_mask);
    if (::sigaction(signalNumber, &action, nullptr) != 0) {
        throw std::system_error(errno, std::generic_category(), "sigaction");
    }
}

void dispatchMain() {
    for (;;) {
        ::pause();
    }
}

void exitProcess(int status) {
    ::_exit(status);
}

} // namespace zelvo::dispatch
