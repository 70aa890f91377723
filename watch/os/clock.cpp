#include "os/clock.h"

#include "os/say.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ctime>

namespace {

qint64 clockMs(clockid_t clock)
{
    timespec now{};
    if (clock_gettime(clock, &now) != 0) {
        say(QByteArray("clock_gettime: ") + QByteArray(std::strerror(errno)));
        std::abort();
    }
    return qint64{now.tv_sec} * 1000 + now.tv_nsec / 1000000;
}

}  // namespace

qint64 SystemClock::monotonicMs() const
{
    return clockMs(CLOCK_MONOTONIC);
}

qint64 SystemClock::wallMs() const
{
    return clockMs(CLOCK_REALTIME);
}
