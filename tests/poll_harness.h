// Shared by the client's tests: a scriptable fake device on a loopback address, and a
// runner for the real testVRN730 binary that splits its output into cycles.
#pragma once

#include <QByteArray>
#include <QElapsedTimer>
#include <QFile>
#include <QHostAddress>
#include <QList>
#include <QPointer>
#include <QProcess>
#include <QRegularExpression>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTest>
#include <QTimer>
#include <QVector>

#include <functional>
#include <memory>

#include <sys/socket.h>

namespace harness {

// The address the client polls when no -i is given; it also ends the usage text.
inline const QString defaultDeviceIp = QStringLiteral(CLIENT_DEFAULT_IP);

inline qint64 nowMs()
{
    static QElapsedTimer clock = [] {
        QElapsedTimer t;
        t.start();
        return t;
    }();
    return clock.elapsed();
}

// A size in KiB from /proc/PID/status: "VmRSS", "VmHWM"; -1 when it cannot be read.
inline qint64 statusKiB(qint64 pid, const char *field)
{
    QFile status(QStringLiteral("/proc/%1/status").arg(pid));
    if (!status.open(QIODevice::ReadOnly))
        return -1;
    const QRegularExpressionMatch size = QRegularExpression(QLatin1String(field) + QStringLiteral(":\\s+(\\d+) kB"))
                                             .match(QString::fromLatin1(status.readAll()));
    return size.hasMatch() ? size.captured(1).toLongLong() : -1;
}

// Each test executable passes its own third octet, so executables running side by side
// never share an address; each case then takes the next fourth octet.
inline QString nextLoopbackAddress(int executableOctet)
{
    static int next = 10;
    return QStringLiteral("127.0.%1.%2").arg(executableOctet).arg(next++);
}

struct Burst {
    int afterMs;  // delay after the request, or after the previous burst
    QByteArray bytes;
};

// What the device does after its last burst.
enum class End { Close, KeepOpen, Reset, HalfClose };

struct DeviceScript {
    QList<Burst> bursts;  // played once the whole request has arrived
    End end = End::Close;
};

struct DeviceConnection {
    qint64 acceptedMs = -1;
    qint64 requestMs = -1;    // when the request was complete
    qint64 lastBurstMs = -1;  // when the last burst was handed to the socket
    qint64 closedMs = -1;
    QByteArray request;
};

inline bool requestComplete(const QByteArray &bytes)
{
    const int headerEnd = bytes.indexOf("\r\n\r\n");
    if (headerEnd < 0)
        return false;
    const QByteArray marker("Content-Length: ");
    const int at = bytes.indexOf(marker);
    const int length = at < 0 || at > headerEnd
                           ? 0
                           : bytes.mid(at + marker.size(), bytes.indexOf("\r\n", at) - at - marker.size()).toInt();
    return bytes.size() >= headerEnd + 4 + length;
}

// Accepts any number of connections and answers every complete request with the script.
class FakeDevice {
public:
    // The script for each connection, by its index.
    using ScriptFor = std::function<DeviceScript(int)>;

    FakeDevice(const QString &address, quint16 port, const DeviceScript &script)
        : FakeDevice(address, port, [script](int) { return script; })
    {
    }

    FakeDevice(const QString &address, quint16 port, ScriptFor scriptFor) : scriptFor_(std::move(scriptFor))
    {
        listening_ = server_.listen(QHostAddress(address), port);
        QObject::connect(&server_, &QTcpServer::newConnection, [this] { acceptAll(); });
    }

    bool isListening() const { return listening_; }
    QString errorString() const { return server_.errorString(); }
    const QVector<DeviceConnection> &connections() const { return connections_; }
    int connectionCount() const { return connections_.size(); }

private:
    void acceptAll()
    {
        while (QTcpSocket *socket = server_.nextPendingConnection()) {
            const int index = connections_.size();
            connections_.append(DeviceConnection{});
            connections_[index].acceptedMs = nowMs();
            QObject::connect(socket, &QTcpSocket::readyRead, [this, socket, index] { receive(socket, index); });
            QObject::connect(socket, &QTcpSocket::disconnected, [this, socket, index] {
                connections_[index].closedMs = nowMs();
                socket->deleteLater();
            });
        }
    }

    void receive(QTcpSocket *socket, int index)
    {
        DeviceConnection &connection = connections_[index];
        const bool wasComplete = connection.requestMs >= 0;
        connection.request += socket->readAll();
        if (wasComplete || !requestComplete(connection.request))
            return;
        connection.requestMs = nowMs();
        playBurst(socket, index, std::make_shared<DeviceScript>(scriptFor_(index)), 0);
    }

    void playBurst(QPointer<QTcpSocket> socket, int index, std::shared_ptr<DeviceScript> script, int burst)
    {
        if (burst == script->bursts.size()) {
            if (socket)
                end(socket, script->end);
            return;
        }
        QTimer::singleShot(script->bursts[burst].afterMs, &server_, [this, socket, index, script, burst] {
            if (!socket || socket->state() != QAbstractSocket::ConnectedState)
                return;
            socket->write(script->bursts[burst].bytes);
            connections_[index].lastBurstMs = nowMs();
            playBurst(socket, index, script, burst + 1);
        });
    }

    static void end(QTcpSocket *socket, End how)
    {
        switch (how) {
        case End::Close:
            socket->disconnectFromHost();
            break;
        case End::KeepOpen:
            break;
        case End::Reset: {
            socket->flush();
            const linger abortive{1, 0};
            setsockopt(static_cast<int>(socket->socketDescriptor()), SOL_SOCKET, SO_LINGER, &abortive, sizeof abortive);
            socket->abort();
            break;
        }
        case End::HalfClose:
            socket->flush();
            shutdown(static_cast<int>(socket->socketDescriptor()), SHUT_WR);
            break;
        }
    }

    ScriptFor scriptFor_;
    QVector<DeviceConnection> connections_;
    bool listening_ = false;
    QTcpServer server_;  // last: its sockets report their close to the members above
};

inline DeviceScript replyAndClose(const QByteArray &reply)
{
    return DeviceScript{{{0, reply}}, End::Close};
}

// Cuts complete cycles off the client's output, from `from` on; returns where the first
// incomplete cycle starts. A cycle ends with the colour reset; after "No connection" the
// line feed that follows the reset belongs to it too, and after "Error" the line feed and
// the final reset.
inline int takeCycles(const QByteArray &output, int from, QList<QByteArray> *cycles)
{
    static const QByteArray reset("\033[0m");
    static const QByteArray afterError("\n\033[0m");
    int start = from;
    for (int at = output.indexOf(reset, start); at >= 0; at = output.indexOf(reset, start)) {
        int end = at + reset.size();
        if (output.mid(at - 5, 5) == "Error") {
            if (output.size() < end + afterError.size())
                break;  // its line end and reset are still to come
            end += afterError.size();
        } else if (end < output.size() && output[end] == '\n') {
            ++end;
        } else if (end == output.size() && output.mid(start, 32).startsWith("\033[0;37;41mNo connection")) {
            break;  // its line feed is still to come
        }
        cycles->append(output.mid(start, end - start));
        start = end;
    }
    return start;
}

// Ends a process the test started, by its pid, if it is still running: SIGTERM first, so
// that a coverage build writes its counts, then SIGKILL if that has not ended it.
inline void endByPid(QProcess &process)
{
    if (process.state() == QProcess::NotRunning)
        return;
    process.terminate();
    if (!process.waitForFinished(5000)) {
        process.kill();
        process.waitForFinished(5000);
    }
}

// Runs the real client; the destructor ends it by its pid. A shell redirection, when
// given, is applied as the shell replaces itself with the client, so the pid stays its.
// A launcher, such as unshare with its options, must replace itself with what it runs.
class ClientRun {
public:
    explicit ClientRun(const QStringList &arguments,
                       const QProcessEnvironment &environment = QProcessEnvironment::systemEnvironment(),
                       const QString &redirection = QString(), const QStringList &launcher = QStringList())
    {
        QStringList command{POLL_CLIENT};
        if (!redirection.isEmpty())
            command = QStringList{"/bin/bash", "-c", "exec \"$0\" \"$@\" " + redirection, POLL_CLIENT};
        command = launcher + command + arguments;
        process_.setProgram(command.first());
        process_.setArguments(command.mid(1));
        process_.setProcessEnvironment(environment);
        QObject::connect(&process_, &QProcess::readyReadStandardOutput, [this] { readOutput(); });
        startedMs_ = nowMs();
        process_.start();
        process_.waitForStarted(5000);
    }

    ~ClientRun() { endByPid(process_); }

    bool waitForCycles(int count, int timeoutMs)
    {
        return QTest::qWaitFor([&] { return cycleDoneMs_.size() >= count; }, timeoutMs);
    }

    // Keeps the event loop turning, so a fake device in this process goes on answering.
    bool waitForExit(int timeoutMs)
    {
        const bool exited = QTest::qWaitFor([&] { return process_.state() == QProcess::NotRunning; }, timeoutMs);
        readOutput();
        return exited;
    }

    const QList<QByteArray> &cycles() const { return cycles_; }
    const QList<qint64> &cycleDoneMs() const { return cycleDoneMs_; }
    QByteArray output() const { return output_; }
    QByteArray errorOutput() { return process_.readAllStandardError(); }
    int exitCode() const { return process_.exitCode(); }
    QProcess::ExitStatus exitStatus() const { return process_.exitStatus(); }
    qint64 startedMs() const { return startedMs_; }
    qint64 pid() const { return process_.processId(); }

private:
    void readOutput()
    {
        output_ += process_.readAllStandardOutput();
        parsedTo_ = takeCycles(output_, parsedTo_, &cycles_);
        while (cycleDoneMs_.size() < cycles_.size())
            cycleDoneMs_.append(nowMs());
    }

    QProcess process_;
    QByteArray output_;
    int parsedTo_ = 0;
    QList<QByteArray> cycles_;
    QList<qint64> cycleDoneMs_;
    qint64 startedMs_ = 0;
};

// Runs the bundled device simulator; the destructor ends it by its pid.
class SimRun {
public:
    // A launcher, such as prlimit with its options, runs the simulator in its own place.
    explicit SimRun(const QStringList &arguments, const QStringList &launcher = QStringList())
    {
        if (launcher.isEmpty()) {
            process_.setProgram(QStringLiteral(DEVICE_SIM));
            process_.setArguments(arguments);
        } else {
            process_.setProgram(launcher.first());
            process_.setArguments(launcher.mid(1) + QStringList{DEVICE_SIM} + arguments);
        }
        QObject::connect(&process_, &QProcess::readyReadStandardError,
                         [this] { log_ += process_.readAllStandardError(); });
        process_.start();
        process_.waitForStarted(5000);
    }

    ~SimRun() { endByPid(process_); }

    bool waitForListening() { return waitForLog("listening on"); }

    bool waitForLog(const QByteArray &text, int timeoutMs = 5000)
    {
        return QTest::qWaitFor([&] { return log_.contains(text); }, timeoutMs);
    }

    bool terminate(int timeoutMs)
    {
        process_.terminate();
        return waitForExit(timeoutMs);
    }

    bool waitForExit(int timeoutMs)
    {
        const bool ended = process_.waitForFinished(timeoutMs);
        log_ += process_.readAllStandardError();
        return ended;
    }

    QByteArray log() const { return log_; }
    QByteArray output() { return process_.readAllStandardOutput(); }
    int exitCode() const { return process_.exitCode(); }
    QProcess::ExitStatus exitStatus() const { return process_.exitStatus(); }
    qint64 pid() const { return process_.processId(); }

private:
    QProcess process_;
    QByteArray log_;
};

// What follows a bad reply's status line, up to the cycle's final colour reset.
inline const QByteArray errorMark("\033[0;37;41m\nError\033[0m\n");

// What the client writes for one cycle with a reply, built from the status-line rule.
inline QByteArray expectedCycle(int passes, const QByteArray &echoedValue, const QByteArray &reply)
{
    QByteArray line = "nLoop:\t" + QByteArray::number(passes);
    if (!echoedValue.isNull())
        line += "\t" + echoedValue + "\t";
    const int opening = reply.count('{');
    const int closing = reply.count('}');
    line += "\tlen:\t" + QByteArray::number(reply.size()) + "\tn{:" + QByteArray::number(opening) +
            "\tn}:" + QByteArray::number(closing) + "\r";
    if (opening != closing || opening == 0 || reply.isEmpty())
        line += errorMark;
    return line + "\033[0m";
}

inline const QByteArray noConnectionCycle("\033[0;37;41mNo connection\033[0m\n");

inline QByteArray expectedRequest(const QByteArray &hostHeaderValue)
{
    const QByteArray body(CLIENT_REQUEST_BODY);
    return "POST /api.php HTTP/1.1\r\nHost: " + hostHeaderValue +
           "\r\nConnection: Keep-Alive\r\nContent-Length: " + QByteArray::number(body.size()) + "\r\n\r\n" + body;
}

inline QByteArray httpReply(const QByteArray &body, const QByteArray &extraHeaders = QByteArray())
{
    return "HTTP/1.1 200 OK\r\nContent-Type: application/json\r\n" + extraHeaders +
           "Content-Length: " + QByteArray::number(body.size()) + "\r\n\r\n" + body;
}

}  // namespace harness
