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

bool isToken(const QByteArray &word)
{
    return !word.isEmpty() && std::all_of(word.begin(), word.end(), [](char c) { return c >= 'A' && c <= 'Z'; });
}

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

Request parseRequest(const QByteArray &bytes, int maxBytes)
{
    Request request;
    int end = static_cast<int>(bytes.indexOf("\r\n\r\n"));
    const int bare = static_cast<int>(bytes.indexOf("\n\n"));
    if (end < 0 || (bare >= 0 && bare < end))
        end = bare;
    // A head of MAXBYTES may still end with the four bytes after it.
    if (end < 0 || end > maxBytes) {
        request.outcome = end > maxBytes || bytes.size() >= maxBytes + 4 ? Outcome::TooLarge : Outcome::NeedMore;
        return request;
    }
    QList<QByteArray> lines = bytes.left(end).split('\n');
    for (QByteArray &line : lines)
        if (line.endsWith('\r'))
            line.chop(1);
    const QList<QByteArray> words = lines[0].split(' ');
    request.outcome = Outcome::BadRequest;
    if (words.size() != 3 || !isToken(words[0]) || !words[1].startsWith('/') ||
        (words[2] != "HTTP/1.1" && words[2] != "HTTP/1.0"))
        return request;
    QByteArray accept;
    for (int i = 1; i < lines.size(); ++i) {
        const int colon = static_cast<int>(lines[i].indexOf(':'));
        if (colon <= 0 || lines[i].startsWith(' ') || lines[i].startsWith('\t'))
            return request;
        if (lines[i].left(colon).toLower() == "accept")
            accept += lines[i].mid(colon + 1).trimmed() + ',';
    }
    const int query = static_cast<int>(words[1].indexOf('?'));
    const QByteArray path = query < 0 ? words[1] : words[1].left(query);
    const QByteArray &method = words[0];
    request.head = method == "HEAD";
    request.format = metrics::formatFor(accept);
    if (path != "/metrics")
        request.outcome = Outcome::NotFound;
    else if (method != "GET" && method != "HEAD")
        request.outcome = Outcome::NotAllowed;
    else
        request.outcome = Outcome::Scrape;
    return request;
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
    case Outcome::TooLarge:
        return textReply("431 Request Header Fields Too Large", {}, "The request is too large\n", false);
    case Outcome::BadRequest:
    case Outcome::NeedMore:
        break;
    }
    return textReply("400 Bad Request", {}, "Not an HTTP/1.x request\n", false);
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
        Connection connection;
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
        const Request request = parseRequest(connection.received, limits_.maxRequestBytes);
        if (request.outcome == Outcome::NeedMore)
            continue;
        if (request.outcome == Outcome::TooLarge)
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
