#include "http.h"

#include <algorithm>

namespace {

ParseResult rejected(const char *status, const QByteArray &reason)
{
    ParseResult result;
    result.state = Parse::Rejected;
    result.status = status;
    result.reason = reason;
    return result;
}

}  // namespace

qint64 RequestReader::room() const
{
    const qint64 wanted = qint64{maxHeaderBytes} + 1 + (stage_ == Stage::Body ? bodyLeft_ : 0);
    return wanted - buffer_.size();
}

bool RequestReader::takeContinue()
{
    return std::exchange(continueDue_, false);
}

ParseResult RequestReader::next()
{
    if (stage_ == Stage::Body)
        return takeBody();
    HeadResult taken = head_.take(&buffer_);
    if (taken.state == HeadResult::State::Incomplete)
        return ParseResult();
    if (taken.state == HeadResult::State::Refused)
        return rejected(taken.status.constData(), taken.reason);
    const RequestHead &head = taken.head;
    if (head.contentLength > maxBodyBytes_)
        return rejected("413 Content Too Large", "Content-Length " + QByteArray::number(head.contentLength) +
                                                     " over the limit of " + QByteArray::number(maxBodyBytes_));
    request_ = Request();
    request_.method = head.method;
    request_.target = head.target;
    request_.path = head.path;
    request_.bodySize = head.contentLength;
    request_.wantsClose = head.wantsClose;
    request_.raw = head.raw;
    stage_ = Stage::Body;
    bodyLeft_ = head.contentLength;
    continueDue_ = head.expectsContinue && head.contentLength > buffer_.size();
    return takeBody();
}

void RequestReader::append(const QByteArray &bytes)
{
    const int size = static_cast<int>(bytes.size());
    const int taken = stage_ == Stage::Body && buffer_.isEmpty() ? consumeBody(bytes.constData(), size) : 0;
    buffer_.append(bytes.constData() + taken, size - taken);
}

// Takes up to `size` bytes of the body, keeping its start; returns how many it took.
int RequestReader::consumeBody(const char *bytes, int size)
{
    const int taken = static_cast<int>(std::min<qint64>(bodyLeft_, size));
    const int kept = std::min(taken, maxKeptBodyBytes - static_cast<int>(request_.body.size()));
    if (kept > 0) {
        request_.body.append(bytes, kept);
        request_.raw.append(bytes, kept);
    }
    bodyLeft_ -= taken;
    return taken;
}

// Takes what has arrived of the body.
ParseResult RequestReader::takeBody()
{
    buffer_.remove(0, consumeBody(buffer_.constData(), static_cast<int>(buffer_.size())));
    if (bodyLeft_ > 0)
        return ParseResult();
    stage_ = Stage::Header;
    continueDue_ = false;
    ParseResult result;
    result.state = Parse::Done;
    result.request = std::move(request_);
    request_ = Request();
    return result;
}

QByteArray httpHead(const QByteArray &status, const QByteArray &type, qint64 length, bool close)
{
    return "HTTP/1.1 " + status + "\r\nContent-Type: " + type + "\r\nContent-Length: " + QByteArray::number(length) +
           "\r\nConnection: " + (close ? "close" : "keep-alive") + "\r\n\r\n";
}

QByteArray httpResponse(const QByteArray &status, const QByteArray &type, const QByteArray &body, bool close)
{
    return httpHead(status, type, body.size(), close) + body;
}
