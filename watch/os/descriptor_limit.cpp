#include "os/descriptor_limit.h"

#include "os/say.h"

#include <cerrno>
#include <cstring>

#include <sys/resource.h>

void raiseDescriptorLimit()
{
    rlimit limit{};
    if (getrlimit(RLIMIT_NOFILE, &limit) != 0) {
        say(QByteArray("cannot read the limit on open files: ") + QByteArray(std::strerror(errno)));
        return;
    }
    if (limit.rlim_cur >= limit.rlim_max)
        return;
    limit.rlim_cur = limit.rlim_max;
    if (setrlimit(RLIMIT_NOFILE, &limit) != 0)
        say(QByteArray("cannot raise the limit on open files: ") + QByteArray(std::strerror(errno)));
}
