// The README's overnight pipeline and its morning reports, read from the README and run as
// a user would run them: in a terminal, against device_sim with a seeded fault mix and
// down time, until Ctrl-C.
#include "poll_harness.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QtTest>

#include <numeric>

using namespace harness;

namespace {

QByteArray contentsOf(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

// The shell blocks of the README's section on watching, in order: the pipeline, then the
// three reports.
QList<QByteArray> watchBlocks()
{
    const QByteArray readme = contentsOf(QStringLiteral(SOURCE_DIR "/README.md"));
    const int section = readme.indexOf("\n## Watching a device for hours\n");
    const int sectionEnd = readme.indexOf("\n## ", section + 1);
    QList<QByteArray> blocks;
    for (int at = readme.indexOf("```sh\n", section); at >= 0 && at < sectionEnd; at = readme.indexOf("```sh\n", at)) {
        at += 6;
        const int end = readme.indexOf("```\n", at);
        blocks.append(readme.mid(at, end - at));
        at = end;
    }
    return blocks;
}

qint64 msOf(const QString &stamp)
{
    return QDateTime::fromString(stamp, QStringLiteral("yyyy-MM-dd HH:mm:ss.zzz")).toMSecsSinceEpoch();
}

const QString stampPattern = QStringLiteral("\\d{4}-\\d\\d-\\d\\d \\d\\d:\\d\\d:\\d\\d\\.\\d{3}");

struct DownWindow {
    qint64 downMs;
    qint64 upMs;
    int dropped;
};

struct Run {
    int exitCode;
    QByteArray output;
};

Run runIn(const QString &directory, const QString &program, const QStringList &arguments,
          const QProcessEnvironment &environment = QProcessEnvironment::systemEnvironment())
{
    QProcess process;
    process.setWorkingDirectory(directory);
    process.setProcessEnvironment(environment);
    process.start(program, arguments);
    if (!process.waitForFinished(30000))
        endByPid(process);
    return {process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1, process.readAllStandardOutput()};
}

}  // namespace

class WatchTest : public QObject {
    Q_OBJECT

private slots:
    void initTestCase();
    void manPageShowsThePipelineAndTheCount();
    void pipelineAndReportsMatchWhatTheDeviceDid();

private:
    QList<QByteArray> blocks_;
};

void WatchTest::initTestCase()
{
    blocks_ = watchBlocks();
    QCOMPARE(blocks_.size(), 4);
    QVERIFY2(blocks_[0].startsWith("testVRN730 -i 192.168.1.100 | tee /dev/tty |\n"), blocks_[0].constData());
}

void WatchTest::manPageShowsThePipelineAndTheCount()
{
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert("MANWIDTH", "80");
    environment.insert("MANPAGER", "cat");
    environment.insert("LANG", "C.UTF-8");
    const Run man = runIn(QDir::currentPath(), "man", {"-l", SOURCE_DIR "/poll_client/testVRN730.1"}, environment);
    QCOMPARE(man.exitCode, 0);
    QList<QByteArray> rendered;
    for (const QByteArray &line : man.output.split('\n'))
        rendered.append(line.trimmed());
    for (const QByteArray &block : blocks_.mid(0, 2))
        for (const QByteArray &line : block.trimmed().split('\n'))
            QVERIFY2(rendered.contains(line.trimmed()), line.constData());
}

void WatchTest::pipelineAndReportsMatchWhatTheDeviceDid()
{
    const QString address = nextLoopbackAddress(6);
    SimRun sim({"--listen", address, "--port", "80", "--close", "--fault-rate", "0.3", "--faults",
                "truncated,no-brace,refuse,reset,garbage,zero-byte", "--seed", "7", "--down-ms", "1000", "--up-ms",
                "2500"});
    QVERIFY(sim.waitForListening());

    QTemporaryDir work;
    QVERIFY(work.isValid());
    QByteArray pipeline = blocks_[0];
    pipeline.replace("testVRN730 -i 192.168.1.100", "'" POLL_CLIENT "' -i " + address.toLatin1() + " -p 100 -t 300");
    QFile script(work.filePath("pipeline.sh"));
    QVERIFY(script.open(QIODevice::WriteOnly) && script.write(pipeline) == pipeline.size());
    script.close();

    QProcess terminal;
    terminal.setWorkingDirectory(work.path());
    terminal.start(QStringLiteral("script"), {"-qfec", "bash pipeline.sh", "/dev/null"});
    QVERIFY(terminal.waitForStarted(5000));
    // Two down windows, then a good cycle after the second.
    const QString log = work.filePath("watch.log");
    const bool sawBothWindows = QTest::qWaitFor([&] { return sim.log().count("up again") >= 2; }, 20000);
    QTest::qWait(800);
    QByteArray screen = terminal.readAllStandardOutput();
    terminal.write("\x03");  // Ctrl-C, as typed
    const bool ended = terminal.waitForFinished(10000);
    screen += terminal.readAllStandardOutput();
    endByPid(terminal);
    QTest::qWait(300);
    QVERIFY(sim.terminate(5000));
    QVERIFY(sawBothWindows);
    QVERIFY2(ended, "the pipeline did not end on Ctrl-C");
    QVERIFY2(screen.contains("nLoop:\t1\t\"realTime\":"), "the live status line stays on the terminal");

    // Every line: a time stamp, then one cycle.
    const QRegularExpression cycleLine("^(" + stampPattern + ")\t(nLoop:\t.*\tn\\}:\\d+(\tError)?|No connection)$");
    QList<bool> clientBad;
    QList<qint64> refusedMs;
    const QList<QByteArray> lines = contentsOf(log).split('\n');
    QVERIFY(lines.size() > 30 && lines.last().isEmpty());
    for (const QByteArray &line : lines.mid(0, lines.size() - 1)) {
        const QRegularExpressionMatch match = cycleLine.match(QString::fromLatin1(line));
        QVERIFY2(match.hasMatch(), line.constData());
        if (match.captured(2) == QLatin1String("No connection"))
            refusedMs.append(msOf(match.captured(1)));
        else
            clientBad.append(match.capturedLength(3) > 0);
    }

    // What device_sim did: each request's verdict, in order, and its down windows.
    const QString simLog = QString::fromLatin1(sim.log());
    QList<bool> simBad;
    const QRegularExpression request(QStringLiteral("body \\d+ bytes: (\\S+)\n"));
    for (auto match = request.globalMatch(simLog); match.hasNext();) {
        const QString verdict = match.next().captured(1);
        simBad.append(verdict != QLatin1String("ok") && verdict != QLatin1String("zero-byte"));
    }
    QList<DownWindow> windows;
    const QRegularExpression downUp("(" + stampPattern +
                                    ") device_sim: down for 1000 ms, (\\d+) connections dropped\n(" + stampPattern +
                                    ") device_sim: up again\n");
    for (auto match = downUp.globalMatch(simLog); match.hasNext();) {
        const QRegularExpressionMatch window = match.next();
        windows.append({msOf(window.captured(1)), msOf(window.captured(3)), window.captured(2).toInt()});
    }
    QVERIFY2(windows.size() >= 2, qPrintable(simLog));

    // The k-th reply cycle is the k-th request; the client may have been stopped just after
    // the device logged one more. A connection dropped at a down window may end a reply
    // that the device logged as good, or never reach the device's log at all.
    const int dropped = std::accumulate(windows.begin(), windows.end(), 0,
                                        [](int sum, const DownWindow &w) { return sum + w.dropped; });
    QVERIFY2(simBad.size() - clientBad.size() <= 1 + dropped, qPrintable(simLog));
    if (dropped == 0)
        QCOMPARE(clientBad, simBad.mid(0, clientBad.size()));
    else
        QVERIFY(std::abs(clientBad.count(true) - simBad.mid(0, clientBad.size()).count(true)) <= dropped);
    QVERIFY2(clientBad.contains(true) && clientBad.contains(false), "the mix must give both good and bad replies");

    // Every failed connection falls in a down window, and every window caused some.
    for (const qint64 ms : refusedMs)
        QVERIFY2(std::any_of(windows.begin(), windows.end(),
                             [ms](const DownWindow &w) { return ms >= w.downMs - 100 && ms <= w.upMs + 100; }),
                 qPrintable(QDateTime::fromMSecsSinceEpoch(ms).toString()));

    // The reports.
    const Run counts = runIn(work.path(), "bash", {"-c", blocks_[1]});
    QCOMPARE(counts.exitCode, 0);
    QCOMPARE(counts.output, QByteArray::number(lines.size() - 1) + " cycles, " +
                                QByteArray::number(clientBad.count(true)) + " bad replies, " +
                                QByteArray::number(refusedMs.size()) + " No connection\n");

    const Run outages = runIn(work.path(), "bash", {"-c", blocks_[2]});
    QCOMPARE(outages.exitCode, 0);
    const QRegularExpression outage("^(" + stampPattern + ") to (" + stampPattern +
                                    "), (\\d+\\.\\d{3}) s, (\\d+) cycles$");
    for (const DownWindow &window : windows) {
        QList<qint64> inWindow;
        for (const qint64 ms : refusedMs)
            if (ms >= window.downMs - 100 && ms <= window.upMs + 100)
                inWindow.append(ms);
        QVERIFY2(inWindow.size() >= 5, "a 1000 ms window at -p 100 refuses several cycles");
        const QList<QByteArray> reported = outages.output.split('\n');
        const bool named = std::any_of(reported.begin(), reported.end(), [&](const QByteArray &line) {
            const QRegularExpressionMatch match = outage.match(QString::fromLatin1(line));
            if (!match.hasMatch())
                return false;
            const qint64 first = msOf(match.captured(1));
            const qint64 last = msOf(match.captured(2));
            return first <= inWindow.first() && last >= inWindow.last() &&
                   qAbs(match.captured(3).toDouble() * 1000 - (last - first)) <= 1 &&
                   match.captured(4).toInt() >= inWindow.size();
        });
        QVERIFY2(named, outages.output.constData());
    }

    const Run perHour = runIn(work.path(), "bash", {"-c", blocks_[3]});
    QCOMPARE(perHour.exitCode, 0);
    int perHourTotal = 0;
    for (const QByteArray &line : perHour.output.trimmed().split('\n')) {
        const QRegularExpressionMatch match =
            QRegularExpression("^(\\d{4}-\\d\\d-\\d\\d \\d\\d):00 (\\d+)$").match(QString::fromLatin1(line));
        QVERIFY2(match.hasMatch(), line.constData());
        QVERIFY(contentsOf(log).contains(match.captured(1).toLatin1() + ":"));
        perHourTotal += match.captured(2).toInt();
    }
    QCOMPARE(perHourTotal, clientBad.count(true));
}

QTEST_GUILESS_MAIN(WatchTest)
#include "tst_watch.moc"
