// Linked into testVRN730 by the coverage build alone (-DCOVERAGE=ON). gcov writes its counts
// when a process returns from main or calls exit, and the client ends otherwise: killed by
// SIGTERM or SIGINT, by raise(SIGPIPE) when its reader has gone, by _Exit after any other
// write error. This unit writes the counts first in each case: a thread that waits for the
// two signals, started before main runs, and coverage_dump.cpp for raise and _Exit. The
// counts are not written from a signal handler: writing them takes locks (malloc's among
// them) that the interrupted client may hold, and the client then hung for good.
#include <csignal>

#include <pthread.h>

extern "C" {
int __real_raise(int signal);
void __gcov_dump();
}

namespace {

sigset_t stopSignals()
{
    sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, SIGTERM);
    sigaddset(&signals, SIGINT);
    return signals;
}

// Writes the counts once a stop signal comes, then ends the process as that signal would.
void *endAsTheSignalWould(void *)
{
    const sigset_t signals = stopSignals();
    int signal = 0;
    if (sigwait(&signals, &signal) != 0)
        return nullptr;
    __gcov_dump();
    std::signal(signal, SIG_DFL);
    pthread_sigmask(SIG_UNBLOCK, &signals, nullptr);
    __real_raise(signal);
    return nullptr;
}

__attribute__((constructor)) void writeCountsWhenStopped()
{
    // Blocked here, before any other thread starts, so that every thread leaves them to sigwait.
    const sigset_t signals = stopSignals();
    pthread_sigmask(SIG_BLOCK, &signals, nullptr);
    pthread_t waiter;
    if (pthread_create(&waiter, nullptr, endAsTheSignalWould, nullptr) == 0)
        pthread_detach(waiter);
}

}  // namespace
