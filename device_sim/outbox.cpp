#include "outbox.h"

#include <cerrno>

#include <sys/socket.h>

namespace {

// Taken bytes are dropped from the front once this many have gone, not on every send.
constexpr qint64 compactAfterBytes = 64 * 1024;

}  // namespace

void Outbox::queue(const QByteArray &bytes, qint64 nowMs)
{
    if (unsent() == 0)
        lastTakenMs_ = nowMs;
    bytes_.append(bytes);
}

Outbox::Flush Outbox::flush(int fd, qint64 nowMs)
{
    while (unsent() > 0) {
        const ssize_t written =
            ::send(fd, bytes_.constData() + sent_, static_cast<std::size_t>(unsent()), MSG_NOSIGNAL | MSG_DONTWAIT);
        if (written > 0) {
            sent_ += written;
            lastTakenMs_ = nowMs;
            continue;
        }
        if (written < 0 && errno == EINTR)
            continue;
        if (written < 0 && (errno == EAGAIN || errno == EWOULDBLOCK))
            break;
        return Flush::Failed;
    }
    if (unsent() == 0) {
        bytes_.clear();
        sent_ = 0;
        return Flush::Drained;
    }
    if (sent_ >= compactAfterBytes) {
        bytes_.remove(0, static_cast<int>(sent_));
        sent_ = 0;
    }
    return Flush::Waiting;
}
