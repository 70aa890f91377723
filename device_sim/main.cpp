// device_sim: plays the polled device on a local address. It answers every HTTP request
// with a JSON-RPC reply whose "realTime" changes, or misbehaves in one of the ways a real
// device under test does (--mode). One log line per request goes to stderr.

#include <QCoreApplication>
#include <QDateTime>
#include <QElapsedTimer>
#include <QHash>
#include <QHostAddress>
#include <QPointer>
#include <QRegularExpression>
#include <QSocketNotifier>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTimer>
#include <QVector>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <optional>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

// ---- Modes and options ---------------------------------------------------------------

enum class Mode { Ok, Silent, NoBrace, Truncated, Burst, Gap, Stream, ZeroByte, Refuse, SlowAccept };

struct ModeInfo {
    const char *name;
    Mode mode;
    const char *help;
};

const ModeInfo modes[] = {
    {"ok", Mode::Ok, "answers every request with a JSON-RPC reply whose realTime changes"},
    {"silent", Mode::Silent, "accepts and reads requests, never answers"},
    {"no-brace", Mode::NoBrace, "answers HTTP 500 with an error page that holds no braces"},
    {"truncated", Mode::Truncated, "sends the reply cut short inside its JSON, then closes"},
    {"burst", Mode::Burst, "sends the reply in 4 pieces, --gap-ms apart (default 100)"},
    {"gap", Mode::Gap, "sends half the reply, pauses --gap-ms (default 1500), sends the rest"},
    {"stream", Mode::Stream, "answers with data that never ends"},
    {"zero-byte", Mode::ZeroByte, "puts a zero byte before \"realTime\" in the reply"},
    {"refuse", Mode::Refuse, "closes every connection as soon as it is accepted"},
    {"slow-accept", Mode::SlowAccept, "never accepts: its accept queue is full, so connects time out"},
};

constexpr int maxReplyBytes = 256 * 1024 * 1024;

struct Options {
    QHostAddress listen{QHostAddress::LocalHost};
    quint16 port = 80;
    Mode mode = Mode::Ok;
    bool close = false;
    std::optional<int> gapMs;
    int replyBytes = 0;
    bool dump = false;
    bool help = false;
};

const char *modeName(Mode mode)
{
    for (const ModeInfo &info : modes)
        if (info.mode == mode)
            return info.name;
    return "?";
}

void printHelp()
{
    std::printf(
        "Usage: device_sim [--listen ADDR] [--port N] [--mode NAME] [--gap-ms N] [--reply-bytes N]\n"
        "                  [--close] [--dump]\n"
        "Plays the polled device: answers POST /api.php with a JSON-RPC reply.\n"
        "\n"
        "  --listen ADDR  address to listen on (default 127.0.0.1)\n"
        "  --port N       TCP port, 1 to 65535 (default 80)\n"
        "  --mode NAME    how to answer (default ok), one of:\n");
    for (const ModeInfo &info : modes)
        std::printf("                   %-12s %s\n", info.name, info.help);
    std::printf(
        "  --gap-ms N     pause inside a reply for burst and gap, in milliseconds\n"
        "  --reply-bytes N  pad each JSON reply so that the whole HTTP reply is N bytes\n"
        "  --close        close the connection after each reply (default: keep it open)\n"
        "  --dump         log the raw bytes of every request too, escaped\n"
        "  --help         print this text\n"
        "\n"
        "Logs one line per request on stderr. Ctrl-C or SIGTERM ends it.\n");
}

// The error, or nothing when the options are good.
std::optional<QString> parseOptions(const QStringList &arguments, Options *options)
{
    for (int i = 1; i < arguments.size(); ++i) {
        QString name = arguments[i];
        std::optional<QString> inlineValue;
        if (const int equals = name.indexOf(QLatin1Char('=')); name.startsWith(QLatin1String("--")) && equals > 0) {
            inlineValue = name.mid(equals + 1);
            name.truncate(equals);
        }
        const bool takesValue = name == QLatin1String("--listen") || name == QLatin1String("--port") ||
                                name == QLatin1String("--mode") || name == QLatin1String("--gap-ms") ||
                                name == QLatin1String("--reply-bytes");
        if (!takesValue) {
            if (inlineValue)
                return QStringLiteral("%1 takes no value").arg(name);
            if (name == QLatin1String("--close"))
                options->close = true;
            else if (name == QLatin1String("--dump"))
                options->dump = true;
            else if (name == QLatin1String("--help"))
                options->help = true;
            else
                return QStringLiteral("unknown option '%1' (see --help)").arg(name);
            continue;
        }
        if (!inlineValue && i + 1 == arguments.size())
            return QStringLiteral("%1 needs a value").arg(name);
        const QString value = inlineValue ? *inlineValue : arguments[++i];

        bool isNumber = false;
        const int number = value.toInt(&isNumber);
        if (name == QLatin1String("--listen")) {
            if (!options->listen.setAddress(value))
                return QStringLiteral("--listen needs an IP address, not '%1'").arg(value);
        } else if (name == QLatin1String("--port")) {
            if (!isNumber || number < 1 || number > 65535)
                return QStringLiteral("--port needs a number from 1 to 65535, not '%1'").arg(value);
            options->port = static_cast<quint16>(number);
        } else if (name == QLatin1String("--gap-ms")) {
            if (!isNumber || number < 0 || number > 3600000)
                return QStringLiteral("--gap-ms needs a number from 0 to 3600000, not '%1'").arg(value);
            options->gapMs = number;
        } else if (name == QLatin1String("--reply-bytes")) {
            if (!isNumber || number < 0 || number > maxReplyBytes)
                return QStringLiteral("--reply-bytes needs a number from 0 to %1, not '%2'").arg(maxReplyBytes).arg(value);
            options->replyBytes = number;
        } else {
            const ModeInfo *found = nullptr;
            for (const ModeInfo &info : modes)
                if (value == QLatin1String(info.name))
                    found = &info;
            if (!found)
                return QStringLiteral("unknown mode '%1' (see --help)").arg(value);
            options->mode = found->mode;
        }
    }
    return std::nullopt;
}

// ---- Logging -------------------------------------------------------------------------

void logLine(const QString &line)
{
    std::fprintf(stderr, "%s\n", line.toUtf8().constData());
    std::fflush(stderr);
}

QString timestamp()
{
    return QDateTime::currentDateTime().toString(QStringLiteral("yyyy-MM-dd HH:mm:ss.zzz"));
}

QString peerOf(const QTcpSocket *socket)
{
    return QStringLiteral("%1:%2").arg(socket->peerAddress().toString()).arg(socket->peerPort());
}

QString escaped(const QByteArray &bytes)
{
    QString text;
    for (const char byte : bytes) {
        const auto c = static_cast<unsigned char>(byte);
        if (c == '\\')
            text += QLatin1String("\\\\");
        else if (c == '\r')
            text += QLatin1String("\\r");
        else if (c == '\n')
            text += QLatin1String("\\n");
        else if (c == '\t')
            text += QLatin1String("\\t");
        else if (c >= 0x20 && c < 0x7f)
            text += QLatin1Char(byte);
        else
            text += QStringLiteral("\\x%1").arg(c, 2, 16, QLatin1Char('0'));
    }
    return text;
}

// ---- Requests ------------------------------------------------------------------------

struct Request {
    QByteArray method;
    QByteArray path;
    QByteArray body;
    bool wantsClose = false;
    QByteArray raw;
};

constexpr int maxHeaderBytes = 64 * 1024;

enum class Parse { Incomplete, Done, Bad };

QByteArray headerValue(const QList<QByteArray> &lines, const QByteArray &name)
{
    for (const QByteArray &line : lines) {
        const int colon = line.indexOf(':');
        if (colon > 0 && line.left(colon).trimmed().toLower() == name)
            return line.mid(colon + 1).trimmed();
    }
    return QByteArray();
}

// Takes one whole request off the front of the buffer, once its body has arrived.
Parse takeRequest(QByteArray *buffer, Request *request)
{
    const int headerEnd = buffer->indexOf("\r\n\r\n");
    if (headerEnd < 0)
        return buffer->size() > maxHeaderBytes ? Parse::Bad : Parse::Incomplete;
    const QList<QByteArray> lines = buffer->left(headerEnd).split('\n');
    const QList<QByteArray> requestLine = lines.first().trimmed().split(' ');
    if (requestLine.size() != 3 || !requestLine[2].startsWith("HTTP/"))
        return Parse::Bad;

    const QByteArray lengthText = headerValue(lines, "content-length");
    bool isNumber = true;
    const int length = lengthText.isEmpty() ? 0 : lengthText.toInt(&isNumber);
    if (!isNumber || length < 0)
        return Parse::Bad;
    const int total = headerEnd + 4 + length;
    if (buffer->size() < total)
        return Parse::Incomplete;

    request->method = requestLine[0];
    request->path = requestLine[1];
    request->body = buffer->mid(headerEnd + 4, length);
    request->wantsClose = headerValue(lines, "connection").toLower() == "close";
    request->raw = buffer->left(total);
    buffer->remove(0, total);
    return Parse::Done;
}

// ---- Replies -------------------------------------------------------------------------

QByteArray httpResponse(const QByteArray &status, const QByteArray &type, const QByteArray &body, bool close)
{
    return "HTTP/1.1 " + status + "\r\nContent-Type: " + type + "\r\nContent-Length: " +
           QByteArray::number(body.size()) + "\r\nConnection: " + (close ? "close" : "keep-alive") +
           "\r\n\r\n" + body;
}

QByteArray requestId(const QByteArray &body)
{
    static const QRegularExpression id(QStringLiteral("\"id\"\\s*:\\s*(\\d{1,18})"));
    const QRegularExpressionMatch match = id.match(QString::fromUtf8(body));
    return match.hasMatch() ? match.captured(1).toLatin1() : QByteArray("null");
}

QByteArray jsonReply(const Request &request, qint64 replyNumber, qint64 uptimeMs, bool zeroByte, int padBytes)
{
    const QByteArray realTime = QDateTime::currentDateTime().toString(QStringLiteral("HH:mm:ss.zzz")).toLatin1();
    const QByteArray pad = padBytes > 0 ? ",\"pad\":\"" + QByteArray(padBytes, 'x') + "\"" : QByteArray();
    return "{\"jsonrpc\":\"2.0\",\"result\":{" + QByteArray(zeroByte ? "\0" : "", zeroByte ? 1 : 0) +
           "\"realTime\":\"" + realTime + "\",\"reply\":" + QByteArray::number(replyNumber) +
           ",\"uptime_ms\":" + QByteArray::number(uptimeMs) + ",\"state\":\"running\"" + pad + "},\"id\":" +
           requestId(request.body) + "}";
}

const QByteArray errorPage =
    "<html><head><title>500 Internal Server Error</title></head>"
    "<body><h1>Internal Server Error</h1></body></html>";

// ---- The device ----------------------------------------------------------------------

class Device {
public:
    explicit Device(const Options &options) : options_(options) { uptime_.start(); }

    bool start(QString *error)
    {
        if (options_.mode == Mode::SlowAccept)
            return startWithFullQueue(error);
        QObject::connect(&server_, &QTcpServer::newConnection, [this] { acceptAll(); });
        if (!server_.listen(options_.listen, options_.port)) {
            *error = server_.errorString();
            return false;
        }
        return true;
    }

    ~Device()
    {
        for (int fd : rawSockets_)
            ::close(fd);
    }

private:
    // A listener with backlog 0 whose one queue slot we take ourselves: the kernel drops
    // every further SYN, so the client's connect neither succeeds nor is refused.
    bool startWithFullQueue(QString *error)
    {
        sockaddr_storage where{};
        socklen_t size = 0;
        const int family = options_.listen.protocol() == QAbstractSocket::IPv6Protocol ? AF_INET6 : AF_INET;
        if (family == AF_INET) {
            auto *v4 = reinterpret_cast<sockaddr_in *>(&where);
            v4->sin_family = AF_INET;
            v4->sin_port = htons(options_.port);
            v4->sin_addr.s_addr = htonl(options_.listen.toIPv4Address());
            size = sizeof *v4;
        } else {
            auto *v6 = reinterpret_cast<sockaddr_in6 *>(&where);
            v6->sin6_family = AF_INET6;
            v6->sin6_port = htons(options_.port);
            const Q_IPV6ADDR address = options_.listen.toIPv6Address();
            std::memcpy(&v6->sin6_addr, &address, sizeof address);
            size = sizeof *v6;
        }
        const int listener = socket(family, SOCK_STREAM | SOCK_CLOEXEC, 0);
        rawSockets_.append(listener);
        const int yes = 1;
        setsockopt(listener, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
        if (bind(listener, reinterpret_cast<sockaddr *>(&where), size) != 0 || listen(listener, 0) != 0) {
            *error = QString::fromLocal8Bit(std::strerror(errno));
            return false;
        }
        for (int i = 0; i < 2; ++i) {
            const int filler = socket(family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
            ::connect(filler, reinterpret_cast<sockaddr *>(&where), size);
            rawSockets_.append(filler);
        }
        return true;
    }

    void acceptAll()
    {
        while (QTcpSocket *socket = server_.nextPendingConnection()) {
            if (options_.mode == Mode::Refuse) {
                logLine(QStringLiteral("%1 %2 closed at once").arg(timestamp(), peerOf(socket)));
                socket->abort();
                socket->deleteLater();
                continue;
            }
            QObject::connect(socket, &QTcpSocket::readyRead, [this, socket] { receive(socket); });
            QObject::connect(socket, &QTcpSocket::disconnected, [this, socket] {
                buffers_.remove(socket);
                socket->deleteLater();
            });
        }
    }

    void receive(QTcpSocket *socket)
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
            logRequest(socket, request);
            answer(socket, request);
            if (socket->state() != QAbstractSocket::ConnectedState)
                return;
        }
    }

    void logRequest(const QTcpSocket *socket, const Request &request)
    {
        logLine(QStringLiteral("%1 %2 %3 %4 body %5 bytes")
                    .arg(timestamp(), peerOf(socket), QString::fromLatin1(request.method),
                         QString::fromLatin1(request.path))
                    .arg(request.body.size()));
        if (options_.dump)
            logLine(QStringLiteral("  ") + escaped(request.raw));
    }

    void answer(QTcpSocket *socket, const Request &request)
    {
        const bool close = options_.close || request.wantsClose;
        ++replies_;
        if (request.path != "/api.php") {
            send(socket, httpResponse("404 Not Found", "text/plain", "not found\n", close), close);
            return;
        }
        if (request.method != "POST") {
            send(socket, httpResponse("405 Method Not Allowed", "text/plain", "POST only\n", close), close);
            return;
        }
        switch (options_.mode) {
        case Mode::Silent:
            return;
        case Mode::NoBrace:
            send(socket, httpResponse("500 Internal Server Error", "text/html", errorPage, close), close);
            return;
        case Mode::Truncated: {
            const QByteArray reply = paddedReply(request, close);
            send(socket, reply.left(reply.size() - 30), true);  // cut inside the result object
            return;
        }
        case Mode::Burst:
            sendInPieces(socket, splitInto(paddedReply(request, close), 4), options_.gapMs.value_or(100), close);
            return;
        case Mode::Gap:
            sendInPieces(socket, splitInto(paddedReply(request, close), 2), options_.gapMs.value_or(1500), close);
            return;
        case Mode::Stream:
            startStream(socket);
            return;
        default:
            send(socket, paddedReply(request, close), close);
        }
    }

    // The reply, padded to --reply-bytes when that is more than it holds anyway. The pad
    // member adds 9 bytes besides its own, and may lengthen the Content-Length header.
    QByteArray paddedReply(const Request &request, bool close)
    {
        const bool zeroByte = options_.mode == Mode::ZeroByte;
        const qint64 uptimeMs = uptime_.elapsed();
        auto build = [&](int padBytes) {
            return httpResponse("200 OK", "application/json",
                                jsonReply(request, replies_, uptimeMs, zeroByte, padBytes), close);
        };
        QByteArray reply = build(0);
        for (int padBytes = options_.replyBytes - reply.size() - 9; padBytes > 0 && reply.size() != options_.replyBytes;) {
            reply = build(padBytes);
            padBytes -= reply.size() - options_.replyBytes;
        }
        return reply;
    }

    static void send(QTcpSocket *socket, const QByteArray &bytes, bool close)
    {
        socket->write(bytes);
        if (close)
            socket->disconnectFromHost();
    }

    static QList<QByteArray> splitInto(const QByteArray &bytes, int pieces)
    {
        QList<QByteArray> parts;
        const int size = (bytes.size() + pieces - 1) / pieces;
        for (int at = 0; at < bytes.size(); at += size)
            parts.append(bytes.mid(at, size));
        return parts;
    }

    void sendInPieces(QPointer<QTcpSocket> socket, QList<QByteArray> pieces, int gapMs, bool close)
    {
        if (!socket || socket->state() != QAbstractSocket::ConnectedState)
            return;
        const QByteArray piece = pieces.takeFirst();
        if (pieces.isEmpty()) {
            send(socket, piece, close);
            return;
        }
        socket->write(piece);
        QTimer::singleShot(gapMs, socket, [this, socket, pieces, gapMs, close] {
            sendInPieces(socket, pieces, gapMs, close);
        });
    }

    // Balanced objects without end, written as fast as the peer takes them.
    void startStream(QTcpSocket *socket)
    {
        static const QByteArray chunk = QByteArray("{\"stream\":true}\n").repeated(16 * 1024);
        socket->write("HTTP/1.1 200 OK\r\nContent-Type: application/json\r\n\r\n");
        socket->write(chunk);
        QObject::connect(socket, &QTcpSocket::bytesWritten, socket, [socket] {
            if (socket->bytesToWrite() < chunk.size())
                socket->write(chunk);
        });
    }

    Options options_;
    QElapsedTimer uptime_;
    qint64 replies_ = 0;
    QHash<QTcpSocket *, QByteArray> buffers_;
    QVector<int> rawSockets_;
    QTcpServer server_;  // last: its sockets report their close to the members above
};

// ---- Signals -------------------------------------------------------------------------

int signalPipe[2];

void onStopSignal(int)
{
    const char byte = 1;
    [[maybe_unused]] const ssize_t written = ::write(signalPipe[1], &byte, 1);
}

}  // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);

    Options options;
    if (const std::optional<QString> error = parseOptions(app.arguments(), &options)) {
        std::fprintf(stderr, "device_sim: %s\n", error->toUtf8().constData());
        return 2;
    }
    if (options.help) {
        printHelp();
        return 0;
    }

    if (pipe2(signalPipe, O_CLOEXEC) != 0)
        return 1;
    QSocketNotifier stopNotifier(signalPipe[0], QSocketNotifier::Read);
    QObject::connect(&stopNotifier, &QSocketNotifier::activated, &app, &QCoreApplication::quit);
    std::signal(SIGINT, onStopSignal);
    std::signal(SIGTERM, onStopSignal);

    Device device(options);
    QString error;
    if (!device.start(&error)) {
        std::fprintf(stderr, "device_sim: cannot listen on %s port %u: %s\n",
                     options.listen.toString().toUtf8().constData(), options.port, error.toUtf8().constData());
        return 1;
    }
    logLine(QStringLiteral("device_sim: listening on %1 port %2, mode %3")
                .arg(options.listen.toString())
                .arg(options.port)
                .arg(QString::fromLatin1(modeName(options.mode))));
    const int status = app.exec();
    logLine(QStringLiteral("device_sim: stopped"));
    return status;
}
