// Devices that never end a reply: one that accepts and reads but never answers, and one
// that trickles a byte at a time, never silent for the -t wait. The client takes the reply
// as it stands 30 s after its request. Kept apart so that it runs beside the other suites.
#include "poll_harness.h"

#include <QRegularExpression>
#include <QtTest>

using namespace harness;

class SilentDeviceTest : public QObject {
    Q_OBJECT

private slots:
    void endlessReplyEndsAfterThirtySeconds_data();
    void endlessReplyEndsAfterThirtySeconds();
};

void SilentDeviceTest::endlessReplyEndsAfterThirtySeconds_data()
{
    QTest::addColumn<int>("trickled");  // bytes sent 0.8 s apart after the head; 0: nothing at all
    QTest::addColumn<QString>("responseTimeOut");
    QTest::addColumn<QString>("line");  // a pattern
    QTest::newRow("silent: nothing after the request")
        << 0 << "100"
        << QRegularExpression::escape(QString::fromLatin1("nLoop:\t0\tlen:\t0\tn{:0\tn}:0\r" + errorMark + "\033[0m"));
    // Answered in full, it would take 48 s.
    QTest::newRow("trickle: a byte every 0.8 s at -t 1000")
        << 60 << "1000"
        << QRegularExpression::escape(QStringLiteral("nLoop:\t")) + QStringLiteral("3[5-9]\\tlen:\\t5[4-8]") +
               QRegularExpression::escape(QString::fromLatin1("\tn{:1\tn}:0\r" + errorMark + "\033[0m"));
}

void SilentDeviceTest::endlessReplyEndsAfterThirtySeconds()
{
    QFETCH(int, trickled);
    QFETCH(QString, responseTimeOut);
    QFETCH(QString, line);

    QList<Burst> bursts;
    if (trickled > 0)
        bursts.append({0, "HTTP/1.1 200 OK\r\n\r\n{"});
    for (int i = 0; i < trickled; ++i)
        bursts.append({800, "x"});
    const QString address = nextLoopbackAddress(2);
    FakeDevice device(address, 80, DeviceScript{bursts, End::KeepOpen});
    QVERIFY(device.isListening());

    ClientRun client({"-i", address, "-p", "0", "-t", responseTimeOut});
    QVERIFY(client.waitForCycles(1, 45000));
    const QString cycle = QString::fromLatin1(client.cycles().first());
    QVERIFY2(QRegularExpression(QStringLiteral("^") + line + QStringLiteral("$")).match(cycle).hasMatch(),
             qPrintable(cycle));
    // The device sees the request a little after the client began to wait for the reply.
    const qint64 doneMs = client.cycleDoneMs().first();
    QVERIFY2(doneMs - client.startedMs() >= 30000, qPrintable(QString::number(doneMs - client.startedMs())));
    const qint64 waitedMs = doneMs - device.connections().first().requestMs;
    QVERIFY2(waitedMs >= 29500 && waitedMs < 40000, qPrintable(QString::number(waitedMs)));
    QCOMPARE(device.connections().first().request, expectedRequest(address.toLatin1() + ":80"));
}

QTEST_GUILESS_MAIN(SilentDeviceTest)
#include "tst_silent_device.moc"
