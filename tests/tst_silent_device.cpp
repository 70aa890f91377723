// A device that accepts and reads but never answers: the client gives up after its fixed
// 30 s wait for the first reply data. Kept apart so that it runs beside the other suites.
#include "poll_harness.h"

#include <QtTest>

using namespace harness;

class SilentDeviceTest : public QObject {
    Q_OBJECT

private slots:
    void silentDeviceEndsAfterTheFirstWait();
};

void SilentDeviceTest::silentDeviceEndsAfterTheFirstWait()
{
    const QString address = nextLoopbackAddress(2);
    FakeDevice device(address, 80, DeviceScript{{}, End::KeepOpen});
    QVERIFY(device.isListening());

    ClientRun client({"-i", address, "-p", "0", "-t", "100"});
    QVERIFY(client.waitForCycles(1, 45000));
    QCOMPARE(client.cycles().first(), QByteArray("nLoop:\t0\tlen:\t0\tn{:0\tn}:0\r" + errorMark + "\033[0m"));
    // The device sees the request a little after the client began to wait for the reply.
    const qint64 doneMs = client.cycleDoneMs().first();
    QVERIFY2(doneMs - client.startedMs() >= 30000, qPrintable(QString::number(doneMs - client.startedMs())));
    const qint64 waitedMs = doneMs - device.connections().first().requestMs;
    QVERIFY2(waitedMs >= 29500 && waitedMs < 40000, qPrintable(QString::number(waitedMs)));
    QCOMPARE(device.connections().first().request, expectedRequest(address.toLatin1() + ":80"));
}

QTEST_GUILESS_MAIN(SilentDeviceTest)
#include "tst_silent_device.moc"
