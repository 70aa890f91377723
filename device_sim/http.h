// The HTTP that device_sim speaks: requests taken off a connection's bytes within fixed
// bounds, and replies built.
#pragma once

#include <QByteArray>

// A request line and its headers, up to the empty line that ends them.
constexpr int maxHeaderBytes = 64 * 1024;

struct Request {
    QByteArray method;
    QByteArray path;
    QByteArray body;
    qint64 bodySize = 0;
    bool wantsClose = false;
    QByteArray raw;  // the whole request as it arrived
};

enum class Parse { Incomplete, Done, Rejected };

struct ParseResult {
    Parse state = Parse::Incomplete;
    Request request;    // when Done
    QByteArray status;  // when Rejected: the reply's status, "400 Bad Request" and the like
    QByteArray reason;  // when Rejected: why, for the log
};

// The bytes of one connection, taken off as requests. It holds at most one request's
// header and body: a header over maxHeaderBytes, or a body over the limit, is refused as
// soon as the header shows it, before any of the body is kept. Lines may end in CR LF or
// in LF alone.
class RequestReader {
public:
    explicit RequestReader(qint64 maxBodyBytes) : maxBodyBytes_(maxBodyBytes) {}

    void append(const QByteArray &bytes) { buffer_ += bytes; }
    bool isEmpty() const { return buffer_.isEmpty(); }
    // How many more bytes the request in progress may need, at most.
    qint64 room() const;

    ParseResult next();

private:
    ParseResult parseHeader(int headerEnd);

    qint64 maxBodyBytes_;
    QByteArray buffer_;
    int scanned_ = 0;  // no header ends before this point of the buffer
};

QByteArray httpResponse(const QByteArray &status, const QByteArray &type, const QByteArray &body, bool close);
