// The bundled device simulator: its request parsing, its option errors, and every mode as
// the real client sees it.
#include "poll_harness.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QRegularExpression>
#include <QtTest>

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
        replies.append({head.left(head.indexOf("\r\n")), QJsonDocument::fromJson(bytes.mid(end + 4, total - end - 4)).object()});
        bytes.remove(0, total);
    }
    return replies;
}

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
    void sigtermEndsItCleanly();
    void modesAsTheClientSeesThem_data();
    void modesAsTheClientSeesThem();
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
    QVERIFY(QTest::qWaitFor([&] {
        received += socket.readAll();
        return parseReplies(received).size() >= replies;
    }, 5000));

    const QList<Reply> parsed = parseReplies(received);
    QCOMPARE(parsed.size(), replies);
    for (int i = 0; i < parsed.size(); ++i) {
        QCOMPARE(parsed[i].status, QByteArray("HTTP/1.1 200 OK"));
        QCOMPARE(parsed[i].body.value("id").toInt(), 70);
        const QJsonObject result = parsed[i].body.value("result").toObject();
        QVERIFY(QRegularExpression(QStringLiteral("^\\d\\d:\\d\\d:\\d\\d\\.\\d\\d\\d$"))
                    .match(result.value("realTime").toString()).hasMatch());
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
    QTest::newRow("less than the reply needs: left as it is") << 50 << false;
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
        QVERIFY(QTest::qWaitFor([&] {
            reply += socket.readAll();
            return socket.state() == QAbstractSocket::UnconnectedState;
        }, 5000));
        reply += socket.readAll();
        const QList<Reply> parsed = parseReplies(reply);
        QCOMPARE(parsed.size(), 1);
        QCOMPARE(parsed.first().body.value("result").toObject().contains("pad"), padded);
        if (padded)
            QCOMPARE(reply.size(), replyBytes);
    }
}

void DeviceSimTest::badOptions_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<QByteArray>("error");
    QTest::newRow("unknown option") << QStringList{"--bogus"} << QByteArray("unknown option '--bogus' (see --help)");
    QTest::newRow("port not a number") << QStringList{"--port", "eighty"}
                                       << QByteArray("--port needs a number from 1 to 65535, not 'eighty'");
    QTest::newRow("port 0") << QStringList{"--port=0"} << QByteArray("--port needs a number from 1 to 65535, not '0'");
    QTest::newRow("port above 65535") << QStringList{"--port", "65536"}
                                      << QByteArray("--port needs a number from 1 to 65535, not '65536'");
    QTest::newRow("missing value") << QStringList{"--mode"} << QByteArray("--mode needs a value");
    QTest::newRow("unknown mode") << QStringList{"--mode", "flaky"} << QByteArray("unknown mode 'flaky' (see --help)");
    QTest::newRow("listen on a name") << QStringList{"--listen", "localhost"}
                                      << QByteArray("--listen needs an IP address, not 'localhost'");
    QTest::newRow("negative gap") << QStringList{"--gap-ms", "-1"}
                                  << QByteArray("--gap-ms needs a number from 0 to 3600000, not '-1'");
    QTest::newRow("reply size too large") << QStringList{"--reply-bytes", "300000000"}
                                          << QByteArray("--reply-bytes needs a number from 0 to 268435456, not '300000000'");
    QTest::newRow("value on a flag") << QStringList{"--close=yes"} << QByteArray("--close takes no value");
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
    SimRun sim({"--help"});
    QVERIFY(sim.waitForExit(5000));
    QCOMPARE(sim.exitCode(), 0);
    const QByteArray help = sim.output();
    for (const char *mode : {"ok", "silent", "no-brace", "truncated", "burst", "gap", "stream", "zero-byte",
                             "refuse", "slow-accept"})
        QVERIFY2(QRegularExpression(QStringLiteral("\n +%1 +\\S").arg(QLatin1String(mode)))
                     .match(QString::fromLatin1(help)).hasMatch(), mode);
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
    QVERIFY(client.waitForCycles(2, 5000));
    QVERIFY(sim.terminate(5000));

    const QList<QByteArray> lines = sim.log().split('\n');
    const QRegularExpression request(QStringLiteral(
        "^\\d{4}-\\d\\d-\\d\\d \\d\\d:\\d\\d:\\d\\d\\.\\d{3} 127\\.0\\.0\\.1:\\d+ POST /api\\.php body 56 bytes$"));
    const QByteArray dumped = "  POST /api.php HTTP/1.1\\r\\nHost: " + address.toLatin1() +
                              ":80\\r\\nConnection: Keep-Alive\\r\\nContent-Length: 56\\r\\n\\r\\n"
                              "{\"jsonrp\":\"2.0\",\"method\":\"getSp\",\"params\":null},\"id\":70}";
    QVERIFY(lines.size() > 3);
    for (int i = 1; i < lines.size() - 2; i += dump ? 2 : 1) {
        QVERIFY2(request.match(QString::fromLatin1(lines[i])).hasMatch(), lines[i].constData());
        if (dump)
            QCOMPARE(lines[i + 1], dumped);
    }
}

void DeviceSimTest::sigtermEndsItCleanly()
{
    SimRun sim({"--listen", nextAddress(), "--port", "80"});
    QVERIFY(sim.waitForListening());
    QVERIFY(sim.terminate(5000));
    QCOMPARE(sim.exitStatus(), QProcess::NormalExit);
    QCOMPARE(sim.exitCode(), 0);
    QVERIFY(sim.log().endsWith("device_sim: stopped\n"));
}

void DeviceSimTest::modesAsTheClientSeesThem_data()
{
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
    QTest::newRow("burst: four passes") << QStringList{"--mode", "burst", "--gap-ms", "150"} << QStringList{"-t", "1000"}
                                        << "nLoop:\t4\t" + time + "\t\tlen:\t\\d+\tn\\{:2\tn\\}:2" + fine;
    QTest::newRow("gap longer than -t: first half only")
        << QStringList{"--mode", "gap", "--gap-ms", "800"} << QStringList{"-t", "200"}
        << "nLoop:\t1\tlen:\t\\d+\tn\\{:1\tn\\}:0" + error;
    QTest::newRow("stream: ends at the cap") << QStringList{"--mode", "stream"} << QStringList{"-t", "20000"}
                                             << "nLoop:\t\\d+\tlen:\t16777216\tn\\{:\\d+\tn\\}:\\d+" + error;
    QTest::newRow("zero-byte: key unseen, braces counted") << QStringList{"--mode", "zero-byte"} << QStringList{"-t", "300"}
                                                           << "nLoop:\t1\tlen:\t\\d+\tn\\{:2\tn\\}:2" + fine;
    QTest::newRow("refuse") << QStringList{"--mode", "refuse"} << QStringList{"-t", "300"}
                            << "nLoop:\t0\tlen:\t0\tn\\{:0\tn\\}:0" + error;
    QTest::newRow("slow-accept: no connection after -t x 10") << QStringList{"--mode", "slow-accept"}
                                                              << QStringList{"-t", "50"}
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
    QVERIFY(client.waitForCycles(2, 15000));
    for (const QByteArray &cycle : client.cycles().mid(0, 2))
        QVERIFY2(QRegularExpression("^" + firstCycle + "$").match(QString::fromLatin1(cycle)).hasMatch(),
                 qPrintable(QString::fromLatin1(cycle).toHtmlEscaped()));
}

QTEST_GUILESS_MAIN(DeviceSimTest)
#include "tst_device_sim.moc"
