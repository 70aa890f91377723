#include "request_side.h"

#include <algorithm>
#include <cerrno>

#include <sys/socket.h>

namespace {

// What one read takes off a connection; the rest waits in the kernel.
constexpr qint64 readChunkBytes = 64 * 1024;

}  // namespace

ParseResult RequestSide::next(int fd, int *reads)
{
    for (;;) {
        ParseResult parsed = reader_.next();
        if (parsed.state == Parse::Rejected)
            state_ = State::Ending;
        if (parsed.state != Parse::Incomplete || state_ != State::Open || *reads <= 0)
            return parsed;
        --*reads;
        if (!readChunk(fd))
            return parsed;
    }
}

void RequestSide::endAfterThis()
{
    if (state_ == State::Open)
        state_ = State::Ending;
}

// Reads one chunk; true when bytes came.
bool RequestSide::readChunk(int fd)
{
    const qint64 wanted = std::min(reader_.room(), readChunkBytes);
    if (wanted <= 0)
        return false;
    // One buffer for every connection: the reader copies what it keeps, and no more.
    static char chunk[readChunkBytes];
    const ssize_t got = ::recv(fd, chunk, static_cast<std::size_t>(wanted), 0);
    if (got > 0) {
        reader_.append(QByteArray::fromRawData(chunk, static_cast<int>(got)));
        return true;
    }
    if (got < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR))
        return false;
    state_ = got == 0 ? State::Ended : State::Broken;
    return false;
}
