// The bundled device simulator: its request parsing, its option errors, and every mode as
// the real client sees it.
#include "poll_harness.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QtTest>

#include <cerrno>
#include <csignal>
#include <thread>

#include <fcntl.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

using namespace harness;

namespace {

QString nextAddress()
{
    return nextLoopbackAddress(3);
}

const QByteArray clientRequest = expectedRequest("127.0.0.1:80");

struct Reply {
    QByteArray status;
    QJsonObject body;
};

// Cuts whole HTTP replies off the front of the bytes; each must carry a Content-Length.
QList<Reply> parseReplies(QByteArray bytes)
{
    QList<Reply> replies;
    for (int end = bytes.indexOf("\r\n\r\n"); end >= 0; end = bytes.indexOf("\r\n\r\n")) {
        const QByteArray head = bytes.left(end);
        const QRegularExpressionMatch length =
            QRegularExpression(QStringLiteral("\r\nContent-Length: (\\d+)")).match(QString::fromLatin1(head));
        if (!length.hasMatch())
            break;
        const int total = end + 4 + length.captured(1).toInt();
        if (bytes.size() < total)
            break;
        replies.append(
            {head.left(head.indexOf("\r\n")), QJsonDocument::fromJson(bytes.mid(end + 4, total - end - 4)).object()});
        bytes.remove(0, total);
    }
    return replies;
}

// Sends the client's request on a fresh connection, then perhaps the peer's FIN, and reads
// until the device closes it; returns how long that took, in milliseconds, or -1 when it
// did not close in time.
qint64 oneExchange(const QString &address, QByteArray *reply = nullptr, const QByteArray &request = clientRequest,
                   bool halfClose = false)
{
    QTcpSocket socket;
    socket.connectToHost(address, 80);
    if (!socket.waitForConnected(3000))
        return -1;
    QElapsedTimer clock;
    clock.start();
    socket.write(request);
    if (halfClose && (!socket.waitForBytesWritten(3000) || ::shutdown(int(socket.socketDescriptor()), SHUT_WR) != 0))
        return -1;
    QByteArray received;
    const bool closed = QTest::qWaitFor(
        [&] {
            received += socket.readAll();
            return socket.state() == QAbstractSocket::UnconnectedState;
        },
        8000);
    if (reply)
        *reply = received + socket.readAll();
    return closed ? clock.elapsed() : -1;
}

// What each request got, in order, as its log lines name it.
QStringList repliesLogged(const QByteArray &log)
{
    QStringList labels;
    const QRegularExpression line(QStringLiteral("body \\d+ bytes: (\\S+)\n"));
    for (auto match = line.globalMatch(QString::fromLatin1(log)); match.hasNext();)
        labels.append(match.next().captured(1));
    return labels;
}

// User and system CPU time of a process so far, in milliseconds.
qint64 cpuMs(qint64 pid)
{
    QFile stat(QStringLiteral("/proc/%1/stat").arg(pid));
    if (!stat.open(QIODevice::ReadOnly))
        return -1;
    const QList<QByteArray> fields = stat.readAll().split(' ');
    return (fields.value(13).toLongLong() + fields.value(14).toLongLong()) * 1000 / sysconf(_SC_CLK_TCK);
}

// device_sim's peak RSS, whatever its peers send.
#ifdef SANITIZED
const qint64 peakRssBoundKiB = 256 * 1024;  // the sanitizers' own memory comes on top
#else
const qint64 peakRssBoundKiB = 64 * 1024;
#endif

const QByteArray storedReply =
    "HTTP/1.0 200 OK\r\nX-Stored: {yes}\r\n\r\n{\"result\":{\"realTime\":\"from a file\",\"v\":1}}";

}  // namespace

class DeviceSimTest : public QObject {
    Q_OBJECT

private slots:
    void requestParsing_data();
    void requestParsing();
    void replyBytesSetsTheWholeSize_data();
    void replyBytesSetsTheWholeSize();
    void badOptions_data();
    void badOptions();
    void helpListsEveryMode();
    void silentModeReadsButNeverAnswers();
    void logsEveryRequest_data();
    void logsEveryRequest();
    void logsAnIPv6PeerInBrackets();
    void signalsEndItCleanly_data();
    void signalsEndItCleanly();
    void closedLogKeepsServing();
    void modesAsTheClientSeesThem_data();
    void modesAsTheClientSeesThem();
    void connectionEnd_data();
    void connectionEnd();
    void faultSequenceFollowsTheSeed();
    void shapingSlowsTheReply_data();
    void shapingSlowsTheReply();
    void downAndUpAsARebootingDevice();
    void listenFailureSaysWhy_data();
    void listenFailureSaysWhy();
    void refusedRequestsThenTheNextClient_data();
    void refusedRequestsThenTheNextClient();
    void peerThatNeverReadsHoldsLittle_data();
    void peerThatNeverReadsHoldsLittle();
    void connectionLimitStopsAndResumes();
    void timeOuts_data();
    void timeOuts();
    void rateBelowFiftyBytesASecond_data();
    void rateBelowFiftyBytesASecond();
    void continueBeforeTheBody();
    void aReplyCutShortIsLogged();
    void pipelinedThousandsUnderASmallStack();
    void acceptQueueUnderASmallStack();
    void largeBodyHoldsLittle();
    void unreadLogHoldsNothingUp();

private:
    QTemporaryDir files_;
};

void DeviceSimTest::requestParsing_data()
{
    QTest::addColumn<QList<QByteArray>>("packets");
    QTest::addColumn<int>("replies");
    QTest::addColumn<bool>("closes");

    const QByteArray r = clientRequest;
    QTest::newRow("one request in one packet") << QList<QByteArray>{r} << 1 << false;
    QTest::newRow("split inside the headers and inside the body")
        << QList<QByteArray>{r.left(20), r.mid(20, r.size() - 30), r.right(10)} << 1 << false;
    QTest::newRow("two requests on one connection, one after the other") << QList<QByteArray>{r, r} << 2 << false;
    QTest::newRow("two requests in one packet") << QList<QByteArray>{r + r} << 2 << false;
    QTest::newRow("header names in any case")
        << QList<QByteArray>{QByteArray(r).replace("Content-Length", "content-length")} << 1 << false;
    QTest::newRow("Connection: close is answered, then closed")
        << QList<QByteArray>{QByteArray(r).replace("Keep-Alive", "close")} << 1 << true;
}

void DeviceSimTest::requestParsing()
{
    QFETCH(QList<QByteArray>, packets);
    QFETCH(int, replies);
    QFETCH(bool, closes);

    const QString address = nextAddress();
    SimRun sim({"--listen", address, "--port", "80"});
    QVERIFY(sim.waitForListening());

    QTcpSocket socket;
    socket.connectToHost(address, 80);
    QVERIFY(socket.waitForConnected(3000));
    QByteArray received;
    for (const QByteArray &packet : packets) {
        socket.write(packet);
        QVERIFY(socket.waitForBytesWritten(3000));
        QTest::qWait(100);  // a separate segment each
    }
    QVERIFY(QTest::qWaitFor(
        [&] {
            received += socket.readAll();
            return parseReplies(received).size() >= replies;
        },
        5000));

    const QList<Reply> parsed = parseReplies(received);
    QCOMPARE(parsed.size(), replies);
    for (int i = 0; i < parsed.size(); ++i) {
        QCOMPARE(parsed[i].status, QByteArray("HTTP/1.1 200 OK"));
        QCOMPARE(parsed[i].body.value("id").toInt(), 70);
        const QJsonObject result = parsed[i].body.value("result").toObject();
        QVERIFY(QRegularExpression(QStringLiteral("^\\d\\d:\\d\\d:\\d\\d\\.\\d\\d\\d$"))
                    .match(result.value("realTime").toString())
                    .hasMatch());
        QCOMPARE(result.value("reply").toInt(), i + 1);
    }
    if (closes)
        QVERIFY(socket.state() == QAbstractSocket::UnconnectedState || socket.waitForDisconnected(3000));
    else
        QVERIFY(!socket.waitForDisconnected(500));
}

void DeviceSimTest::replyBytesSetsTheWholeSize_data()
{
    QTest::addColumn<int>("replyBytes");
    QTest::addColumn<bool>("padded");
    QTest::newRow("1000 bytes") << 1000 << true;
    QTest::newRow("where Content-Length gains a digit") << 10000 + 93 << true;
    QTest::newRow("1 MiB") << 1024 * 1024 << true;
}

void DeviceSimTest::replyBytesSetsTheWholeSize()
{
    QFETCH(int, replyBytes);
    QFETCH(bool, padded);

    const QString address = nextAddress();
    SimRun sim({"--listen", address, "--port", "80", "--close", "--reply-bytes", QString::number(replyBytes)});
    QVERIFY(sim.waitForListening());
    for (int attempt = 0; attempt < 2; ++attempt) {  // the second reply has other numbers in it
        QTcpSocket socket;
        socket.connectToHost(address, 80);
        QVERIFY(socket.waitForConnected(3000));
        socket.write(clientRequest);
        QByteArray reply;
        QVERIFY(QTest::qWaitFor(
            [&] {
                reply += socket.readAll();
                return socket.state() == QAbstractSocket::UnconnectedState;
            },
            5000));
        reply += socket.readAll();
        const QList<Reply> parsed = parseReplies(reply);
        QCOMPARE(parsed.size(), 1);
        QCOMPARE(parsed.first().body.value("result").toObject().contains("pad"), padded);
        if (padded)
            QCOMPARE(reply.size(), replyBytes);
    }
}

// The option table itself is tst_device_sim_parts's; here, what a bad option does to the
// process: status 2, one line on stderr, nothing on stdout.
void DeviceSimTest::badOptions_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<QByteArray>("error");
    QTest::newRow("unknown option") << QStringList{"--bogus"} << QByteArray("Unknown option 'bogus'.");
    QTest::newRow("a value out of range")
        << QStringList{"--port", "65536"} << QByteArray("--port needs a number from 1 to 65535, not '65536'");
}

void DeviceSimTest::badOptions()
{
    QFETCH(QStringList, arguments);
    QFETCH(QByteArray, error);

    SimRun sim(arguments);
    QVERIFY(sim.waitForExit(5000));
    QCOMPARE(sim.exitCode(), 2);
    QCOMPARE(sim.log(), "device_sim: " + error + "\n");
    QCOMPARE(sim.output(), QByteArray());
}

void DeviceSimTest::helpListsEveryMode()
{
    SimRun sim({"-h"});
    QVERIFY(sim.waitForExit(5000));
    QCOMPARE(sim.exitCode(), 0);
    const QByteArray help = sim.output();
    for (const char *mode : {"ok", "silent", "no-brace", "truncated", "burst", "gap", "stream", "zero-byte", "refuse",
                             "reset", "garbage", "slow-accept"})
        QVERIFY2(QRegularExpression(QStringLiteral("\n +%1 +\\S").arg(QLatin1String(mode)))
                     .match(QString::fromLatin1(help))
                     .hasMatch(),
                 mode);
    for (const QByteArray &line : help.split('\n'))
        QVERIFY2(line.size() <= 80, line.constData());

    SimRun version({"--version"});
    QVERIFY(version.waitForExit(5000));
    QCOMPARE(version.exitCode(), 0);
    QCOMPARE(version.output(), QByteArray("device_sim " PROJECT_VERSION "\n"));
}

void DeviceSimTest::silentModeReadsButNeverAnswers()
{
    const QString address = nextAddress();
    SimRun sim({"--listen", address, "--port", "80", "--mode", "silent"});
    QVERIFY(sim.waitForListening());

    QTcpSocket socket;
    socket.connectToHost(address, 80);
    QVERIFY(socket.waitForConnected(3000));
    socket.write(clientRequest);
    QVERIFY(sim.waitForLog("POST /api.php body 56 bytes"));
    QVERIFY(!socket.waitForReadyRead(1000));
    QCOMPARE(socket.state(), QAbstractSocket::ConnectedState);
}

void DeviceSimTest::logsEveryRequest_data()
{
    QTest::addColumn<bool>("dump");
    QTest::newRow("one line per request") << false;
    QTest::newRow("--dump adds the raw request, escaped") << true;
}

void DeviceSimTest::logsEveryRequest()
{
    QFETCH(bool, dump);

    const QString address = nextAddress();
    QStringList arguments{"--listen", address, "--port", "80", "--close"};
    if (dump)
        arguments << "--dump";
    SimRun sim(arguments);
    QVERIFY(sim.waitForListening());
    ClientRun client({"-i", address, "-p", "50"});
    QVERIFY(client.waitForCycles(2, 30000));
    QVERIFY(sim.terminate(5000));

    const QList<QByteArray> lines = sim.log().split('\n');
    const QRegularExpression request(QStringLiteral(
        "^\\d{4}-\\d\\d-\\d\\d \\d\\d:\\d\\d:\\d\\d\\.\\d{3} 127\\.0\\.0\\.1:\\d+ POST /api\\.php body 56 bytes: ok$"));
    // --dump escapes each CR LF of the client's request as the four characters \r\n.
    const QByteArray dumped = "  " + expectedRequest(address.toLatin1() + ":80").replace("\r\n", "\\r\\n");
    QVERIFY(lines.size() > 3);
    for (int i = 1; i < lines.size() - 2; i += dump ? 2 : 1) {
        QVERIFY2(request.match(QString::fromLatin1(lines[i])).hasMatch(), lines[i].constData());
        if (dump)
            QCOMPARE(lines[i + 1], dumped);
    }
}

// An IPv6 peer is logged as [ADDRESS]:PORT, so that its port stands apart from its address.
void DeviceSimTest::logsAnIPv6PeerInBrackets()
{
    SimRun sim({"--listen", "::1", "--port", "80", "--close"});
    QVERIFY(sim.waitForListening());
    QTcpSocket socket;
    socket.connectToHost(QHostAddress::LocalHostIPv6, 80);
    QVERIFY(socket.waitForConnected(3000));
    socket.write(clientRequest);
    const QByteArray line = " [::1]:" + QByteArray::number(socket.localPort()) + " POST /api.php body 56 bytes: ok\n";
    QVERIFY2(sim.waitForLog(line), sim.log().constData());
}

void DeviceSimTest::signalsEndItCleanly_data()
{
    QTest::addColumn<int>("signal");
    QTest::addColumn<QByteArray>("logged");
    QTest::newRow("SIGTERM") << int(SIGTERM) << QByteArray("device_sim: stopped (SIGTERM)\n");
    QTest::newRow("SIGINT, Ctrl-C") << int(SIGINT) << QByteArray("device_sim: stopped (SIGINT)\n");
    QTest::newRow("SIGHUP, a closed terminal") << int(SIGHUP) << QByteArray("device_sim: stopped (SIGHUP)\n");
    QTest::newRow("SIGUSR1") << int(SIGUSR1) << QByteArray("device_sim: stopped (SIGUSR1)\n");
    QTest::newRow("SIGUSR2") << int(SIGUSR2) << QByteArray("device_sim: stopped (SIGUSR2)\n");
    QTest::newRow("SIGALRM") << int(SIGALRM) << QByteArray("device_sim: stopped (SIGALRM)\n");
}

void DeviceSimTest::signalsEndItCleanly()
{
    QFETCH(int, signal);
    QFETCH(QByteArray, logged);

    SimRun sim({"--listen", nextAddress(), "--port", "80"});
    QVERIFY(sim.waitForListening());
    QCOMPARE(::kill(static_cast<pid_t>(sim.pid()), signal), 0);
    QVERIFY(sim.waitForExit(5000));
    QCOMPARE(sim.exitStatus(), QProcess::NormalExit);
    QCOMPARE(sim.exitCode(), 0);
    QVERIFY2(sim.log().endsWith(logged), sim.log().constData());
}

// The log's reader goes away: the writes that fail are dropped, service goes on, and
// SIGTERM still ends it with status 0.
void DeviceSimTest::closedLogKeepsServing()
{
    const QString address = nextAddress();
    SimRun sim({"--listen", address, "--port", "80", "--close"},
               {"/bin/bash", "-c", "exec \"$0\" \"$@\" 2> >(head -n 1 >/dev/null)"});
    const QByteArray request = QByteArray(clientRequest).replace("Keep-Alive", "close");
    QVERIFY(QTest::qWaitFor([&] { return oneExchange(address, nullptr, request) >= 0; }, 5000));
    for (int i = 0; i < 20; ++i)
        QVERIFY2(oneExchange(address, nullptr, request) >= 0, qPrintable(QStringLiteral("exchange %1").arg(i)));
    QVERIFY(sim.terminate(2000));
    QCOMPARE(sim.exitStatus(), QProcess::NormalExit);
    QCOMPARE(sim.exitCode(), 0);
}

void DeviceSimTest::modesAsTheClientSeesThem_data()
{
    QFile reply(files_.filePath("reply"));
    QVERIFY(reply.open(QIODevice::WriteOnly) && reply.write(storedReply) == storedReply.size());
    reply.close();

    QTest::addColumn<QStringList>("simArguments");
    QTest::addColumn<QStringList>("clientArguments");
    QTest::addColumn<QString>("firstCycle");

    const QString time = QStringLiteral("\"realTime\":\"\\d\\d:\\d\\d:\\d\\d\\.\\d{3}\"");
    const QString error = QStringLiteral("\r\033\\[0;37;41m\nError\033\\[0m\n\033\\[0m");
    const QString fine = QStringLiteral("\r\033\\[0m");
    QTest::newRow("ok") << QStringList{} << QStringList{"-t", "300"}
                        << "nLoop:\t1\t" + time + "\t\tlen:\t\\d+\tn\\{:2\tn\\}:2" + fine;
    QTest::newRow("ok --close") << QStringList{"--close"} << QStringList{"-t", "5000"}
                                << "nLoop:\t1\t" + time + "\t\tlen:\t\\d+\tn\\{:2\tn\\}:2" + fine;
    QTest::newRow("no-brace") << QStringList{"--mode", "no-brace"} << QStringList{"-t", "300"}
                              << "nLoop:\t1\tlen:\t\\d+\tn\\{:0\tn\\}:0" + error;
    QTest::newRow("truncated") << QStringList{"--mode", "truncated"} << QStringList{"-t", "5000"}
                               << "nLoop:\t1\t" + time + "\t\tlen:\t\\d+\tn\\{:2\tn\\}:0" + error;
    QTest::newRow("burst: four passes") << QStringList{"--mode", "burst", "--gap-ms", "150"}
                                        << QStringList{"-t", "1000"}
                                        << "nLoop:\t4\t" + time + "\t\tlen:\t\\d+\tn\\{:2\tn\\}:2" + fine;
    QTest::newRow("gap longer than -t: first half only")
        << QStringList{"--mode", "gap", "--gap-ms", "800"} << QStringList{"-t", "200"}
        << "nLoop:\t1\tlen:\t\\d+\tn\\{:1\tn\\}:0" + error;
    QTest::newRow("stream: ends at the cap") << QStringList{"--mode", "stream"} << QStringList{"-t", "20000"}
                                             << "nLoop:\t\\d+\tlen:\t16777216\tn\\{:\\d+\tn\\}:\\d+" + error;
    QTest::newRow("zero-byte: key unseen, braces counted")
        << QStringList{"--mode", "zero-byte"} << QStringList{"-t", "300"}
        << "nLoop:\t1\tlen:\t\\d+\tn\\{:2\tn\\}:2" + fine;
    QTest::newRow("refuse") << QStringList{"--mode", "refuse"} << QStringList{"-t", "300"}
                            << "nLoop:\t0\tlen:\t0\tn\\{:0\tn\\}:0" + error;
    QTest::newRow("reset: half the reply, then a reset") << QStringList{"--mode", "reset"} << QStringList{"-t", "5000"}
                                                         << "nLoop:\t\\d\tlen:\t\\d+\tn\\{:[01]\tn\\}:0" + error;
    QTest::newRow("garbage: no braces, then a close") << QStringList{"--mode", "garbage"} << QStringList{"-t", "5000"}
                                                      << "nLoop:\t\\d+\tlen:\t\\d+\tn\\{:0\tn\\}:0" + error;
    QTest::newRow("--reply-file: served byte for byte")
        << QStringList{"--reply-file", files_.filePath("reply"), "--close"} << QStringList{"-t", "5000"}
        << QRegularExpression::escape(
               QString::fromLatin1(expectedCycle(1, "\"realTime\":\"from a file\"", storedReply)));
    QTest::newRow("--fault-rate 1 with one fault: every reply gets it")
        << QStringList{"--fault-rate", "1", "--faults", "truncated"} << QStringList{"-t", "5000"}
        << "nLoop:\t1\t" + time + "\t\tlen:\t\\d+\tn\\{:2\tn\\}:0" + error;
    QTest::newRow("--fault-rate 0: every reply is good")
        << QStringList{"--fault-rate", "0", "--close"} << QStringList{"-t", "5000"}
        << "nLoop:\t1\t" + time + "\t\tlen:\t\\d+\tn\\{:2\tn\\}:2" + fine;
    QTest::newRow("slow-accept: no connection after -t x 10")
        << QStringList{"--mode", "slow-accept"} << QStringList{"-t", "50"}
        << QStringLiteral("\033\\[0;37;41mNo connection\033\\[0m\n");
}

void DeviceSimTest::modesAsTheClientSeesThem()
{
    QFETCH(QStringList, simArguments);
    QFETCH(QStringList, clientArguments);
    QFETCH(QString, firstCycle);

    const QString address = nextAddress();
    SimRun sim(QStringList{"--listen", address, "--port", "80"} + simArguments);
    QVERIFY(sim.waitForListening());
    ClientRun client(QStringList{"-i", address, "-p", "100"} + clientArguments);
    // Generous: stream mode's two cycles are 32 MiB, which a loaded machine takes a while to move.
    QVERIFY(client.waitForCycles(2, 60000));
    for (const QByteArray &cycle : client.cycles().mid(0, 2))
        QVERIFY2(QRegularExpression("^" + firstCycle + "$").match(QString::fromLatin1(cycle)).hasMatch(),
                 qPrintable(QString::fromLatin1(cycle).toHtmlEscaped()));
}

void DeviceSimTest::connectionEnd_data()
{
    QTest::addColumn<QStringList>("options");
    QTest::addColumn<QByteArray>("sent");
    QTest::addColumn<QByteArray>("status");
    QTest::addColumn<int>("lastRecv");  // 0: an orderly close (FIN); ECONNRESET: a reset (RST)
    const QByteArray ok = "HTTP/1.1 200 OK\r\n";
    QTest::newRow("reset: half the reply, then RST")
        << QStringList{"--mode", "reset"} << clientRequest << ok << ECONNRESET;
    QTest::newRow("truncated: a cut reply, then FIN") << QStringList{"--mode", "truncated"} << clientRequest << ok << 0;
    // The peer is still sending when it is refused: what it sends is read and dropped while
    // it reads the refusal, so the close does not reset the connection under it.
    QTest::newRow("413 with the body still coming: the status, then FIN")
        << QStringList{"--max-body-bytes", "100"}
        << "POST /api.php HTTP/1.1\r\nHost: x\r\nContent-Length: 1000000\r\n\r\n" + QByteArray(300000, 'b')
        << QByteArray("HTTP/1.1 413 Content Too Large\r\n") << 0;
    QTest::newRow("431 with the rest of the header unread: the status, then FIN")
        << QStringList() << "POST /api.php HTTP/1.1\r\nX-Long: " + QByteArray(300000, 'a')
        << QByteArray("HTTP/1.1 431 Request Header Fields Too Large\r\n") << 0;
}

void DeviceSimTest::connectionEnd()
{
    QFETCH(QStringList, options);
    QFETCH(QByteArray, sent);
    QFETCH(QByteArray, status);
    QFETCH(int, lastRecv);

    const QString address = nextAddress();
    SimRun sim(QStringList{"--listen", address, "--port", "80"} + options);
    QVERIFY(sim.waitForListening());
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in where{};
    where.sin_family = AF_INET;
    where.sin_port = htons(80);
    where.sin_addr.s_addr = htonl(QHostAddress(address).toIPv4Address());
    QCOMPARE(::connect(fd, reinterpret_cast<sockaddr *>(&where), sizeof where), 0);
    const timeval wait{5, 0};
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &wait, sizeof wait);
    // A send cut short by a reset shows in what is received.
    for (qsizetype at = 0; at < sent.size();) {
        const ssize_t put = ::send(fd, sent.constData() + at, static_cast<std::size_t>(sent.size() - at), MSG_NOSIGNAL);
        if (put <= 0)
            break;
        at += put;
    }
    QByteArray received;
    char buffer[4096];
    ssize_t got;
    while ((got = ::recv(fd, buffer, sizeof buffer, 0)) > 0)
        received.append(buffer, static_cast<int>(got));
    const int error = got < 0 ? errno : 0;
    ::close(fd);
    QVERIFY2(received.startsWith(status), received.constData());
    QCOMPARE(error, lastRecv);
}

void DeviceSimTest::faultSequenceFollowsTheSeed()
{
    const auto sequence = [](const QString &seed) {
        const QString address = nextAddress();
        SimRun sim({"--listen", address, "--port", "80", "--close", "--fault-rate", "0.5", "--faults",
                    "truncated,no-brace,garbage,refuse,reset", "--seed", seed});
        if (!sim.waitForListening())
            return QStringList{"did not start"};
        for (int i = 0; i < 16; ++i)
            oneExchange(address);
        sim.terminate(5000);
        return repliesLogged(sim.log());
    };
    const QStringList first = sequence("7");
    QCOMPARE(first.size(), 16);
    QVERIFY2(first.contains("ok") && first.count("ok") < 16, qPrintable(first.join(' ')));
    QCOMPARE(sequence("7"), first);
    QVERIFY(sequence("8") != first);
}

void DeviceSimTest::shapingSlowsTheReply_data()
{
    QTest::addColumn<QStringList>("shaping");
    QTest::addColumn<int>("minMs");
    QTest::addColumn<int>("maxMs");
    QTest::addColumn<bool>("halfClose");  // the peer's FIN right after its request, as nc -N sends it
    QTest::newRow("--delay-ms 400") << QStringList{"--delay-ms", "400"} << 400 << 3400 << false;
    QTest::newRow("--delay-ms 100 --jitter-ms 300")
        << QStringList{"--delay-ms", "100", "--jitter-ms", "300"} << 100 << 3100 << false;
    QTest::newRow("--rate 2000: 1000 bytes take half a second")
        << QStringList{"--rate", "2000", "--reply-bytes", "1000"} << 400 << 3400 << false;
    // The first 20 ms' worth at once, the rest over 4.98 s: never faster. How close it keeps
    // to the clock on a quiet machine (late ticks caught up) is bench/trickle's to time.
    QTest::newRow("--rate 20000: 100000 bytes are no faster than the rate")
        << QStringList{"--rate", "20000", "--reply-bytes", "100000"} << 4930 << 30000 << false;
    QTest::newRow("a half-close gets the whole reply") << QStringList{} << 0 << 3000 << true;
    QTest::newRow("a half-close waits out --delay-ms 300") << QStringList{"--delay-ms", "300"} << 300 << 3300 << true;
    QTest::newRow("a half-close gets a burst whole")
        << QStringList{"--mode", "burst", "--gap-ms", "100"} << 300 << 3300 << true;
    QTest::newRow("a half-close gets a reply at --rate 2000") << QStringList{"--rate", "2000"} << 0 << 3000 << true;
}

void DeviceSimTest::shapingSlowsTheReply()
{
    QFETCH(QStringList, shaping);
    QFETCH(int, minMs);
    QFETCH(int, maxMs);
    QFETCH(bool, halfClose);

    const QString address = nextAddress();
    SimRun sim(QStringList{"--listen", address, "--port", "80", "--close"} + shaping);
    QVERIFY(sim.waitForListening());
    QByteArray reply;
    const qint64 tookMs = oneExchange(address, &reply, clientRequest, halfClose);
    QVERIFY2(tookMs >= minMs && tookMs <= maxMs, qPrintable(QString::number(tookMs)));
    QCOMPARE(parseReplies(reply).size(), 1);
}

void DeviceSimTest::downAndUpAsARebootingDevice()
{
    const QString address = nextAddress();
    SimRun sim({"--listen", address, "--port", "80", "--close", "--down-ms", "600", "--up-ms", "600"});
    QVERIFY(sim.waitForListening());
    ClientRun client({"-i", address, "-p", "50", "-t", "100"});
    // Good, then refused while down, then good again.
    QVERIFY(QTest::qWaitFor(
        [&] {
            const QList<QByteArray> cycles = client.cycles();
            const int refused = cycles.indexOf(noConnectionCycle);
            return refused > 0 && cycles.mid(refused).contains(noConnectionCycle) &&
                   std::any_of(cycles.begin() + refused, cycles.end(),
                               [](const QByteArray &c) { return c.startsWith("nLoop:\t1\t"); });
        },
        10000));
    const QString log = QString::fromLatin1(sim.log());
    const QString stamp = QStringLiteral("\\d{4}-\\d\\d-\\d\\d \\d\\d:\\d\\d:\\d\\d\\.\\d{3} ");
    QVERIFY2(QRegularExpression("\n" + stamp + "device_sim: down for 600 ms, \\d+ connections? dropped\n")
                 .match(log)
                 .hasMatch(),
             qPrintable(log));
    QVERIFY2(QRegularExpression("\n" + stamp + "device_sim: up again\n").match(log).hasMatch(), qPrintable(log));
}

void DeviceSimTest::listenFailureSaysWhy_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<bool>("portTaken");
    QTest::addColumn<QString>("why");
    QTest::newRow("in use") << QStringList{} << true << "%1 port 80 is in use; is another device_sim running there?";
    QTest::newRow("in use, slow-accept alike")
        << QStringList{"--mode", "slow-accept"} << true << "%1 port 80 is in use; is another device_sim running there?";
    QTest::newRow("an address of no interface here")
        << QStringList{} << false << "no interface of this machine has the address %1";
}

void DeviceSimTest::listenFailureSaysWhy()
{
    QFETCH(QStringList, arguments);
    QFETCH(bool, portTaken);
    QFETCH(QString, why);

    // 10.x is never a target: binding to it sends nothing, and no interface here has it.
    const QString address = portTaken ? nextAddress() : QStringLiteral("10.255.255.254");
    std::unique_ptr<SimRun> first;
    if (portTaken) {
        first = std::make_unique<SimRun>(QStringList{"--listen", address, "--port", "80"});
        QVERIFY(first->waitForListening());
    }
    SimRun second(QStringList{"--listen", address, "--port", "80"} + arguments);
    QVERIFY(second.waitForExit(5000));
    QCOMPARE(second.exitCode(), 1);
    QCOMPARE(QString::fromUtf8(second.log()),
             QStringLiteral("device_sim: cannot listen on %1 port 80: ").arg(address) + why.arg(address) + "\n");
}

void DeviceSimTest::refusedRequestsThenTheNextClient_data()
{
    QTest::addColumn<QByteArray>("request");
    QTest::addColumn<QByteArray>("status");
    QTest::addColumn<QByteArray>("logged");  // after the peer; a request that is answered, with its --dump line
    const QByteArray head = "POST /api.php HTTP/1.1\r\nHost: 127.0.0.1:80\r\n";
    const QByteArray end = "\r\nHost: x\r\nConnection: close\r\n\r\n";
    const QByteArray endDumped = "\\r\\nHost: x\\r\\nConnection: close\\r\\n\\r\\n";
    QTest::newRow("GET: 405") << "GET /api.php HTTP/1.1" + end << QByteArray("405 Method Not Allowed")
                              << "GET /api.php body 0 bytes: 405\n  GET /api.php HTTP/1.1" + endDumped;
    QTest::newRow("another path: 404") << "POST /index.html HTTP/1.1" + end << QByteArray("404 Not Found")
                                       << "POST /index.html body 0 bytes: 404\n  POST /index.html HTTP/1.1" + endDumped;
    QTest::newRow("control bytes in the path and headers reach the log escaped")
        << "POST /\x1b]0;x\x07\\\xff HTTP/1.1\r\nX-Tab:\t1" + end << QByteArray("404 Not Found")
        << "POST /\\x1b]0;x\\x07\\\\\\xff body 0 bytes: 404\n"
           "  POST /\\x1b]0;x\\x07\\\\\\xff HTTP/1.1\\r\\nX-Tab:\\t1" +
               endDumped;
    QTest::newRow("a length that overflowed int: 413")
        << head + "Content-Length: 2147483600\r\n\r\n"
        << QByteArray("413 Content Too Large")
        << QByteArray("413 Content Too Large: Content-Length 2147483600 over the limit of 1048576, closing");
    QTest::newRow("two different lengths: 400")
        << head + "Content-Length: 56\r\nContent-Length: 57\r\n\r\n"
        << QByteArray("400 Bad Request") << QByteArray("400 Bad Request: two different Content-Length values, closing");
    QTest::newRow("a length not all digits: 400")
        << head + "Content-Length: 56abc\r\n\r\n"
        << QByteArray("400 Bad Request") << QByteArray("400 Bad Request: Content-Length not a number, closing");
    QTest::newRow("a header over 64 KiB: 431")
        << head + "X-Long: " + QByteArray(70000, 'a') << QByteArray("431 Request Header Fields Too Large")
        << QByteArray("431 Request Header Fields Too Large: header over 65536 bytes, closing");
}

void DeviceSimTest::refusedRequestsThenTheNextClient()
{
    QFETCH(QByteArray, request);
    QFETCH(QByteArray, status);
    QFETCH(QByteArray, logged);

    const QString address = nextAddress();
    SimRun sim({"--listen", address, "--port", "80", "--dump"});
    QVERIFY(sim.waitForListening());
    QByteArray reply;
    QVERIFY2(oneExchange(address, &reply, request) >= 0, "refused, then closed");
    QVERIFY2(reply.startsWith("HTTP/1.1 " + status + "\r\n"), reply.constData());
    QVERIFY2(reply.contains("\r\nConnection: close\r\n"), reply.constData());
    QVERIFY2(sim.waitForLog(logged + "\n"), sim.log().constData());

    QVERIFY(oneExchange(address, &reply, QByteArray(clientRequest).replace("Keep-Alive", "close")) >= 0);
    QCOMPARE(parseReplies(reply).size(), 1);
    QVERIFY(sim.terminate(1000));
}

void DeviceSimTest::peerThatNeverReadsHoldsLittle_data()
{
    QTest::addColumn<int>("replyBytes");
    QTest::addColumn<int>("peers");
    QTest::addColumn<int>("requestBytes");  // each peer's, pipelined
    QTest::addColumn<qint64>("unsent");     // the output bound: four replies' worth, 256 KiB to 4 MiB
    QTest::addColumn<qint64>("moreKiB");    // allowed beyond the usual peak: one reply's shared padding
    // Answered in full, the replies would be 14 GB; the rest of the requests stay with the
    // peer's kernel.
    QTest::newRow("8 MB of requests for 100 kB replies")
        << 100000 << 1 << 8 * 1024 * 1024 << qint64{400000} << qint64{0};
    // Each reply built whole, five for each peer, would pin 320 MiB.
    QTest::newRow("4 peers, 5 requests each, for 16 MiB replies")
        << 16 * 1024 * 1024 << 4 << 5 * int(clientRequest.size()) << qint64{4 * 1024 * 1024} << qint64{32 * 1024};
}

void DeviceSimTest::peerThatNeverReadsHoldsLittle()
{
    QFETCH(int, replyBytes);
    QFETCH(int, peers);
    QFETCH(int, requestBytes);
    QFETCH(qint64, unsent);
    QFETCH(qint64, moreKiB);

    const QString address = nextAddress();
    SimRun sim({"--listen", address, "--port", "80", "--reply-bytes", QString::number(replyBytes), "--send-timeout-ms",
                "5000"});
    QVERIFY(sim.waitForListening());
    std::vector<std::unique_ptr<QTcpSocket>> floods;
    for (int i = 0; i < peers; ++i) {
        floods.push_back(std::make_unique<QTcpSocket>());
        floods.back()->setReadBufferSize(1);  // reads nothing of what the device sends
        floods.back()->connectToHost(address, 80);
        QVERIFY(floods.back()->waitForConnected(3000));
        floods.back()->write(clientRequest.repeated(requestBytes / clientRequest.size()));
    }
    QTest::qWait(3000);  // the device reads what it reads; the rest stays with the peer's kernel

    const QByteArray throttled = QByteArray::number(unsent) + " bytes unsent: not reading from it until it reads\n";
    QVERIFY2(sim.log().count(throttled) == peers, sim.log().right(500).constData());
    const qint64 peakKiB = statusKiB(sim.pid(), "VmHWM");
    qInfo("device_sim's peak RSS with %d peers that never read: %lld KiB", peers, peakKiB);
    QVERIFY2(peakKiB > 0 && peakKiB < peakRssBoundKiB + moreKiB, qPrintable(QString::number(peakKiB)));
    if (peers == 1)
        QVERIFY2(floods.front()->bytesToWrite() > 0, "the device stopped reading");
    QByteArray reply;
    QVERIFY2(oneExchange(address, &reply, QByteArray(clientRequest).replace("Keep-Alive", "close")) >= 0,
             "another client is served meanwhile");
    QCOMPARE(parseReplies(reply).size(), 1);
    // Their slots are not held for good: --send-timeout-ms after each took its last byte.
    const QByteArray timedOut =
        "took none of " + QByteArray::number(unsent) + " unsent bytes for 5000 ms (--send-timeout-ms), closing\n";
    QVERIFY2(QTest::qWaitFor([&] { return sim.log().count(timedOut) == peers; }, 10000),
             sim.log().right(500).constData());
    QVERIFY2(sim.terminate(1000), "SIGTERM ends it within a second");
    QCOMPARE(sim.exitCode(), 0);
}

void DeviceSimTest::connectionLimitStopsAndResumes()
{
    // A hard limit of 64 descriptors leaves room for 48 connections.
    const QString address = nextAddress();
    const QStringList lowLimit{"prlimit", "--nofile=64:64"};
    SimRun tooMany({"--listen", address, "--port", "80", "--max-connections", "49"}, lowLimit);
    QVERIFY(tooMany.waitForExit(5000));
    QCOMPARE(tooMany.exitCode(), 2);
    QCOMPARE(tooMany.log(),
             QByteArray("device_sim: --max-connections 49 is more than the descriptor limit of 64 allows (48)\n"));

    SimRun sim({"--listen", address, "--port", "80"}, lowLimit);
    QVERIFY(sim.waitForListening());
    QVERIFY2(sim.log().contains("at most 48 connections"), sim.log().constData());
    std::vector<std::unique_ptr<QTcpSocket>> idle;
    for (int i = 0; i < 60; ++i) {
        idle.push_back(std::make_unique<QTcpSocket>());
        idle.back()->connectToHost(address, 80);
        QVERIFY(idle.back()->waitForConnected(3000));  // the kernel's queue takes what the device does not
    }
    QVERIFY(sim.waitForLog(
        "48 connections open, the most allowed (--max-connections): accepting no more until some close\n"));
    const qint64 cpuBefore = cpuMs(sim.pid());
    QTest::qWait(2000);
    const qint64 cpuAtLimit = cpuMs(sim.pid()) - cpuBefore;
    QVERIFY2(cpuAtLimit < 200, qPrintable(QStringLiteral("%1 ms of CPU in 2 s at the limit").arg(cpuAtLimit)));

    QTcpSocket waiting;
    waiting.connectToHost(address, 80);
    QVERIFY(waiting.waitForConnected(3000));
    waiting.write(QByteArray(clientRequest).replace("Keep-Alive", "close"));
    QVERIFY2(!waiting.waitForReadyRead(500), "not served while the device is full");
    idle.resize(20);  // 40 close: the waiting ones are taken, this one with them
    QVERIFY2(waiting.waitForReadyRead(5000), "served once connections closed");
    QVERIFY(waiting.readAll().startsWith("HTTP/1.1 200 OK\r\n"));
    QVERIFY(sim.waitForLog("accepting connections again, "));
}

void DeviceSimTest::timeOuts_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<QByteArray>("sent");
    QTest::addColumn<int>("closedAfterMinMs");  // -1: still open after 2 s
    QTest::addColumn<QByteArray>("logged");
    QTest::addColumn<int>("again");  // times SENT goes again, 500 ms after each answer
    QTest::newRow("half a request: closed after --request-timeout-ms")
        << QStringList{"--request-timeout-ms", "800"} << clientRequest.left(30) << 800
        << QByteArray("request not whole 800 ms after it began (--request-timeout-ms), closing\n") << 0;
    QTest::newRow("keep-alive and nothing more: closed after --idle-timeout-ms")
        << QStringList{"--idle-timeout-ms", "800"} << clientRequest << 800
        << QByteArray("idle for 800 ms (--idle-timeout-ms), closing\n") << 0;
    QTest::newRow("silent holds its connection: never idle")
        << QStringList{"--idle-timeout-ms", "300", "--mode", "silent"} << clientRequest << -1 << QByteArray() << 0;
    QTest::newRow("gap holds its connection through the gap")
        << QStringList{"--idle-timeout-ms", "300", "--request-timeout-ms", "300", "--mode", "gap", "--gap-ms", "2500"}
        << clientRequest << -1 << QByteArray() << 0;
    // The idle time counts from the last request and reply, not from the accept.
    QTest::newRow("a request every 500 ms for 3.5 s: never idle for 2500 ms")
        << QStringList{"--idle-timeout-ms", "2500"} << clientRequest << -1 << QByteArray() << 7;
}

void DeviceSimTest::timeOuts()
{
    QFETCH(QStringList, arguments);
    QFETCH(QByteArray, sent);
    QFETCH(int, closedAfterMinMs);
    QFETCH(QByteArray, logged);
    QFETCH(int, again);

    const QString address = nextAddress();
    SimRun sim(QStringList{"--listen", address, "--port", "80"} + arguments);
    QVERIFY(sim.waitForListening());
    QTcpSocket socket;
    socket.connectToHost(address, 80);
    QVERIFY(socket.waitForConnected(3000));
    QElapsedTimer clock;
    clock.start();
    socket.write(sent);
    QByteArray received;
    for (int answered = 1; answered <= again; ++answered) {
        QVERIFY2(
            QTest::qWaitFor([&] { return (received += socket.readAll()).count("HTTP/1.1 200 OK\r\n") == answered; },
                            3000),
            qPrintable(QStringLiteral("request %1 unanswered; log:\n").arg(answered) + QString::fromLatin1(sim.log())));
        QTest::qWait(500);
        socket.write(sent);
    }
    const bool closed = QTest::qWaitFor(
        [&] {
            socket.readAll();
            return socket.state() == QAbstractSocket::UnconnectedState;
        },
        closedAfterMinMs < 0 ? 2000 : closedAfterMinMs + 3000);
    if (closedAfterMinMs < 0) {
        QVERIFY2(!closed, "held open");
        return;
    }
    QVERIFY(closed);
    QVERIFY2(clock.elapsed() >= closedAfterMinMs - 50, qPrintable(QString::number(clock.elapsed())));
    QVERIFY(sim.waitForLog(logged));
}

void DeviceSimTest::rateBelowFiftyBytesASecond_data()
{
    QTest::addColumn<int>("rate");
    QTest::newRow("--rate 10") << 10;
    QTest::newRow("--rate 1") << 1;
}

void DeviceSimTest::rateBelowFiftyBytesASecond()
{
    QFETCH(int, rate);

    const QString address = nextAddress();
    SimRun sim({"--listen", address, "--port", "80", "--rate", QString::number(rate)});
    QVERIFY(sim.waitForListening());
    QTcpSocket socket;
    socket.connectToHost(address, 80);
    QVERIFY(socket.waitForConnected(3000));
    socket.write(clientRequest);
    QElapsedTimer clock;
    clock.start();
    qint64 received = 0;
    QVERIFY(QTest::qWaitFor(
        [&] {
            received += socket.readAll().size();
            return clock.elapsed() >= 3000;
        },
        4000));
    const double expected = rate * clock.elapsed() / 1000.0;
    QVERIFY2(received >= expected * 0.6 - 1 && received <= expected * 1.4 + 1,
             qPrintable(QStringLiteral("%1 bytes in %2 ms").arg(received).arg(clock.elapsed())));
}

// curl's "Expect: 100-continue": the go-ahead comes before the body, then the reply.
void DeviceSimTest::continueBeforeTheBody()
{
    const QString address = nextAddress();
    SimRun sim({"--listen", address, "--port", "80", "--close"});
    QVERIFY(sim.waitForListening());
    QTcpSocket socket;
    socket.connectToHost(address, 80);
    QVERIFY(socket.waitForConnected(3000));
    const int bodyAt = clientRequest.indexOf("\r\n\r\n") + 4;
    socket.write(clientRequest.left(bodyAt - 2) + "Expect: 100-continue\r\n\r\n");
    QVERIFY(socket.waitForReadyRead(3000));
    QCOMPARE(socket.readAll(), QByteArray("HTTP/1.1 100 Continue\r\n\r\n"));
    socket.write(clientRequest.mid(bodyAt));
    QVERIFY(socket.waitForDisconnected(3000));
    QCOMPARE(parseReplies(socket.readAll()).size(), 1);
}

// The request's line names the reply it was to get; a peer gone before it was sent whole
// gets a line that says so.
void DeviceSimTest::aReplyCutShortIsLogged()
{
    const QString address = nextAddress();
    SimRun sim({"--listen", address, "--port", "80", "--delay-ms", "500"});
    QVERIFY(sim.waitForListening());
    QTcpSocket socket;
    socket.connectToHost(address, 80);
    QVERIFY(socket.waitForConnected(3000));
    socket.write(clientRequest);
    QVERIFY(sim.waitForLog("body 56 bytes: ok\n"));
    const linger abortive{1, 0};
    setsockopt(int(socket.socketDescriptor()), SOL_SOCKET, SO_LINGER, &abortive, sizeof abortive);
    socket.abort();
    QVERIFY2(sim.waitForLog(" closed with a reply not sent whole: the peer ", 3000), sim.log().constData());
}

// 10 000 requests in one write: all answered in turn, with a stack of 256 KiB.
void DeviceSimTest::pipelinedThousandsUnderASmallStack()
{
    const QString address = nextAddress();
    SimRun sim({"--listen", address, "--port", "80"}, {"prlimit", "--stack=262144"});
    QVERIFY(sim.waitForListening());
    QTcpSocket socket;
    socket.connectToHost(address, 80);
    QVERIFY(socket.waitForConnected(3000));
    socket.write(clientRequest.repeated(10000));
    QByteArray received;
    QVERIFY(
        QTest::qWaitFor([&] { return (received += socket.readAll()).count("HTTP/1.1 200 OK\r\n") == 10000; }, 20000));
    QVERIFY(QTest::qWaitFor([&] { return repliesLogged(sim.log()).size() == 10000; }, 10000));
    QVERIFY2(sim.terminate(2000), "still running, and ends on SIGTERM");
    QCOMPARE(sim.exitCode(), 0);
}

// At the connection limit, 1000 peers wait in the accept queue, each having sent its request
// and closed. Each slot freed is filled from the event loop, with a stack of 256 KiB.
void DeviceSimTest::acceptQueueUnderASmallStack()
{
    const QString address = nextAddress();
    SimRun sim({"--listen", address, "--port", "80", "--max-connections", "1"}, {"prlimit", "--stack=262144"});
    QVERIFY(sim.waitForListening());
    QTcpSocket holder;
    holder.connectToHost(address, 80);
    QVERIFY(holder.waitForConnected(3000));
    for (int i = 0; i < 1000; ++i) {
        QTcpSocket peer;
        peer.connectToHost(address, 80);
        QVERIFY(peer.waitForConnected(3000));
        peer.write(clientRequest);
        QVERIFY(peer.waitForBytesWritten(3000));
        peer.close();
    }
    QVERIFY(sim.waitForLog("1 connection open, the most allowed (--max-connections)"));
    holder.close();
    QVERIFY2(QTest::qWaitFor([&] { return repliesLogged(sim.log()).size() == 1000; }, 30000),
             sim.log().right(300).constData());
    QByteArray reply;
    QVERIFY2(oneExchange(address, &reply, QByteArray(clientRequest).replace("Keep-Alive", "close")) >= 0,
             sim.log().right(300).constData());
    QCOMPARE(parseReplies(reply).size(), 1);
    QVERIFY2(sim.terminate(2000), "still running, and ends on SIGTERM");
    QCOMPARE(sim.exitCode(), 0);
}

// A body of 1 GiB under --max-body-bytes 1073741824 is answered; the device keeps only its
// start.
void DeviceSimTest::largeBodyHoldsLittle()
{
    const QString address = nextAddress();
    // The body's time is its own: a loaded machine under a sanitizer takes longer than the
    // default --request-timeout-ms to send 1 GiB, and device_sim would rightly close.
    SimRun sim({"--listen", address, "--port", "80", "--close", "--max-body-bytes", "1073741824", "--dump",
                "--request-timeout-ms", "600000"});
    QVERIFY(sim.waitForListening());
    QTcpSocket socket;
    socket.connectToHost(address, 80);
    QVERIFY(socket.waitForConnected(3000));
    socket.write("POST /api.php HTTP/1.1\r\nHost: x\r\nContent-Length: 1073741824\r\n\r\n");
    const QByteArray first = "{\"id\":7}" + QByteArray(1024 * 1024 - 8, ' ');
    const QByteArray rest(1024 * 1024, ' ');
    for (int i = 0; i < 1024; ++i) {
        socket.write(i == 0 ? first : rest);
        QVERIFY(socket.waitForBytesWritten(60000));
    }
    QVERIFY(socket.waitForDisconnected(60000));
    const QList<Reply> replies = parseReplies(socket.readAll());
    QCOMPARE(replies.size(), 1);
    QCOMPARE(replies.first().body.value("id").toInt(), 7);
    QVERIFY(sim.waitForLog("body 1073741824 bytes: ok\n"));
    QVERIFY(sim.waitForLog(" ... (the first 65536 bytes of a 1073741824-byte body)\n"));
    const qint64 peakKiB = statusKiB(sim.pid(), "VmHWM");
    QVERIFY2(peakKiB > 0 && peakKiB < peakRssBoundKiB, qPrintable(QString::number(peakKiB)));
}

// The log goes to a pipe that nobody reads: clients are served all the same, SIGTERM ends
// it within a second, and the lines dropped meanwhile are counted once the log is read.
void DeviceSimTest::unreadLogHoldsNothingUp()
{
    QTemporaryDir work;
    QVERIFY(work.isValid());
    const QByteArray fifo = QFile::encodeName(work.filePath("log"));
    QCOMPARE(mkfifo(fifo.constData(), 0600), 0);
    const int reader = ::open(fifo.constData(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    QVERIFY(reader >= 0);
    const QString address = nextAddress();
    SimRun sim({"--listen", address, "--port", "80", "--close", "--dump"},
               {"/bin/bash", "-c", "exec \"$0\" \"$@\" 2>\"" + work.filePath("log") + "\""});
    // Its --dump line is 32 KiB long: 64 KiB of pipe and 1 MiB of queue are full long before
    // the last exchange.
    const QByteArray request =
        QByteArray(clientRequest).replace("Host:", "X-Pad: " + QByteArray(32 * 1024, 'p') + "\r\nHost:");
    QVERIFY(QTest::qWaitFor([&] { return oneExchange(address, nullptr, request) >= 0; }, 5000));
    for (int i = 0; i < 80; ++i)
        QVERIFY2(oneExchange(address, nullptr, request) >= 0, qPrintable(QStringLiteral("exchange %1").arg(i)));
    const QByteArray dropped = "log lines dropped: the log was not read\n";
    QByteArray log;
    char buffer[65536];
    QVERIFY(QTest::qWaitFor(
        [&] {
            for (ssize_t got; (got = ::read(reader, buffer, sizeof buffer)) > 0;)
                log.append(buffer, static_cast<int>(got));
            return log.contains(dropped);
        },
        10000));
    QVERIFY2(QRegularExpression(QStringLiteral(" device_sim: \\d+ log lines dropped: the log was not read\n"))
                 .match(QString::fromLatin1(log))
                 .hasMatch(),
             log.right(300).constData());
    QVERIFY(oneExchange(address, nullptr, request) >= 0);
    QVERIFY2(sim.terminate(1000), "SIGTERM ends it within a second");
    ::close(reader);
}

QTEST_GUILESS_MAIN(DeviceSimTest)
#include "tst_device_sim.moc"
