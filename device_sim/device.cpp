#include "device.h"

#include "log.h"

#include <QTcpSocket>

#include <algorithm>
#include <deque>
#include <limits>

#include <sys/socket.h>

namespace {

constexpr int rateTickMs = 20;
// What Qt reads off one connection before it leaves the rest to the kernel.
constexpr qint64 readChunkBytes = 64 * 1024;
// Requests read ahead of their turn on one connection.
constexpr std::size_t maxQueuedPlans = 4;
constexpr int acceptRetryMs = 100;
constexpr int maxAcceptedAtOnce = 32;

}  // namespace

// One peer: what it sent and has not been answered, and where its current plan is.
class Device::Connection : public QObject {
public:
    Connection(QTcpSocket *socket, qint64 maxBodyBytes) : socket(socket), reader(maxBodyBytes)
    {
        playTimer.setSingleShot(true);
        deadline.setSingleShot(true);
    }

    QTcpSocket *socket;
    QString peer;
    RequestReader reader;
    qint64 requestSinceMs = -1;  // when the request being read began
    std::deque<Plan> queue;      // read ahead, answered in order
    Plan plan;                   // the one playing
    bool playing = false;
    int step = -1;
    int sent = 0;            // of the current bytes
    bool inEndless = false;  // sending plan.endless, for ever
    qint64 rateCredit = 0;   // thousandths of a byte that --rate allows to send now
    bool waiting = false;    // for the delay, a gap or the next rate tick
    bool waitForRate = false;
    bool ending = false;     // its last request has been read
    bool held = false;       // kept open on purpose: never idle
    bool throttled = false;  // has been left unread for its unsent output
    bool deadlineIsRequest = false;
    bool gone = false;
    QTimer playTimer;
    QTimer deadline;
};

Device::Device(const Options &options, int maxConnections)
    : options_(options), maxConnections_(maxConnections),
      outputBound_(std::clamp<qint64>(4 * qint64{typicalReplyBytes(options.replies)}, 256 * 1024, 4 * 1024 * 1024)),
      replies_(options_.replies), listener_(options.listen, options.port, options.replies.mode == Mode::SlowAccept)
{
    clock_.start();
    QObject::connect(&listener_.server(), &QTcpServer::newConnection, [this] { acceptPending(); });
    // Out of descriptors after all (other processes share the limit): wait, then try again.
    QObject::connect(&listener_.server(), &QTcpServer::acceptError, [this](QAbstractSocket::SocketError) {
        if (!acceptRetry_.isActive()) {
            logLine(QStringLiteral("%1 cannot accept: %2; trying again in %3 ms")
                        .arg(timestamp(), listener_.server().errorString())
                        .arg(acceptRetryMs));
            listener_.server().pauseAccepting();
            acceptRetry_.start(acceptRetryMs);
        }
    });
    acceptRetry_.setSingleShot(true);
    QObject::connect(&acceptRetry_, &QTimer::timeout, [this] { listener_.server().resumeAccepting(); });
    upDown_.setSingleShot(true);
}

Device::~Device()
{
    for (const auto &entry : connections_)
        delete entry.second;
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
    std::vector<QTcpSocket *> open;
    for (const auto &entry : connections_)
        open.push_back(entry.first);
    for (QTcpSocket *socket : open)
        socket->abort();
    logLine(QStringLiteral("%1 device_sim: down for %2 ms, %3 connections dropped")
                .arg(timestamp())
                .arg(options_.downMs)
                .arg(open.size()));
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

// Takes waiting connections while it is below its limit. The server accepts no more than
// the room left, and at the limit it holds one and accepts no more, so nothing spins;
// closing connections take it up again.
void Device::acceptPending()
{
    QTcpServer &server = listener_.server();
    while (static_cast<int>(connections_.size()) < maxConnections_ && server.hasPendingConnections())
        add(server.nextPendingConnection());
    // Many at a time while there is room, so a crowd is not taken one per turn of the
    // event loop; one at the limit, where it waits.
    const int room = maxConnections_ - static_cast<int>(connections_.size());
    server.setMaxPendingConnections(std::clamp(room, 1, maxAcceptedAtOnce));
    const bool waiting = server.hasPendingConnections();
    if (waiting && !full_)
        logLine(QStringLiteral("%1 %2 connections open, the most allowed (--max-connections): accepting no more "
                               "until some close")
                    .arg(timestamp())
                    .arg(connections_.size()));
    else if (!waiting && full_)
        logLine(QStringLiteral("%1 accepting connections again, %2 open").arg(timestamp()).arg(connections_.size()));
    full_ = waiting;
}

void Device::add(QTcpSocket *socket)
{
    auto *c = new Connection(socket, options_.maxBodyBytes);
    c->peer = peerOf(socket);
    connections_.emplace(socket, c);
    socket->setReadBufferSize(readChunkBytes);
    QObject::connect(socket, &QTcpSocket::readyRead, c, [this, c] { readRequests(c); });
    QObject::connect(socket, &QTcpSocket::bytesWritten, c, [this, c] {
        if (c->playing && !c->waiting && options_.rate == 0)
            pump(c);
        else if (!c->playing)
            readRequests(c);
    });
    QObject::connect(socket, &QTcpSocket::disconnected, c, [this, socket] { forget(socket); });
    QObject::connect(&c->playTimer, &QTimer::timeout, c, [this, c] {
        c->waiting = false;
        if (c->waitForRate)
            rateTick(c);
        else if (c->step >= 0 || advance(c))  // after a gap, or after the delay before the first bytes
            send(c);
    });
    QObject::connect(&c->deadline, &QTimer::timeout, c, [this, c] { deadlinePassed(c); });
    readRequests(c);
}

// A connection ends here however it ends; what it left is deleted once the event that
// ended it is done.
void Device::forget(QTcpSocket *socket)
{
    Connection *c = find(socket);
    if (!c)
        return;
    connections_.erase(socket);
    c->gone = true;
    c->playTimer.stop();
    c->deadline.stop();
    c->deleteLater();
    socket->deleteLater();
    acceptPending();
}

Device::Connection *Device::find(QTcpSocket *socket) const
{
    const auto found = connections_.find(socket);
    return found == connections_.end() ? nullptr : found->second;
}

// Backpressure: a connection whose peer does not read what it was sent is not read from.
bool Device::isReading(const Connection *c) const
{
    return !c->ending && c->queue.size() < maxQueuedPlans && c->socket->bytesToWrite() < outputBound_;
}

// Reads and parses what the peer sent, as far as its limits allow, and queues each
// request's plan. Each call handles at most a few requests and a read buffer's worth.
void Device::readRequests(Connection *c)
{
    if (c->gone)
        return;
    while (isReading(c)) {
        ParseResult parsed = c->reader.next();
        if (parsed.state == Parse::Incomplete) {
            const qint64 take = std::min(c->reader.room(), c->socket->bytesAvailable());
            if (take <= 0)
                break;
            c->reader.append(c->socket->read(take));
            continue;
        }
        c->requestSinceMs = -1;
        if (parsed.state == Parse::Rejected) {
            logLine(
                QStringLiteral("%1 %2 %3: %4, closing")
                    .arg(timestamp(), c->peer, QString::fromLatin1(parsed.status), QString::fromLatin1(parsed.reason)));
            c->queue.push_back(Replies::refusal(parsed.status));
            c->ending = true;
            break;
        }
        Plan plan = replies_.planFor(parsed.request, options_.close || parsed.request.wantsClose);
        logRequest(c, parsed.request, plan.label);
        c->ending = plan.ending != Ending::KeepOpen;  // nothing more is read on a connection that is ending
        c->queue.push_back(std::move(plan));
    }
    startNextPlan(c);
    if (c->gone)
        return;
    const bool reading = isReading(c);
    if (!reading && !c->ending && !c->throttled && c->socket->bytesToWrite() >= outputBound_) {
        c->throttled = true;
        logLine(QStringLiteral("%1 %2 %3 bytes unsent: not reading from it until it reads")
                    .arg(timestamp(), c->peer)
                    .arg(c->socket->bytesToWrite()));
    }
    armDeadline(c, reading);
}

void Device::logRequest(const Connection *c, const Request &request, const QString &label)
{
    logLine(QStringLiteral("%1 %2 %3 %4 body %5 bytes: %6")
                .arg(timestamp(), c->peer, escaped(request.method), escaped(request.path))
                .arg(request.body.size())
                .arg(label));
    if (options_.dump)
        logLine(QStringLiteral("  ") + escaped(request.raw));
}

// A request must arrive whole in time once it has begun; a connection with nothing to
// do is closed after a while. A connection that plays a plan, or that a fault holds on
// purpose, has neither deadline.
void Device::armDeadline(Connection *c, bool reading)
{
    const qint64 now = clock_.elapsed();
    if (reading && !c->reader.isEmpty()) {
        if (c->requestSinceMs < 0)
            c->requestSinceMs = now;
        c->deadlineIsRequest = true;
        c->deadline.start(static_cast<int>(std::max<qint64>(0, c->requestSinceMs + options_.requestTimeoutMs - now)));
        return;
    }
    c->requestSinceMs = -1;
    const bool idle = reading && !c->playing && c->queue.empty() && !c->held && c->socket->bytesToWrite() == 0;
    if (idle) {
        c->deadlineIsRequest = false;
        if (!c->deadline.isActive())
            c->deadline.start(options_.idleTimeoutMs);
    } else {
        c->deadline.stop();
    }
}

void Device::deadlinePassed(Connection *c)
{
    if (c->deadlineIsRequest) {
        logLine(QStringLiteral("%1 %2 request not whole %3 ms after it began (--request-timeout-ms), closing")
                    .arg(timestamp(), c->peer)
                    .arg(options_.requestTimeoutMs));
        c->socket->abort();
    } else {
        logLine(QStringLiteral("%1 %2 idle for %3 ms (--idle-timeout-ms), closing")
                    .arg(timestamp(), c->peer)
                    .arg(options_.idleTimeoutMs));
        c->socket->disconnectFromHost();
    }
}

void Device::startNextPlan(Connection *c)
{
    if (c->playing || c->queue.empty())
        return;
    c->plan = std::move(c->queue.front());
    c->queue.pop_front();
    c->playing = true;
    c->step = -1;
    c->sent = 0;
    c->inEndless = false;
    c->rateCredit = 0;
    c->deadline.stop();
    if (c->plan.delayMs > 0)
        wait(c, c->plan.delayMs, false);
    else if (advance(c))
        send(c);
}

void Device::wait(Connection *c, int ms, bool forRate)
{
    c->waiting = true;
    c->waitForRate = forRate;
    c->playTimer.start(ms);
}

// Moves to the plan's next bytes. Returns true when they are to be sent now; otherwise
// it waits for their gap, or the plan is done.
bool Device::advance(Connection *c)
{
    c->sent = 0;
    if (c->inEndless)
        return true;
    ++c->step;
    if (c->step < c->plan.steps.size()) {
        const int afterMs = c->plan.steps[c->step].afterMs;
        if (afterMs <= 0)
            return true;
        wait(c, afterMs, false);
        return false;
    }
    if (c->plan.ending == Ending::Endless && !c->plan.endless.isEmpty()) {
        c->inEndless = true;
        return true;
    }
    finishPlan(c);
    return false;
}

void Device::send(Connection *c)
{
    if (options_.rate > 0)
        rateTick(c);
    else
        pump(c);
}

// As fast as the peer reads: as much as fits under the output bound, and more each time
// some of it has gone.
void Device::pump(Connection *c)
{
    while (!c->gone && writeSome(c, std::numeric_limits<qint64>::max()))
        if (!advance(c))
            return;
}

// --rate: a tick's worth of bytes every tick. The fraction of a byte that a tick allows
// is carried to the next, so every rate from 1 byte a second up is kept exactly; no more
// than a second's worth is saved up while the peer does not read.
void Device::rateTick(Connection *c)
{
    const qint64 perTick = qint64{options_.rate} * rateTickMs;  // thousandths of a byte
    c->rateCredit = std::min(c->rateCredit + perTick, qint64{options_.rate} * 1000);
    for (;;) {
        const int before = c->sent;
        const bool done = writeSome(c, c->rateCredit / 1000);
        c->rateCredit -= qint64{c->sent - before} * 1000;
        if (!done)
            break;
        if (!advance(c))
            return;
    }
    wait(c, rateTickMs, true);
}

// Writes up to budget bytes of the current bytes, no more than fit under the output
// bound. Returns true when they have all been written.
bool Device::writeSome(Connection *c, qint64 budget)
{
    const QByteArray &bytes = c->inEndless ? c->plan.endless : c->plan.steps[c->step].bytes;
    const qint64 room = outputBound_ - c->socket->bytesToWrite();
    const qint64 count = std::min({budget, room, qint64{bytes.size() - c->sent}});
    if (count > 0) {
        c->socket->write(bytes.constData() + c->sent, count);
        c->sent += static_cast<int>(count);
    }
    return c->sent == bytes.size();
}

void Device::finishPlan(Connection *c)
{
    c->playing = false;
    switch (c->plan.ending) {
    case Ending::KeepOpen:
    case Ending::Endless:  // with nothing to send for ever: as KeepOpen
        c->held = c->held || c->plan.holds;
        c->plan = Plan();
        readRequests(c);
        break;
    case Ending::Close:
        c->socket->disconnectFromHost();
        break;
    case Ending::Reset: {
        c->socket->flush();
        const linger abortive{1, 0};
        setsockopt(static_cast<int>(c->socket->socketDescriptor()), SOL_SOCKET, SO_LINGER, &abortive, sizeof abortive);
        c->socket->abort();
        break;
    }
    }
}
