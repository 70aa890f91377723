#include "os/write_all.h"

#include <cerrno>

#include <unistd.h>

bool writeAll(int fd, const QByteArray &bytes)
{
    const char *at = bytes.constData();
    std::size_t left = static_cast<std::size_t>(bytes.size());
    while (left > 0) {
        const ssize_t written = ::write(fd, at, left);
        if (written < 0 && errno == EINTR)
            continue;
        if (written <= 0)
            return false;
        at += written;
        left -= static_cast<std::size_t>(written);
    }
    return true;
}
