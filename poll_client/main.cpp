// testVRN730: polls a device's JSON-RPC API over HTTP. Each cycle pauses, opens a fresh
// IPv4 connection, sends one fixed POST, collects the raw reply until the device falls
// silent or closes, and prints one status line that the next cycle overwrites in place.

#include <QByteArray>
#include <QHostAddress>
#include <QNetworkProxy>
#include <QString>
#include <QTcpSocket>
#include <QUrl>
#include <QtGlobal>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include <fcntl.h>
#include <netdb.h>
#include <sys/socket.h>
#include <unistd.h>

// ---- Poll settings -------------------------------------------------------------------

#define DEFAULT_DEVICE_IP "192.168.1.100"

QString ip = QStringLiteral(DEFAULT_DEVICE_IP);
std::int32_t port = 80;
QString page = QStringLiteral("api.php");
// Sent byte for byte as stored: "jsonrp" and the brace after null are what the devices expect.
QByteArray Json = QByteArrayLiteral("{\"jsonrp\":\"2.0\",\"method\":\"getSp\",\"params\":null},\"id\":70}");
std::int32_t period_ms = 500;
std::int32_t responseTimeOut = 1000;

const char szHelp[] = "Usage:\n"
                      "testVRN730 [keys]:\n"
                      "   -h only print help\n"
                      "   -i ip\n"
                      "   -p period ms\n"
                      "   -t responseTimeOut\n"
                      "\n"
                      "def.:\n"
                      "testVRN730 -p 500 -t 1000 -i " DEFAULT_DEVICE_IP "\n";

// A device that streams without pause must not grow the buffer until the system kills us.
constexpr int maxReplyBytes = 16 * 1024 * 1024;
// Nor may one that trickles, never falling silent, hold a cycle for ever: the reply is
// taken as it stands this long after the request went out, as long as the wait for its
// first byte.
constexpr int maxReplyMs = 30000;
// What the response buffer holds from the start; it grows once to what larger replies need
// and keeps that for the life of the process.
constexpr int initialReplyCapacity = 64 * 1024;

// ---- Console output ------------------------------------------------------------------

// Every socket opened later takes the lowest free descriptor: with standard output closed,
// the device's connection would become descriptor 1 and receive the status lines.
bool standardDescriptorsOpen()
{
    for (int fd = STDIN_FILENO; fd <= STDERR_FILENO; ++fd) {
        if (fcntl(fd, F_GETFD) != -1 || errno != EBADF)
            continue;
        if (open("/dev/null", O_RDWR) != fd)
            return false;  // GCOVR_EXCL_LINE: a system without a usable /dev/null
    }
    return true;
}

// A reader that has gone ends us as SIGPIPE would, had the network layer not ignored it;
// any other write error is reported once.
[[noreturn]] void endOnOutputError(int error)
{
    if (error == EPIPE) {
        std::signal(SIGPIPE, SIG_DFL);
        sigset_t pipeOnly;
        sigemptyset(&pipeOnly);
        sigaddset(&pipeOnly, SIGPIPE);
        sigprocmask(SIG_UNBLOCK, &pipeOnly, nullptr);
        raise(SIGPIPE);
    }
    std::fprintf(stderr, "testVRN730: cannot write to standard output: %s\n", std::strerror(error));
    std::_Exit(1);
}

void checkOutput(bool failed)
{
    if (failed)
        endOnOutputError(errno);
}

void print(const char *text)
{
    checkOutput(std::fputs(text, stdout) == EOF);
}

void print(const QByteArray &bytes)
{
    const auto size = static_cast<std::size_t>(bytes.size());
    checkOutput(std::fwrite(bytes.constData(), 1, size, stdout) != size);
}

void flushOutput()
{
    checkOutput(std::fflush(stdout) == EOF);
}

void red()
{
    print("\033[0;37;41m");
}

void bw()
{
    print("\033[0m");
}

void lineEnd()
{
    print("\n");
    flushOutput();
}

// Qt's internal warnings are not this program's output; stderr is left to getopt. No path
// the tests know makes Qt warn: this keeps one that a Qt version adds off stderr.
void discardQtMessage(QtMsgType, const QMessageLogContext &, const QString &)  // GCOVR_EXCL_LINE
{
}

// ---- Command line --------------------------------------------------------------------

// strtol's result, cut to the low 32 bits the setting holds.
std::int32_t parseDecimal(const char *text)
{
    const auto value = static_cast<std::uint32_t>(std::strtol(text, nullptr, 10));
    return static_cast<std::int32_t>(value);
}

// Returns false when the usage text was asked for and printed.
bool parseOptions(int argc, char *argv[])
{
    int option;
    while ((option = getopt(argc, argv, "hi:p:t:")) != -1) {
        switch (option) {
        case 'h':
            print(szHelp);
            return false;
        case 'i':
            ip = QString::fromUtf8(optarg);
            break;
        case 'p':
            period_ms = parseDecimal(optarg);
            break;
        case 't':
            responseTimeOut = parseDecimal(optarg);
            break;
        default:  // getopt has written its diagnostic; the option is ignored
            break;
        }
    }
    return true;
}

// ---- Poll cycle: pause -----------------------------------------------------------------

void pauseForPeriod()
{
    if (period_ms <= 0)
        return;
    timespec remaining{period_ms / 1000, (period_ms % 1000) * 1000000L};
    while (nanosleep(&remaining, &remaining) == -1 && errno == EINTR) {
    }
}

// ---- Poll cycle: device request exchange ---------------------------------------------

QTcpSocket *client = nullptr;

std::int32_t wrapped32(std::int64_t value)
{
    return static_cast<std::int32_t>(static_cast<std::uint32_t>(value));
}

// Names are looked up here, not by the socket: without an application object, the
// socket's own lookup makes Qt emit internal warnings, which QT_FATAL_WARNINGS turns
// into an abort.
QHostAddress lookUpIPv4(const QString &name)
{
    const QByteArray asciiName = QUrl::toAce(name);
    if (asciiName.isEmpty())
        return QHostAddress();
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo *found = nullptr;
    if (getaddrinfo(asciiName.constData(), nullptr, &hints, &found) != 0)
        return QHostAddress();
    const QHostAddress address(found->ai_addr);
    freeaddrinfo(found);
    return address;
}

// Time left of the connect wait after elapsedMs. The wait is ten times the reply time-out
// in 32 bits, so it is even and never Qt's -1, "no limit".
int remainingTimeout(int timeoutMs, std::int64_t elapsedMs)
{
    return static_cast<int>(std::max<std::int64_t>(0, timeoutMs - elapsedMs));
}

// Unbuffered: the reply stays in the kernel until it is read straight into the response
// buffer, and the request goes out in the write call itself.
constexpr QIODevice::OpenMode socketMode = QIODevice::ReadWrite | QIODevice::Unbuffered;

bool connectToDevice(QTcpSocket *socket, int timeoutMs)
{
    const auto devicePort = static_cast<quint16>(port);
    static const bool ipInDigits = QHostAddress().setAddress(ip);  // ip is settled before the first cycle
    if (ipInDigits) {
        socket->connectToHost(ip, devicePort, socketMode, QAbstractSocket::IPv4Protocol);
        return socket->waitForConnected(timeoutMs);
    }
    // The lookup counts against the connect wait, as it does inside the socket.
    const auto lookupStart = std::chrono::steady_clock::now();
    const QHostAddress address = lookUpIPv4(ip);
    const auto lookupMs =
        std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - lookupStart).count();
    if (address.isNull())
        return false;
    socket->connectToHost(address, devicePort, socketMode);
    return socket->waitForConnected(remainingTimeout(timeoutMs, lookupMs));
}

// The header text goes out in the local 8-bit encoding; its only text that is not ASCII
// can be the address, so converting that alone gives the same bytes.
QByteArray buildRequest()
{
    QByteArray request;
    request.reserve(160 + ip.size() * 4 + Json.size());
    request += "POST /";
    request += page.toLatin1();
    request += " HTTP/1.1\r\nHost: ";
    request += ip.toLocal8Bit();
    request += ':';
    request += QByteArray::number(port);
    request += "\r\nConnection: Keep-Alive\r\nContent-Length: ";
    request += QByteArray::number(Json.size());
    request += "\r\n\r\n";
    request += Json;
    return request;
}

// Appends all that is available, or as much as still fits under the cap, reading straight
// into the buffer.
void appendAvailable(QTcpSocket *socket, QByteArray *response)
{
    const int oldSize = response->size();
    const auto wanted = static_cast<int>(std::min<qint64>(socket->bytesAvailable(), maxReplyBytes - oldSize));
    response->resize(oldSize + wanted);
    const qint64 got = socket->read(response->data() + oldSize, wanted);
    response->resize(oldSize + static_cast<int>(std::max<qint64>(got, 0)));
}

// Returns the number of bytes received, or -1 when no connection was made.
std::int32_t sendAndRecive(QByteArray *response)
{
    delete client;  // drops the previous exchange's connection, unread data and all
    client = new QTcpSocket;
    client->setProxy(QNetworkProxy::NoProxy);

    if (!connectToDevice(client, wrapped32(std::int64_t{responseTimeOut} * 10))) {
        delete client;
        client = nullptr;
        red();
        print("No connection");
        bw();
        lineEnd();
        return -1;
    }

    client->write(buildRequest());
    const auto sent = std::chrono::steady_clock::now();
    client->waitForReadyRead(maxReplyMs);  // the loop below decides, not this wait's result

    int passes = 0;
    int leftMs = maxReplyMs;  // of the reply's time
    while (leftMs > 0 && client->bytesAvailable() > 0) {
        ++passes;
        appendAvailable(client, response);
        if (response->size() >= maxReplyBytes)
            break;
        const auto replyMs =
            std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - sent).count();
        leftMs = remainingTimeout(maxReplyMs, replyMs);
        // A negative time-out waits without end in Qt: the reply's bound still holds.
        client->waitForReadyRead(responseTimeOut < 0 ? leftMs : std::min(responseTimeOut, leftMs));
    }

    checkOutput(std::printf("nLoop:\t%d", passes) < 0);
    return response->size();
}

// ---- Poll cycle: response check and status line --------------------------------------

// The value comes from the network and goes to a terminal, so no control character may
// pass through: C0, DEL and C1, Unicode's bidirectional controls, which can reorder what
// the terminal shows, and its line and paragraph separators.
bool isControl(ushort code)
{
    return code < 0x20 || (code >= 0x7f && code <= 0x9f) || code == 0x061c || code == 0x200e || code == 0x200f ||
           (code >= 0x2028 && code <= 0x202e) || (code >= 0x2066 && code <= 0x2069);
}

QString withControlsMasked(QString text)
{
    for (QChar &c : text) {
        if (isControl(c.unicode()))
            c = QLatin1Char('?');
    }
    return text;
}

// The reply text (the bytes before the first zero byte, decoded as UTF-8) from its
// "realTime" key up to the next comma or its end; a null string without the key.
// Decoding passes ASCII bytes through one for one and never takes one into a broken
// sequence, so key and comma are found in the bytes, and only the field is decoded:
// through its comma, which ends an unfinished sequence just as it does in the whole text.
QString realTimeField(const QByteArray &response)
{
    static constexpr char key[] = "\"realTime\":";
    const char *const begin = response.constData();
    const auto size = static_cast<std::size_t>(response.size());
    const auto *zero = static_cast<const char *>(std::memchr(begin, '\0', size));
    const char *const textEnd = zero ? zero : begin + size;
    const auto *keyAt =
        static_cast<const char *>(memmem(begin, static_cast<std::size_t>(textEnd - begin), key, sizeof key - 1));
    if (!keyAt)
        return QString();
    const auto *comma = static_cast<const char *>(std::memchr(keyAt, ',', static_cast<std::size_t>(textEnd - keyAt)));
    if (!comma)
        return QString::fromUtf8(keyAt, static_cast<int>(textEnd - keyAt));
    QString field = QString::fromUtf8(keyAt, static_cast<int>(comma - keyAt + 1));
    field.chop(1);
    return field;
}

struct BraceCounts {
    std::int32_t opening = 0;
    std::int32_t closing = 0;
};

// One pass over every byte. Blocks of a fixed size with small counters let the compiler
// compare 16 bytes at a time; a 16 MiB reply takes milliseconds, not tens of them.
BraceCounts countBraces(const QByteArray &response)
{
    constexpr std::size_t block = 64;
    const char *const bytes = response.constData();
    const auto size = static_cast<std::size_t>(response.size());
    BraceCounts counts;
    std::size_t at = 0;
    for (; at + block <= size; at += block) {
        unsigned char opening = 0;
        unsigned char closing = 0;
        for (std::size_t i = 0; i < block; ++i) {
            opening += bytes[at + i] == '{';
            closing += bytes[at + i] == '}';
        }
        counts.opening += opening;
        counts.closing += closing;
    }
    for (; at < size; ++at) {
        counts.opening += bytes[at] == '{';
        counts.closing += bytes[at] == '}';
    }
    return counts;
}

void checkResponse(const QByteArray &response, std::int32_t n)
{
    const QString field = realTimeField(response);
    if (!field.isNull()) {
        print("\t");
        print(withControlsMasked(field).toUtf8());
        print("\t");
    }

    const BraceCounts braces = countBraces(response);
    checkOutput(std::printf("\tlen:\t%d\tn{:%d\tn}:%d\r", n, braces.opening, braces.closing) < 0);

    // The colour is reset before Error's own line end: a terminal that scrolls fills the
    // new line with the current background, which would stay behind the next status line.
    if (braces.closing != braces.opening || braces.opening == 0 || n <= 0) {
        red();
        lineEnd();
        print("Error");
        bw();
        lineEnd();
    }
    bw();
    flushOutput();
}

// ---- Entry ---------------------------------------------------------------------------

int main(int argc, char *argv[])
{
    if (!standardDescriptorsOpen())
        return 1;  // GCOVR_EXCL_LINE: a system without a usable /dev/null
    qInstallMessageHandler(discardQtMessage);
    if (!parseOptions(argc, argv)) {
        flushOutput();
        return 1;
    }

    // The poll cycle's one buffer: emptying it keeps its capacity, so a large reply's pages
    // are not freed and faulted in again every cycle.
    QByteArray response;
    response.reserve(initialReplyCapacity);
    for (;;) {
        pauseForPeriod();
        response.resize(0);
        const std::int32_t n = sendAndRecive(&response);
        if (n < 0)
            continue;
        checkResponse(response, n);
    }
}
