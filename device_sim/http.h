// The HTTP that device_sim speaks: requests taken off a connection's bytes within fixed
// bounds, and replies built.
#pragma once

#include "http/request_head.h"

#include <QByteArray>

// A request line and its headers, up to the empty line that ends them.
constexpr int maxHeaderBytes = 64 * 1024;
// What is kept of a body: enough for its "id" and for --dump; the rest is counted only.
constexpr int maxKeptBodyBytes = 64 * 1024;

struct Request {
    QByteArray method;
    QByteArray target;  // as sent: a path, perhaps with a query, or the absolute form
    QByteArray path;    // the target's path alone
    QByteArray body;    // its first maxKeptBodyBytes
    qint64 bodySize = 0;
    bool wantsClose = false;  // Connection: close, or HTTP/1.0 without keep-alive
    QByteArray raw;           // the header and the body's kept part, as they arrived
};

enum class Parse { Incomplete, Done, Rejected };

struct ParseResult {
    Parse state = Parse::Incomplete;
    Request request;    // when Done
    QByteArray status;  // when Rejected: the reply's status, "400 Bad Request" and the like
    QByteArray reason;  // when Rejected: why, for the log
};

// The bytes of one connection, taken off as requests. It parses each header once, as soon
// as it is whole (RequestHeadParser), and then takes the body as it comes, keeping only
// its start: a header over maxHeaderBytes, or a body over the limit, is refused as soon as
// the header shows it.
class RequestReader {
public:
    explicit RequestReader(qint64 maxBodyBytes) : maxBodyBytes_(maxBodyBytes), head_(maxHeaderBytes) {}

    // A body's bytes are taken as they come, not kept in the buffer.
    void append(const QByteArray &bytes);
    // No byte of a request has arrived since the last one was taken.
    bool isEmpty() const { return stage_ == Stage::Header && buffer_.isEmpty(); }
    // How many more bytes the request in progress may need, at most.
    qint64 room() const;
    // True once for a request whose header asked for "100 Continue" and whose body is due.
    bool takeContinue();

    ParseResult next();

private:
    enum class Stage { Header, Body };

    ParseResult takeBody();
    int consumeBody(const char *bytes, int size);

    qint64 maxBodyBytes_;
    RequestHeadParser head_;
    Stage stage_ = Stage::Header;
    QByteArray buffer_;
    Request request_;  // in the Body stage: the request whose body is arriving
    qint64 bodyLeft_ = 0;
    bool continueDue_ = false;
};

// The status line and headers of a reply whose body is `length` bytes.
QByteArray httpHead(const QByteArray &status, const QByteArray &type, qint64 length, bool close);
QByteArray httpResponse(const QByteArray &status, const QByteArray &type, const QByteArray &body, bool close);
