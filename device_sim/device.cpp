#include "device.h"

#include "log.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <vector>

namespace {

constexpr int acceptRetryMs = 100;
// Connections taken in one turn, so that a crowd is not taken one per turn, nor all in one.
constexpr int maxAcceptedAtOnce = 32;

}  // namespace

Device::Device(const Options &options, int maxConnections)
    : options_(options), maxConnections_(maxConnections),
      replies_(options_.replies), context_{options_,
                                           replies_,
                                           std::clamp<qint64>(outputBoundReplies *
                                                                  qint64{typicalReplyBytes(options.replies)},
                                                              minOutputBound, maxOutputBound),
                                           {}},
      listener_(options.listen, options.port, options.replies.mode == Mode::SlowAccept, [this] { acceptWaiting(); })
{
    context_.clock.start();
    acceptRetry_.setSingleShot(true);
    QObject::connect(&acceptRetry_, &QTimer::timeout, [this] {
        listener_.setWatching(true);
        acceptWaiting();
    });
    upDown_.setSingleShot(true);
}

Device::~Device()
{
    for (Connection *connection : connections_)
        delete connection;
}

bool Device::start(QString *error)
{
    if (!listener_.listen(error))
        return false;
    if (options_.upMs > 0) {
        QObject::connect(&upDown_, &QTimer::timeout, [this] { up_ ? goDown() : comeUp(); });
        upDown_.start(options_.upMs);
    }
    return true;
}

void Device::goDown()
{
    up_ = false;
    listener_.close();
    const std::vector<Connection *> open(connections_.begin(), connections_.end());
    for (Connection *connection : open)
        connection->drop();
    logLine(QStringLiteral("%1 device_sim: down for %2 ms, %3 dropped")
                .arg(timestamp())
                .arg(options_.downMs)
                .arg(counted(static_cast<long long>(open.size()), "connection")));
    upDown_.start(options_.downMs);
}

void Device::comeUp()
{
    QString error;
    up_ = true;
    if (listener_.listen(&error))
        logLine(QStringLiteral("%1 device_sim: up again").arg(timestamp()));
    else
        logLine(QStringLiteral("%1 device_sim: cannot listen again: %2").arg(timestamp(), error));
    upDown_.start(options_.upMs);
}

// Takes waiting connections while it is below its limit. At the limit it stops watching
// the queue, where the rest wait, until a connection closes.
void Device::acceptWaiting()
{
    if (static_cast<int>(connections_.size()) >= maxConnections_) {
        listener_.setWatching(false);
        if (!full_)
            logLine(QStringLiteral("%1 %2 open, the most allowed (--max-connections): accepting no "
                                   "more until some close")
                        .arg(timestamp(), counted(static_cast<long long>(connections_.size()), "connection")));
        full_ = true;
        return;
    }
    for (int taken = 0; taken < maxAcceptedAtOnce && static_cast<int>(connections_.size()) < maxConnections_; ++taken) {
        const int fd = listener_.take();
        if (fd < 0) {
            if (errno == EAGAIN || errno == EWOULDBLOCK || errno == ECONNABORTED || errno == EINTR)
                break;
            // Out of descriptors or memory after all (other processes share them): wait.
            logLine(QStringLiteral("%1 cannot accept: %2; trying again in %3 ms")
                        .arg(timestamp(), QString::fromLocal8Bit(std::strerror(errno)))
                        .arg(acceptRetryMs));
            listener_.setWatching(false);
            acceptRetry_.start(acceptRetryMs);
            return;
        }
        auto *connection = new Connection(fd, context_, [this](Connection *closed) { forget(closed); });
        connections_.insert(connection);
        connection->start();
    }
    if (full_) {
        full_ = false;
        logLine(QStringLiteral("%1 accepting connections again, %2 open").arg(timestamp()).arg(connections_.size()));
    }
}

// A connection ends here however it ends; it is deleted once the event that ended it is done.
// The slot it frees is filled from the event loop, when the listener reports the peers that
// wait: taking one here would serve it inside this call, and a queue of peers that each
// close at once would nest a call per peer.
void Device::forget(Connection *connection)
{
    if (connections_.erase(connection) == 0)
        return;
    connection->deleteLater();
    if (up_ && !acceptRetry_.isActive())
        listener_.setWatching(true);
}
