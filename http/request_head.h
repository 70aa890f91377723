// An HTTP/1.x request head (its request line and header fields, to the empty line that
// ends them) taken off a connection's bytes as they arrive. The search for its end goes
// on where the last one stopped, so a head trickled in a byte at a time is not scanned
// again and again; it is bounded; and what it refuses, it refuses as nginx does. What a
// server then serves, and any body, is the server's own.
#pragma once

#include <QByteArray>
#include <QList>
#include <QPair>

struct RequestHead {
    QByteArray method;
    QByteArray target;  // as sent: a path, perhaps with a query, or the absolute form
    QByteArray path;    // the target's path alone
    bool http10 = false;
    // Each field's name in lower case, and its value without the white space around it.
    QList<QPair<QByteArray, QByteArray>> fields;
    qint64 contentLength = 0;
    bool wantsClose = false;       // Connection: close, or HTTP/1.0 without keep-alive
    bool expectsContinue = false;  // Expect: 100-continue
    QByteArray raw;                // the head's bytes, its empty line included

    // The values of every field named NAME (lower case), joined by commas.
    QByteArray value(const QByteArray &name) const;
};

struct HeadResult {
    enum class State { Incomplete, Done, Refused } state = State::Incomplete;
    RequestHead head;   // when Done
    QByteArray status;  // when Refused: the reply's status, "400 Bad Request" and the like
    QByteArray reason;  // when Refused: why, for a log
};

class RequestHeadParser {
public:
    // A head of more than MAXBYTES, its empty line included, is refused with 431.
    explicit RequestHeadParser(int maxBytes) : maxBytes_(maxBytes) {}

    // Takes the head at the start of *BUFFER off it once it is whole, after skipping the
    // empty lines before it (RFC 9112 2.2). Lines may end in CR LF or in LF alone.
    // Incomplete leaves *BUFFER as it is, to be called again once more bytes are appended.
    HeadResult take(QByteArray *buffer);
    int maxBytes() const { return maxBytes_; }

private:
    void skipEmptyLines(QByteArray *buffer);
    HeadResult parse(const QByteArray &head) const;

    int maxBytes_;
    int scanned_ = 0;  // no head ends before this point of the buffer
};
