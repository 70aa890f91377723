// GET /metrics over HTTP/1.x, served from the watch's own loop without blocking it: every
// socket is non-blocking, a request is bounded in size and time, a reply in time, and the
// connections in number, so no peer can hold the clients' logging up.
#pragma once

#include "http/request_head.h"
#include "metrics/exposition.h"

#include <QByteArray>
#include <QHash>

#include <functional>
#include <vector>

#include <poll.h>

namespace metricsserver {

enum class Outcome { NeedMore, Scrape, NotFound, NotAllowed, Refused };

struct Request {
    Outcome outcome = Outcome::NeedMore;
    bool head = false;  // HEAD: the headers alone
    metrics::Format format = metrics::Format::Text;
    QByteArray status;  // Refused: "400 Bad Request" and the like
    QByteArray reason;  // Refused: why
};

// What a request head asks of the endpoint.
Request decide(const HeadResult &head);
// What the bytes received so far ask for, at most MAXBYTES of head being read.
Request parseRequest(const QByteArray &bytes, int maxBytes);

// The whole reply to REQUEST, BODY being the exposition when it asks for one.
QByteArray replyTo(const Request &request, const QByteArray &body);

struct Limits {
    int maxConnections = 16;
    int maxRequestBytes = 8192;
    qint64 requestTimeoutMs = 5000;  // from the accept to the request's end
    qint64 replyTimeoutMs = 10000;   // from the request's end to the reply's last byte
    // Scrapes this close together share one exposition, so that a peer asking without
    // pause takes the loop's time only once in a while.
    qint64 remakeAfterMs = 250;
};

class Server {
public:
    using Render = std::function<QByteArray(metrics::Format)>;
    explicit Server(Render render, Limits limits = Limits());
    ~Server();
    Server(const Server &) = delete;
    Server &operator=(const Server &) = delete;

    // Listens on "ADDRESS:PORT", an IPv4 address or a name. False with WHY.
    bool listen(const QByteArray &addressAndPort, QByteArray *why);
    // Adds what its sockets wait for to FDS.
    void addTo(std::vector<pollfd> *fds) const;
    // FD is one of its own when true; handles what poll found on it.
    bool handle(const pollfd &fd, qint64 nowMs);
    // Closes the connections past their time.
    void onTime(qint64 nowMs);
    qint64 nextDueMs() const;

private:
    struct Connection {
        explicit Connection(int maxRequestBytes = 0) : parser(maxRequestBytes) {}
        int fd = -1;
        bool replying = false;
        RequestHeadParser parser;
        QByteArray received;
        QByteArray reply;
        int sent = 0;
        qint64 dueMs = 0;
    };
    void acceptAll(qint64 nowMs);
    void readFrom(Connection &connection, qint64 nowMs);
    void writeTo(Connection &connection);
    void closeConnection(int fd);
    QByteArray exposition(metrics::Format format, qint64 nowMs);
    void limitActed(const char *what, qint64 nowMs);

    Render render_;
    Limits limits_;
    // The last exposition in each format, and when it was made.
    struct Made {
        QByteArray body;
        qint64 atMs = -1;
    } made_[2];
    int listener_ = -1;
    QHash<int, Connection> connections_;
    qint64 limitActs_ = 0;
    qint64 lastToldMs_ = -1;
};

}  // namespace metricsserver
