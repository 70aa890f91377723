#include "device.h"

#include "log.h"

#include <sys/socket.h>

namespace {

constexpr int rateTickMs = 20;

}  // namespace

Device::Device(const Options &options)
    : options_(options),
      replies_(options_),
      listener_(options.listen, options.port, options.mode == Mode::SlowAccept)
{
    QObject::connect(&listener_.server(), &QTcpServer::newConnection, [this] { acceptAll(); });
    upDown_.setSingleShot(true);
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
    const QList<QTcpSocket *> open = buffers_.keys();
    for (QTcpSocket *socket : open)
        socket->abort();
    logLine(QStringLiteral("%1 device_sim: down for %2 ms, %3 connections dropped")
                .arg(timestamp()).arg(options_.downMs).arg(open.size()));
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

void Device::acceptAll()
{
    while (QTcpSocket *socket = listener_.server().nextPendingConnection()) {
        buffers_.insert(socket, QByteArray());
        QObject::connect(socket, &QTcpSocket::readyRead, [this, socket] { receive(socket); });
        QObject::connect(socket, &QTcpSocket::disconnected, [this, socket] {
            buffers_.remove(socket);
            socket->deleteLater();
        });
    }
}

void Device::receive(QTcpSocket *socket)
{
    QByteArray &buffer = buffers_[socket];
    buffer += socket->readAll();
    for (;;) {
        Request request;
        const Parse parsed = takeRequest(&buffer, &request);
        if (parsed == Parse::Incomplete)
            return;
        if (parsed == Parse::Bad) {
            logLine(QStringLiteral("%1 %2 bad request, closing").arg(timestamp(), peerOf(socket)));
            socket->write(httpResponse("400 Bad Request", "text/plain", "bad request\n", true));
            socket->disconnectFromHost();
            return;
        }
        const auto plan = std::make_shared<const Plan>(replies_.planFor(request, options_.close || request.wantsClose));
        logRequest(socket, request, plan->label);
        QTimer::singleShot(plan->delayMs, socket, [this, socket, plan] { play(socket, plan, 0); });
        if (plan->ending != Ending::KeepOpen)
            return;  // nothing more is read on a connection that is ending
    }
}

void Device::logRequest(const QTcpSocket *socket, const Request &request, const QString &label)
{
    logLine(QStringLiteral("%1 %2 %3 %4 body %5 bytes: %6")
                .arg(timestamp(), peerOf(socket), QString::fromLatin1(request.method), QString::fromLatin1(request.path))
                .arg(request.body.size())
                .arg(label));
    if (options_.dump)
        logLine(QStringLiteral("  ") + escaped(request.raw));
}

void Device::play(QPointer<QTcpSocket> socket, std::shared_ptr<const Plan> plan, int step)
{
    if (!socket || socket->state() != QAbstractSocket::ConnectedState)
        return;
    if (step == plan->steps.size()) {
        end(socket, plan->ending);
        return;
    }
    send(socket, plan->steps[step].bytes, [this, socket, plan, step] {
        const int next = step + 1;
        const int afterMs = next < plan->steps.size() ? plan->steps[next].afterMs : 0;
        QTimer::singleShot(afterMs, socket, [this, socket, plan, next] { play(socket, plan, next); });
    });
}

// Writes the bytes at once, or at --rate in slices of a tick's worth; then carries on.
void Device::send(QPointer<QTcpSocket> socket, const QByteArray &bytes, std::function<void()> then)
{
    if (!socket)
        return;
    if (options_.rate == 0 || bytes.isEmpty()) {
        socket->write(bytes);
        then();
        return;
    }
    const int slice = std::max(1, options_.rate * rateTickMs / 1000);
    socket->write(bytes.left(slice));
    if (bytes.size() <= slice) {
        QTimer::singleShot(rateTickMs, socket, then);
        return;
    }
    const QByteArray rest = bytes.mid(slice);
    QTimer::singleShot(rateTickMs, socket, [this, socket, rest, then] { send(socket, rest, then); });
}

void Device::end(QTcpSocket *socket, Ending ending)
{
    switch (ending) {
    case Ending::KeepOpen:
        break;
    case Ending::Close:
        socket->disconnectFromHost();
        break;
    case Ending::Reset: {
        socket->flush();
        const linger abortive{1, 0};
        setsockopt(static_cast<int>(socket->socketDescriptor()), SOL_SOCKET, SO_LINGER, &abortive, sizeof abortive);
        socket->abort();
        break;
    }
    case Ending::Endless:
        stream(socket);
        break;
    }
}

// Balanced objects without end: as fast as the peer takes them, or at --rate.
void Device::stream(QPointer<QTcpSocket> socket)
{
    const QByteArray &chunk = Replies::streamChunk();
    if (options_.rate > 0) {
        send(socket, chunk, [this, socket] { stream(socket); });
        return;
    }
    socket->write(chunk);
    QObject::connect(socket, &QTcpSocket::bytesWritten, socket, [socket, &chunk] {
        if (socket->bytesToWrite() < chunk.size())
            socket->write(chunk);
    });
}
