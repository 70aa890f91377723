// The real testVRN730 binary against fake devices on loopback addresses.
#include "poll_harness.h"

#include <QNetworkDatagram>
#include <QTemporaryDir>
#include <QUdpSocket>
#include <QtTest>

#include <csignal>

using namespace harness;

namespace {

constexpr int executableOctet = 1;

QString nextAddress()
{
    return nextLoopbackAddress(executableOctet);
}

const QByteArray usageText = "Usage:\n"
                             "testVRN730 [keys]:\n"
                             "   -h only print help\n"
                             "   -i ip\n"
                             "   -p period ms\n"
                             "   -t responseTimeOut\n"
                             "\n"
                             "def.:\n"
                             "testVRN730 -p 500 -t 1000 -i " CLIENT_DEFAULT_IP "\n";

const QByteArray goodBody = "{\"jsonrpc\":\"2.0\",\"result\":{\"realTime\":\"12:00:01.250\",\"state\":1},\"id\":70}";
const QByteArray goodReply = httpReply(goodBody);
const QByteArray goodCycle = "nLoop:\t1\t\"realTime\":\"12:00:01.250\"\t\tlen:\t" +
                             QByteArray::number(goodReply.size()) + "\tn{:2\tn}:2\r\033[0m";

// A name server that answers every query after a delay: a type A query with one address,
// any other with no answer.
class SlowNameServer {
public:
    SlowNameServer(const QString &address, const QString &answer, int delayMs) : answer_(answer), delayMs_(delayMs)
    {
        listening_ = socket_.bind(QHostAddress(address), 53);
        QObject::connect(&socket_, &QUdpSocket::readyRead, [this] { answerAll(); });
    }

    bool isListening() const { return listening_; }
    int queryCount() const { return queryCount_; }

private:
    void answerAll()
    {
        while (socket_.hasPendingDatagrams()) {
            const QNetworkDatagram query = socket_.receiveDatagram();
            ++queryCount_;
            QTimer::singleShot(delayMs_, &socket_, [this, reply = replyTo(query.data()), query] {
                socket_.writeDatagram(reply, query.senderAddress(), static_cast<quint16>(query.senderPort()));
            });
        }
    }

    // The header's 12 bytes, then the question: labels, each after its length, up to an
    // empty one, then type and class. The reply repeats the question.
    QByteArray replyTo(const QByteArray &query) const
    {
        int end = 12;
        while (end < query.size() && query[end] != 0)
            end += 1 + static_cast<uchar>(query[end]);
        end += 5;
        if (end > query.size())
            return QByteArray();
        const bool typeA = query.mid(end - 4, 2) == QByteArray("\0\1", 2);
        QByteArray reply = query.left(2) + QByteArray("\x81\x80\0\1\0", 5) + char(typeA ? 1 : 0) + QByteArray(4, '\0') +
                           query.mid(12, end - 12);
        if (typeA) {
            reply += QByteArray("\xc0\x0c\0\1\0\1\0\0\0\x3c\0\4", 12);  // the name above, A, IN, 60 s, 4 bytes
            const quint32 ip = answer_.toIPv4Address();
            for (int shift = 24; shift >= 0; shift -= 8)
                reply += static_cast<char>(ip >> shift);
        }
        return reply;
    }

    QHostAddress answer_;
    int delayMs_;
    bool listening_ = false;
    int queryCount_ = 0;
    QUdpSocket socket_;
};

}  // namespace

class PollClientTest : public QObject {
    Q_OBJECT

private slots:
    void usage_data();
    void usage();
    void defaultsPollTheDefaultAddressAfterOnePause();
    void replyCollection_data();
    void replyCollection();
    void exchangeEnd_data();
    void exchangeEnd();
    void previousSocketClosedOnlyAtNextExchange();
    void connectionFailureThenRecovery_data();
    void connectionFailureThenRecovery();
    void cannotConnect_data();
    void cannotConnect();
    void lookupCountsAgainstTheConnectWait_data();
    void lookupCountsAgainstTheConnectWait();
    void responseCheck_data();
    void responseCheck();
    void pausePeriod_data();
    void pausePeriod();
    void optionDiagnostics_data();
    void optionDiagnostics();
    void lastAddressWins();
    void replyCapEndsTheExchange();
    void environmentChangesNothing_data();
    void environmentChangesNothing();
    void closedOutputNeverReachesTheDevice();
    void outputFailureEndsTheClient_data();
    void outputFailureEndsTheClient();
};

void PollClientTest::usage_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::newRow("-h alone") << QStringList{"-h"};
    QTest::newRow("-p 100 -h: still only the usage") << QStringList{"-p", "100", "-h"};
    QTest::newRow("-i before -h leaves the default in the text") << QStringList{"-i", "127.0.1.2", "-h"};
    QTest::newRow("-h -x: options after -h are not looked at") << QStringList{"-h", "-x"};
}

void PollClientTest::usage()
{
    QFETCH(QStringList, arguments);
    const QString address = nextAddress();
    FakeDevice device(address, 80, replyAndClose(goodReply));
    QVERIFY2(device.isListening(), qPrintable(device.errorString()));

    ClientRun client(arguments << "-i" << address);
    QVERIFY(client.waitForExit(5000));
    QCOMPARE(client.exitStatus(), QProcess::NormalExit);
    QCOMPARE(client.exitCode(), 1);
    QCOMPARE(client.output(), usageText);
    QCOMPARE(client.errorOutput(), QByteArray());
    QCOMPARE(device.connectionCount(), 0);
}

void PollClientTest::defaultsPollTheDefaultAddressAfterOnePause()
{
    FakeDevice device(defaultDeviceIp, 80, replyAndClose(goodReply));
    QVERIFY2(device.isListening(), "the default device address must be on lo: run the suite through scripts/test");

    ClientRun client({});
    QVERIFY(client.waitForCycles(2, 8000));
    QCOMPARE(client.cycles().mid(0, 2), (QList<QByteArray>{goodCycle, goodCycle}));
    QCOMPARE(client.errorOutput(), QByteArray());

    const QVector<DeviceConnection> &connections = device.connections();
    QCOMPARE(connections[0].request, expectedRequest(defaultDeviceIp.toLatin1() + ":80"));
    QVERIFY2(connections[0].acceptedMs - client.startedMs() >= 500, "the first request comes after one pause");
    QVERIFY2(connections[1].acceptedMs - connections[0].requestMs >= 500, "every cycle begins with the pause");
}

void PollClientTest::replyCollection_data()
{
    QTest::addColumn<QString>("timeout");
    QTest::addColumn<QList<int>>("delays");
    QTest::addColumn<QList<QByteArray>>("bursts");
    QTest::addColumn<QByteArray>("expected");

    const QByteArray a = "HTTP/1.1 200 OK\r\n\r\n{\"result\":{";
    const QByteArray b = "\"realTime\":7,";
    const QByteArray c = "\"x\":1}}";
    QTest::newRow("one reply, then close")
        << "1000" << QList<int>{0} << QList<QByteArray>{a + b + c} << expectedCycle(1, "\"realTime\":7", a + b + c);
    QTest::newRow("three bursts within -t are collected whole")
        << "1500" << QList<int>{0, 150, 150} << QList<QByteArray>{a, b, c}
        << expectedCycle(3, "\"realTime\":7", a + b + c);
    QTest::newRow("a gap longer than -t ends the reply")
        << "150" << QList<int>{0, 1000} << QList<QByteArray>{a + b, c} << expectedCycle(1, "\"realTime\":7", a + b);
    QTest::newRow("empty reply: no pass, length 0, Error")
        << "1000" << QList<int>{} << QList<QByteArray>{}
        << QByteArray("nLoop:\t0\tlen:\t0\tn{:0\tn}:0\r" + errorMark + "\033[0m");
}

void PollClientTest::replyCollection()
{
    QFETCH(QString, timeout);
    QFETCH(QList<int>, delays);
    QFETCH(QList<QByteArray>, bursts);
    QFETCH(QByteArray, expected);

    DeviceScript script;
    for (int i = 0; i < bursts.size(); ++i)
        script.bursts.append({delays[i], bursts[i]});
    const QString address = nextAddress();
    FakeDevice device(address, 80, script);
    QVERIFY(device.isListening());

    ClientRun client({"-i", address, "-p", "200", "-t", timeout});
    QVERIFY(client.waitForCycles(2, 8000));
    QCOMPARE(client.cycles().first(), expected);
    QVERIFY2(device.connectionCount() >= 2, "each cycle connects afresh");
}

void PollClientTest::exchangeEnd_data()
{
    QTest::addColumn<bool>("closeAfter");
    QTest::addColumn<QString>("timeout");
    QTest::addColumn<int>("minMs");
    QTest::addColumn<int>("maxMs");
    QTest::newRow("device closes: ends at once, not after -t") << true << "4000" << 0 << 2000;
    QTest::newRow("device keeps the connection: ends after -t of silence") << false << "400" << 400 << 2400;
    QTest::newRow("-t keeps the low 32 bits: 4294967696 is 400") << false << "4294967696" << 400 << 2400;
}

void PollClientTest::exchangeEnd()
{
    QFETCH(bool, closeAfter);
    QFETCH(QString, timeout);
    QFETCH(int, minMs);
    QFETCH(int, maxMs);

    const QString address = nextAddress();
    FakeDevice device(address, 80, DeviceScript{{{0, goodReply}}, closeAfter ? End::Close : End::KeepOpen});
    QVERIFY(device.isListening());

    ClientRun client({"-i", address, "-p", "3000", "-t", timeout});
    QVERIFY(client.waitForCycles(1, 10000));
    QCOMPARE(client.cycles().first(), goodCycle);
    const qint64 exchangeMs = client.cycleDoneMs().first() - device.connections().first().lastBurstMs;
    QVERIFY2(exchangeMs >= minMs && exchangeMs <= maxMs, qPrintable(QString::number(exchangeMs)));
}

void PollClientTest::previousSocketClosedOnlyAtNextExchange()
{
    const QString address = nextAddress();
    FakeDevice device(address, 80, DeviceScript{{{0, goodReply}}, End::KeepOpen});
    QVERIFY(device.isListening());

    ClientRun client({"-i", address, "-p", "800", "-t", "200"});
    QVERIFY(QTest::qWaitFor([&] { return device.connectionCount() >= 2; }, 8000));
    QVERIFY(QTest::qWaitFor([&] { return device.connections()[0].closedMs >= 0; }, 2000));
    const DeviceConnection first = device.connections()[0];
    const DeviceConnection second = device.connections()[1];
    QVERIFY2(first.closedMs - first.lastBurstMs >= 200 + 800, "kept open through the silence and the pause");
    QVERIFY2(first.closedMs <= second.acceptedMs + 300, "closed when the next exchange begins");
}

void PollClientTest::connectionFailureThenRecovery_data()
{
    QTest::addColumn<bool>("neverAccepted");
    QTest::addColumn<int>("minFailureMs");
    QTest::newRow("refused: fails at once") << false << 0;
    QTest::newRow("never accepted: fails after -t x 10") << true << 500;
}

void PollClientTest::connectionFailureThenRecovery()
{
    QFETCH(bool, neverAccepted);
    QFETCH(int, minFailureMs);

    // device_sim's slow-accept mode listens with its accept queue full: the kernel drops
    // further SYNs, so a connect neither succeeds nor is refused until the client gives up.
    const QString address = nextAddress();
    std::unique_ptr<SimRun> fullQueue;
    if (neverAccepted) {
        fullQueue = std::make_unique<SimRun>(QStringList{"--listen", address, "--port", "80", "--mode", "slow-accept"});
        QVERIFY(fullQueue->waitForListening());
    }

    ClientRun client({"-i", address, "-p", "0", "-t", "50"});
    QVERIFY(client.waitForCycles(2, 8000));
    QCOMPARE(client.cycles().mid(0, 2), (QList<QByteArray>{noConnectionCycle, noConnectionCycle}));
    QVERIFY(client.cycleDoneMs()[1] - client.startedMs() >= 2 * minFailureMs);

    fullQueue.reset();  // ends it by its pid, and its listener with it
    FakeDevice device(address, 80, replyAndClose(goodReply));
    QVERIFY2(device.isListening(), qPrintable(device.errorString()));
    QVERIFY(QTest::qWaitFor([&] { return client.cycles().contains(goodCycle); }, 5000));
    const QList<QByteArray> cycles = client.cycles();
    for (const QByteArray &cycle : cycles.mid(0, cycles.indexOf(goodCycle)))
        QCOMPARE(cycle, noConnectionCycle);
    QCOMPARE(client.errorOutput(), QByteArray());
}

void PollClientTest::cannotConnect_data()
{
    QTest::addColumn<QString>("host");
    QTest::addColumn<QString>("timeout");
    QTest::newRow("-t 0: the connect wait is 0") << QString() << "0";
    QTest::newRow("-t -1: the connect wait is -10, not 'no limit'") << QString() << "-1";
    QTest::newRow("-t 214748365: the connect wait, kept to 32 bits, wraps negative") << QString() << "214748365";
    QTest::newRow("-i a name that does not resolve") << "no-such-device.invalid"
                                                     << "1000";
    QTest::newRow("-i a name that is no host name") << "a..b"
                                                    << "1000";
}

void PollClientTest::cannotConnect()
{
    QFETCH(QString, host);
    QFETCH(QString, timeout);

    // A name that is not in /etc/hosts goes to DNS, which only the namespace keeps local.
    FakeDevice namespaceCheck(defaultDeviceIp, 80, replyAndClose(goodReply));
    QVERIFY2(namespaceCheck.isListening(), "run the suite through scripts/test");
    const QString address = nextAddress();
    FakeDevice device(address, 80, replyAndClose(goodReply));
    QVERIFY(device.isListening());

    ClientRun client({"-i", host.isEmpty() ? address : host, "-p", "100", "-t", timeout});
    QVERIFY(client.waitForCycles(2, 10000));
    QCOMPARE(client.cycles().mid(0, 2), (QList<QByteArray>{noConnectionCycle, noConnectionCycle}));
    QCOMPARE(client.errorOutput(), QByteArray());
}

void PollClientTest::lookupCountsAgainstTheConnectWait_data()
{
    QTest::addColumn<int>("lookupMs");
    QTest::addColumn<bool>("deviceAccepts");
    QTest::addColumn<QByteArray>("expected");
    QTest::addColumn<int>("atLeastMs");
    QTest::addColumn<int>("underMs");
    // With -t 300 the connect wait is 3000 ms; the first cycle starts after a 100 ms pause.
    QTest::newRow("a lookup longer than the wait leaves none to connect")
        << 2000 << false << noConnectionCycle << 2000 << 4000;
    QTest::newRow("after a quick lookup the device is reached") << 500 << true << goodCycle << 500 << 3000;
}

// The name is looked up through a name server of the test's own, which the client sees
// through its own /etc/resolv.conf in a mount namespace of its own.
void PollClientTest::lookupCountsAgainstTheConnectWait()
{
    QFETCH(int, lookupMs);
    QFETCH(bool, deviceAccepts);
    QFETCH(QByteArray, expected);
    QFETCH(int, atLeastMs);
    QFETCH(int, underMs);

    FakeDevice namespaceCheck(defaultDeviceIp, 80, replyAndClose(goodReply));
    QVERIFY2(namespaceCheck.isListening(), "run the suite through scripts/test");
    const QString nameServerAddress = nextAddress();
    const QString address = nextAddress();
    SlowNameServer nameServer(nameServerAddress, address, lookupMs);
    QVERIFY2(nameServer.isListening(), "port 53 needs root in the namespace");
    QTemporaryDir dir;
    QFile resolvConf(dir.filePath("resolv.conf"));
    QVERIFY(resolvConf.open(QIODevice::WriteOnly));
    resolvConf.write("nameserver " + nameServerAddress.toLatin1() + "\noptions timeout:10 attempts:1\n");
    resolvConf.close();

    std::unique_ptr<FakeDevice> device;
    std::unique_ptr<SimRun> fullQueue;
    if (deviceAccepts) {
        device = std::make_unique<FakeDevice>(address, 80, replyAndClose(goodReply));
        QVERIFY(device->isListening());
    } else {
        fullQueue = std::make_unique<SimRun>(QStringList{"--listen", address, "--port", "80", "--mode", "slow-accept"});
        QVERIFY(fullQueue->waitForListening());
    }

    const QStringList ownResolvConf{
        "unshare", "-m", "/bin/sh", "-c", "mount --bind \"$0\" /etc/resolv.conf && exec \"$@\"", resolvConf.fileName()};
    ClientRun client({"-i", "slow-device.test", "-p", "100", "-t", "300"}, QProcessEnvironment::systemEnvironment(),
                     QString(), ownResolvConf);
    QVERIFY(client.waitForCycles(1, 10000));
    QCOMPARE(client.cycles().first(), expected);
    QCOMPARE(nameServer.queryCount(), 1);
    const qint64 cycleMs = client.cycleDoneMs().first() - client.startedMs();
    QVERIFY2(cycleMs >= atLeastMs && cycleMs < underMs, qPrintable(QString::number(cycleMs)));
    QCOMPARE(client.errorOutput(), QByteArray());
}

void PollClientTest::responseCheck_data()
{
    QTest::addColumn<QByteArray>("reply");
    QTest::addColumn<QByteArray>("expected");

    const QByteArray head = "HTTP/1.1 200 OK\r\n\r\n";  // 19 bytes
    QTest::newRow("balanced braces, key inside the object")
        << head + "{\"result\":{\"realTime\":\"12:00\",\"v\":1}}"
        << QByteArray("nLoop:\t1\t\"realTime\":\"12:00\"\t\tlen:\t56\tn{:2\tn}:2\r\033[0m");
    QTest::newRow("no brace at all (an error page): Error, reset before its line feed")
        << QByteArray("HTTP/1.1 500 Internal Server Error\r\n\r\n<h1>500</h1>")
        << QByteArray("nLoop:\t1\tlen:\t50\tn{:0\tn}:0\r\033[0;37;41m\nError\033[0m\n\033[0m");
    QTest::newRow("truncated inside the JSON: Error")
        << head + "{\"result\":{\"realTime\":1"
        << QByteArray("nLoop:\t1\t\"realTime\":1\t\tlen:\t42\tn{:2\tn}:0\r" + errorMark + "\033[0m");
    QTest::newRow("more closing than opening: Error")
        << head + "{}}" << QByteArray("nLoop:\t1\tlen:\t22\tn{:1\tn}:2\r" + errorMark + "\033[0m");
    QTest::newRow("braces in headers and strings count like any")
        << QByteArray("HTTP/1.1 200 OK\r\nX-Note: {\r\n\r\n{\"s\":\"}}\"}")
        << QByteArray("nLoop:\t1\tlen:\t40\tn{:2\tn}:3\r" + errorMark + "\033[0m");
    QTest::newRow("key as the last member: value runs to the end")
        << head + "{\"id\":70,\"result\":{\"realTime\":99}}"
        << QByteArray("nLoop:\t1\t\"realTime\":99}}\t\tlen:\t53\tn{:2\tn}:2\r\033[0m");
    QTest::newRow("zero byte before the key: key unseen, braces after it counted")
        << head + QByteArray("{\0\"realTime\":5}", 15) << QByteArray("nLoop:\t1\tlen:\t34\tn{:1\tn}:1\r\033[0m");
    QTest::newRow("key in another case is not the key")
        << head + "{\"RealTime\":5}" << QByteArray("nLoop:\t1\tlen:\t33\tn{:1\tn}:1\r\033[0m");
    QTest::newRow("UTF-8 in the value passes unchanged")
        << head + "{\"realTime\":\"12:00 \xc3\xbc\xe2\x82\xac\"}"
        << QByteArray("nLoop:\t1\t\"realTime\":\"12:00 \xc3\xbc\xe2\x82\xac\"}\t\tlen:\t45\tn{:1\tn}:1\r\033[0m");
    QTest::newRow("invalid UTF-8 in the value becomes U+FFFD")
        << head + "{\"realTime\":\"\xff\"}"
        << QByteArray("nLoop:\t1\t\"realTime\":\"\xef\xbf\xbd\"}\t\tlen:\t35\tn{:1\tn}:1\r\033[0m");
    QTest::newRow("control characters in the value are masked: C0, DEL, C1 from U+0080 to U+009F, not U+00A0")
        << head + "{\"realTime\":\"\033[2J\x07\x7f\xc2\x80\xc2\x85\xc2\x9f\xc2\xa0\tx\"}"
        << QByteArray("nLoop:\t1\t\"realTime\":\"?[2J?????\xc2\xa0?x\"}\t\tlen:\t50\tn{:1\tn}:1\r\033[0m");
    // U+202E (right-to-left override) and the others can reorder what the terminal shows.
    QTest::newRow("bidirectional controls and line separators are masked, not U+200D or U+2030")
        << head + "{\"realTime\":\"1\xe2\x80\xae"
                  "2\xe2\x81\xa6"
                  "3\xe2\x81\xa9\xe2\x80\xa8\xe2\x80\xa9\xd8\x9c"
                  "\xe2\x80\x8e\xe2\x80\x8f\xe2\x80\xaa\xe2\x80\x8d\xe2\x80\xb0\"}"
        << QByteArray(
               "nLoop:\t1\t\"realTime\":\"1?2?3???????\xe2\x80\x8d\xe2\x80\xb0\"}\t\tlen:\t69\tn{:1\tn}:1\r\033[0m");
}

void PollClientTest::responseCheck()
{
    QFETCH(QByteArray, reply);
    QFETCH(QByteArray, expected);

    const QString address = nextAddress();
    FakeDevice device(address, 80, replyAndClose(reply));
    QVERIFY(device.isListening());

    ClientRun client({"-i", address, "-p", "100"});
    QVERIFY(client.waitForCycles(1, 5000));
    QCOMPARE(client.cycles().first(), expected);
    QCOMPARE(client.errorOutput(), QByteArray());
}

void PollClientTest::pausePeriod_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<int>("minGapMs");
    QTest::addColumn<int>("maxGapMs");
    QTest::newRow("-p 0: back to back") << QStringList{"-p", "0"} << 0 << 400;
    QTest::newRow("-p -5: back to back") << QStringList{"-p", "-5"} << 0 << 400;
    QTest::newRow("-p abc is 0") << QStringList{"-p", "abc"} << 0 << 400;
    QTest::newRow("-p 4294967296 keeps the low 32 bits: 0") << QStringList{"-p", "4294967296"} << 0 << 400;
    QTest::newRow("-p beyond a long: strtol clamps it first, so the low 32 bits are -1")
        << QStringList{"-p", "99999999999999999999"} << 0 << 400;
    QTest::newRow("-p 600") << QStringList{"-p", "600"} << 600 << 2500;
    QTest::newRow("-p 600ms: trailing text ignored") << QStringList{"-p", "600ms"} << 600 << 2500;
    QTest::newRow("-p 4294967896 keeps the low 32 bits: 600") << QStringList{"-p", "4294967896"} << 600 << 2500;
    QTest::newRow("a later -p overrides") << QStringList{"-p", "0", "-p", "600"} << 600 << 2500;
}

void PollClientTest::pausePeriod()
{
    QFETCH(QStringList, arguments);
    QFETCH(int, minGapMs);
    QFETCH(int, maxGapMs);

    const QString address = nextAddress();
    FakeDevice device(address, 80, replyAndClose(goodReply));
    QVERIFY(device.isListening());

    ClientRun client(arguments << "-i" << address);
    QVERIFY(QTest::qWaitFor([&] { return device.connectionCount() >= 4; }, 10000));
    const QVector<DeviceConnection> connections = device.connections();
    for (int i = 1; i < 4; ++i) {
        const qint64 gap = connections[i].acceptedMs - connections[i - 1].requestMs;
        QVERIFY2(gap >= minGapMs && gap <= maxGapMs, qPrintable(QString::number(gap)));
    }
}

void PollClientTest::optionDiagnostics_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<bool>("pollsDefaultAddress");
    QTest::addColumn<QByteArray>("diagnostic");
    QTest::newRow("unknown letter -x: diagnostic, then polling")
        << QStringList{"-x", "-p", "50", "-i", "127.0.1.3"} << false << QByteArray(": invalid option -- 'x'\n");
    QTest::newRow("-i without its argument keeps the default address")
        << QStringList{"-p", "50", "-i"} << true << QByteArray(": option requires an argument -- 'i'\n");
}

void PollClientTest::optionDiagnostics()
{
    QFETCH(QStringList, arguments);
    QFETCH(bool, pollsDefaultAddress);
    QFETCH(QByteArray, diagnostic);

    const QString address = pollsDefaultAddress ? defaultDeviceIp : QStringLiteral("127.0.1.3");
    FakeDevice device(address, 80, replyAndClose(goodReply));
    QVERIFY2(device.isListening(), qPrintable(address + ": " + device.errorString()));

    ClientRun client(arguments);
    QVERIFY(client.waitForCycles(1, 5000));
    QCOMPARE(client.cycles().first(), goodCycle);
    QCOMPARE(client.errorOutput(), QByteArray(POLL_CLIENT) + diagnostic);
}

void PollClientTest::lastAddressWins()
{
    const QString first = nextAddress();
    const QString last = nextAddress();
    FakeDevice firstDevice(first, 80, replyAndClose(goodReply));
    FakeDevice lastDevice(last, 80, replyAndClose(goodReply));
    QVERIFY(firstDevice.isListening() && lastDevice.isListening());

    ClientRun client({"-i", first, "-i", last, "-p", "50"});
    QVERIFY(client.waitForCycles(2, 5000));
    QCOMPARE(firstDevice.connectionCount(), 0);
    QCOMPARE(lastDevice.connections().first().request, expectedRequest(last.toLatin1() + ":80"));
}

void PollClientTest::replyCapEndsTheExchange()
{
    // 20 MiB of "{}" and the connection left open: only the cap can end the exchange in time.
    const QString address = nextAddress();
    FakeDevice device(address, 80, DeviceScript{{{0, QByteArray("{}").repeated(10 * 1024 * 1024)}}, End::KeepOpen});
    QVERIFY(device.isListening());

    ClientRun client({"-i", address, "-p", "0", "-t", "20000"});
    QVERIFY(client.waitForCycles(2, 15000));
    for (const QByteArray &cycle : client.cycles().mid(0, 2)) {
        QVERIFY2(cycle.startsWith("nLoop:\t"), cycle.constData());
        QVERIFY2(cycle.endsWith("\tlen:\t16777216\tn{:8388608\tn}:8388608\r\033[0m"), cycle.constData());
    }
}

void PollClientTest::environmentChangesNothing_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("value");
    QTest::newRow("none: a name lookup writes nothing on stderr") << QString() << QString();
    QTest::newRow("http_proxy") << "http_proxy"
                                << "http://127.0.0.1:3128";
    QTest::newRow("all_proxy") << "all_proxy"
                               << "socks5://127.0.0.1:1080";
    QTest::newRow("QT_FATAL_WARNINGS") << "QT_FATAL_WARNINGS"
                                       << "1";
    QTest::newRow("QT_LOGGING_RULES") << "QT_LOGGING_RULES"
                                      << "*=true";
}

void PollClientTest::environmentChangesNothing()
{
    QFETCH(QString, name);
    QFETCH(QString, value);

    FakeDevice device(QStringLiteral("127.0.0.1"), 80, replyAndClose(goodReply));
    QVERIFY2(device.isListening(), qPrintable(device.errorString()));

    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    if (!name.isEmpty())
        environment.insert(name, value);
    ClientRun client({"-i", "localhost", "-p", "50"}, environment);
    QVERIFY(client.waitForCycles(2, 5000));
    QCOMPARE(client.cycles().mid(0, 2), (QList<QByteArray>{goodCycle, goodCycle}));
    QCOMPARE(device.connections().first().request, expectedRequest("localhost:80"));
    QCOMPARE(client.errorOutput(), QByteArray());
}

void PollClientTest::closedOutputNeverReachesTheDevice()
{
    // The device keeps every connection open and reads on, so anything the client wrote
    // into a socket by mistake would arrive after the request.
    const QString address = nextAddress();
    FakeDevice device(address, 80, DeviceScript{{{0, goodReply}}, End::KeepOpen});
    QVERIFY(device.isListening());

    ClientRun client({"-i", address, "-p", "50", "-t", "100"}, QProcessEnvironment::systemEnvironment(),
                     QStringLiteral(">&- 2>&-"));
    QVERIFY(QTest::qWaitFor([&] { return device.connectionCount() >= 4; }, 8000));
    QVERIFY(QTest::qWaitFor([&] { return device.connections()[2].closedMs >= 0; }, 3000));
    for (int i = 0; i < 3; ++i)
        QCOMPARE(device.connections()[i].request, expectedRequest(address.toLatin1() + ":80"));
}

void PollClientTest::outputFailureEndsTheClient_data()
{
    QTest::addColumn<QString>("redirection");
    QTest::addColumn<QProcess::ExitStatus>("exitStatus");
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<QByteArray>("errors");
    QTest::newRow("reader gone (| head -c 100): ends as by SIGPIPE, silently")
        << "> >(head -c 100 >/dev/null)" << QProcess::CrashExit << SIGPIPE << QByteArray();
    QTest::newRow("device full (> /dev/full): status 1 and why")
        << "> /dev/full" << QProcess::NormalExit << 1
        << QByteArray("testVRN730: cannot write to standard output: No space left on device\n");
}

void PollClientTest::outputFailureEndsTheClient()
{
    QFETCH(QString, redirection);
    QFETCH(QProcess::ExitStatus, exitStatus);
    QFETCH(int, exitCode);
    QFETCH(QByteArray, errors);

    const QString address = nextAddress();
    FakeDevice device(address, 80, replyAndClose(goodReply));
    QVERIFY(device.isListening());

    ClientRun client({"-i", address, "-p", "100"}, QProcessEnvironment::systemEnvironment(), redirection);
    QVERIFY2(client.waitForExit(10000), "the client outlived its output");
    QCOMPARE(client.exitStatus(), exitStatus);
    QCOMPARE(client.exitCode(), exitCode);
    QCOMPARE(client.errorOutput(), errors);
}

QTEST_GUILESS_MAIN(PollClientTest)
#include "tst_poll_client.moc"
