#include "metrics/server.h"

#include "os/say.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <utility>

#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

namespace metricsserver {

namespace {

constexpr int readChunkBytes = 4096;
// How often a limit that acts is told of, at most.
constexpr qint64 tellEveryMs = 60000;

QByteArray reply(const QByteArray &status, const QByteArray &contentType, const QByteArray &extraHeaders,
                 const QByteArray &body, bool head)
{
    return "HTTP/1.1 " + status + "\r\nContent-Type: " + contentType +
           "\r\nContent-Length: " + QByteArray::number(body.size()) + "\r\n" + extraHeaders +
           "Connection: close\r\n\r\n" + (head ? QByteArray() : body);
}

QByteArray textReply(const QByteArray &status, const QByteArray &extraHeaders, const QByteArray &text, bool head)
{
    return reply(status, "text/plain; charset=utf-8", extraHeaders, text, head);
}

}  // namespace

Request decide(const HeadResult &result)
{
    Request request;
    switch (result.state) {
    case HeadResult::State::Incomplete:
        return request;
    case HeadResult::State::Refused:
        request.outcome = Outcome::Refused;
        request.status = result.status;
        request.reason = result.reason;
        return request;
    case HeadResult::State::Done:
        break;
    }
    const RequestHead &head = result.head;
    request.head = head.method == "HEAD";
    request.format = metrics::formatFor(head.value("accept"));
    if (head.path != "/metrics")
        request.outcome = Outcome::NotFound;
    else if (head.method != "GET" && head.method != "HEAD")
        request.outcome = Outcome::NotAllowed;
    else
        request.outcome = Outcome::Scrape;
    return request;
}

Request parseRequest(const QByteArray &bytes, int maxBytes)
{
    RequestHeadParser parser(maxBytes);
    QByteArray buffer = bytes;
    return decide(parser.take(&buffer));
}

QByteArray replyTo(const Request &request, const QByteArray &body)
{
    switch (request.outcome) {
    case Outcome::Scrape:
        return reply("200 OK", metrics::contentType(request.format), {}, body, request.head);
    case Outcome::NotFound:
        return textReply("404 Not Found", {}, "Not found; the metrics are at /metrics\n", request.head);
    case Outcome::NotAllowed:
        return textReply("405 Method Not Allowed", "Allow: GET, HEAD\r\n", "Only GET and HEAD\n", request.head);
    case Outcome::Refused:
        return textReply(request.status, {}, "Refused: " + request.reason + '\n', false);
    case Outcome::NeedMore:
        break;
    }
    return textReply("400 Bad Request", {}, "Refused: no whole request\n", false);
}

Server::Server(Render render, Limits limits) : render_(std::move(render)), limits_(limits)
{
}

Server::~Server()
{
    for (const Connection &connection : connections_)
        close(connection.fd);
    if (listener_ >= 0)
        close(listener_);
}

bool Server::listen(const QByteArray &addressAndPort, QByteArray *why)
{
    const int colon = static_cast<int>(addressAndPort.lastIndexOf(':'));
    const QByteArray host = colon > 0 ? addressAndPort.left(colon) : QByteArray();
    const QByteArray port = colon >= 0 ? addressAndPort.mid(colon + 1) : QByteArray();
    bool portOk = false;
    const int portNumber = port.toInt(&portOk);
    if (colon < 0 || !portOk || portNumber < 1 || portNumber > 65535) {
        *why = "'" + addressAndPort + "' is no ADDRESS:PORT, such as 127.0.0.1:9730 or :9730 for every address";
        return false;
    }
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_PASSIVE | AI_NUMERICSERV;
    addrinfo *found = nullptr;
    const int error = getaddrinfo(host.isEmpty() ? nullptr : host.constData(), port.constData(), &hints, &found);
    if (error != 0) {
        *why = "cannot listen on " + addressAndPort + ": " + QByteArray(gai_strerror(error));
        return false;
    }
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    const int on = 1;
    const bool bound = fd >= 0 && setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on) == 0 &&
                       bind(fd, found->ai_addr, found->ai_addrlen) == 0 && ::listen(fd, 64) == 0;
    const int bindError = errno;
    freeaddrinfo(found);
    if (!bound) {
        if (fd >= 0)
            close(fd);
        *why = "cannot listen on " + addressAndPort + ": " + QByteArray(std::strerror(bindError));
        return false;
    }
    listener_ = fd;
    return true;
}

void Server::addTo(std::vector<pollfd> *fds) const
{
    if (listener_ >= 0)
        fds->push_back({listener_, POLLIN, 0});
    for (const Connection &connection : connections_)
        fds->push_back({connection.fd, static_cast<short>(connection.replying ? POLLOUT : POLLIN), 0});
}

bool Server::handle(const pollfd &fd, qint64 nowMs)
{
    if (fd.fd == listener_) {
        if (fd.revents != 0)
            acceptAll(nowMs);
        return true;
    }
    const auto found = connections_.find(fd.fd);
    if (found == connections_.end())
        return false;
    if (fd.revents == 0)
        return true;
    if (found->replying)
        writeTo(*found);
    else
        readFrom(*found, nowMs);
    return true;
}

void Server::onTime(qint64 nowMs)
{
    QList<int> late;
    for (const Connection &connection : connections_)
        if (connection.dueMs <= nowMs)
            late.append(connection.fd);
    for (const int fd : late) {
        limitActed(connections_[fd].replying ? "a reply outlasted its time" : "a request outlasted its time", nowMs);
        closeConnection(fd);
    }
}

qint64 Server::nextDueMs() const
{
    qint64 next = -1;
    for (const Connection &connection : connections_)
        if (next < 0 || connection.dueMs < next)
            next = connection.dueMs;
    return next;
}

void Server::acceptAll(qint64 nowMs)
{
    for (;;) {
        const int fd = accept4(listener_, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (fd < 0) {
            if (errno == EINTR || errno == ECONNABORTED)
                continue;
            if (errno != EAGAIN && errno != EWOULDBLOCK)
                limitActed(std::strerror(errno), nowMs);
            return;
        }
        if (connections_.size() >= limits_.maxConnections) {
            // Room for the newest: a scraper asks at once; the oldest one still silent goes.
            int oldest = -1;
            qint64 oldestDueMs = 0;
            for (const Connection &connection : std::as_const(connections_))
                if (!connection.replying && (oldest < 0 || connection.dueMs < oldestDueMs)) {
                    oldest = connection.fd;
                    oldestDueMs = connection.dueMs;
                }
            limitActed("the connections reached their most", nowMs);
            if (oldest < 0) {
                close(fd);
                continue;
            }
            closeConnection(oldest);
        }
        Connection connection(limits_.maxRequestBytes);
        connection.fd = fd;
        connection.dueMs = nowMs + limits_.requestTimeoutMs;
        connections_.insert(fd, connection);
    }
}

void Server::readFrom(Connection &connection, qint64 nowMs)
{
    char chunk[readChunkBytes];
    for (;;) {
        const ssize_t got = read(connection.fd, chunk, sizeof chunk);
        if (got < 0 && errno == EINTR)
            continue;
        if (got < 0 && (errno == EAGAIN || errno == EWOULDBLOCK))
            return;
        if (got <= 0) {
            closeConnection(connection.fd);
            return;
        }
        connection.received.append(chunk, static_cast<int>(got));
        const Request request = decide(connection.parser.take(&connection.received));
        if (request.outcome == Outcome::NeedMore)
            continue;
        if (request.status.startsWith("431"))
            limitActed("a request was larger than its most", nowMs);
        connection.reply =
            replyTo(request, request.outcome == Outcome::Scrape ? exposition(request.format, nowMs) : QByteArray());
        connection.received.clear();
        connection.replying = true;
        connection.dueMs = nowMs + limits_.replyTimeoutMs;
        writeTo(connection);
        return;
    }
}

QByteArray Server::exposition(metrics::Format format, qint64 nowMs)
{
    Made &made = made_[format == metrics::Format::OpenMetrics ? 1 : 0];
    if (made.atMs < 0 || nowMs - made.atMs >= limits_.remakeAfterMs) {
        made.body = render_(format);
        made.atMs = nowMs;
    }
    return made.body;
}

void Server::writeTo(Connection &connection)
{
    while (connection.sent < connection.reply.size()) {
        const ssize_t wrote = send(connection.fd, connection.reply.constData() + connection.sent,
                                   static_cast<std::size_t>(connection.reply.size() - connection.sent), MSG_NOSIGNAL);
        if (wrote < 0 && errno == EINTR)
            continue;
        if (wrote < 0 && (errno == EAGAIN || errno == EWOULDBLOCK))
            return;
        if (wrote <= 0)
            break;
        connection.sent += static_cast<int>(wrote);
    }
    shutdown(connection.fd, SHUT_WR);
    closeConnection(connection.fd);
}

void Server::closeConnection(int fd)
{
    connections_.remove(fd);
    close(fd);
}

void Server::limitActed(const char *what, qint64 nowMs)
{
    ++limitActs_;
    if (lastToldMs_ >= 0 && nowMs - lastToldMs_ < tellEveryMs)
        return;
    say("metrics: " + QByteArray(what) + " (" + QByteArray::number(limitActs_) + " times since the last such message)");
    limitActs_ = 0;
    lastToldMs_ = nowMs;
}

}  // namespace metricsserver
