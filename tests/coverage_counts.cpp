// Linked into testVRN730 by the coverage build alone (-DCOVERAGE=ON). gcov writes its counts
// when a process returns from main or calls exit, and the client ends otherwise: killed by
// SIGTERM or SIGINT, by raise(SIGPIPE) when its reader has gone, by _Exit after any other
// write error. This unit writes the counts first in each case: a handler for the two
// signals, installed before main runs, and the linker's --wrap for raise and _Exit.
#include <csignal>

extern "C" {
void __gcov_dump();
int __real_raise(int signal);
[[noreturn]] void __real__Exit(int status);

int __wrap_raise(int signal)
{
    __gcov_dump();
    return __real_raise(signal);
}

[[noreturn]] void __wrap__Exit(int status)
{
    __gcov_dump();
    __real__Exit(status);
}
}

namespace {

void endAsTheSignalWould(int signal)
{
    __gcov_dump();
    std::signal(signal, SIG_DFL);
    __real_raise(signal);
}

__attribute__((constructor)) void writeCountsWhenStopped()
{
    std::signal(SIGTERM, endAsTheSignalWould);
    std::signal(SIGINT, endAsTheSignalWould);
}

}  // namespace
