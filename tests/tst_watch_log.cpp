// testVRN730-watch's parts in process: the client's bytes into log lines, split anywhere;
// the log read back into outages; the times a report takes.
#include "client/cycle_reader.h"
#include "log/format.h"
#include "log/log_set.h"
#include "log/reader.h"
#include "log/writer.h"
#include "poll_harness.h"
#include "report/plot.h"
#include "report/report.h"

#include <QTemporaryDir>
#include <QtTest>

#include <sys/stat.h>

using namespace harness;

namespace {

// What a line says after its time and cycle_ms: state, loops, bytes, open, close, realTime.
QByteArray fieldsOf(const Cycle &cycle)
{
    const QByteArray line = watchlog::cycleLine(0, 0, cycle);
    QByteArrayList fields = line.chopped(1).split('\t');
    fields.removeAt(2);
    return fields.mid(1).join('\t');
}

QByteArrayList fieldsOf(const QList<Cycle> &cycles)
{
    QByteArrayList all;
    for (const Cycle &cycle : cycles)
        all.append(fieldsOf(cycle));
    return all;
}

QByteArrayList readInPieces(const QByteArray &output, const QList<int> &cuts, qint64 *skipped, QByteArray *left)
{
    CycleReader reader;
    QList<Cycle> cycles;
    int from = 0;
    for (const int cut : cuts + QList<int>{static_cast<int>(output.size())}) {
        reader.feed(output.mid(from, cut - from), &cycles);
        from = cut;
    }
    *skipped = reader.skippedBytes();
    *left = reader.pending();
    return fieldsOf(cycles);
}

QByteArray logOf(const QByteArrayList &lines)
{
    return lines.join('\n') + '\n';
}

// What LOGS hold within WINDOW, each written to a file of its own and read as `report`
// reads them.
struct Read {
    QList<watchlog::Run> runs;
    QList<QByteArray> warnings;  // files read once though given twice
    QList<QByteArray> messages;  // files that could not be read, lines that are not the log's
};

Read readLogs(const QByteArrayList &logs, const watchlog::Window &window = watchlog::Window())
{
    QTemporaryDir work;
    QList<QByteArray> paths;
    for (const QByteArray &log : logs) {
        QFile file(work.filePath(QString::number(paths.size() + 1) + QStringLiteral(".log")));
        if (!file.open(QIODevice::WriteOnly) || file.write(log) != log.size())
            return {{}, {}, {"cannot write " + QFile::encodeName(file.fileName())}};
        paths.append(QFile::encodeName(file.fileName()));
    }
    watchlog::LogSet set;
    watchlog::Reader reader(window);
    Read read;
    if (set.open(paths, &read.messages))
        set.readInto(&reader, &read.messages);
    read.runs = reader.runs();
    read.warnings = set.warnings();
    return read;
}

}  // namespace

class WatchLogTest : public QObject {
    Q_OBJECT

private slots:
    void clientOutputToLogLines_data();
    void clientOutputToLogLines();
    void realTimeStaysOneBoundedField();
    void outageBounds_data();
    void outageBounds();
    void whatTheReportSays_data();
    void whatTheReportSays();
    void readingALog_data();
    void readingALog();
    void plotIntervals_data();
    void plotIntervals();
    void lengthPercentiles();
    void severalDevicesDeviceByDevice();
    void readsCompressedLogs();
    void readsALogFromAPipeTwice();
    void writerFollowsItsFile_data();
    void writerFollowsItsFile();
    void timeArguments_data();
    void timeArguments();
};

void WatchLogTest::clientOutputToLogLines_data()
{
    QTest::addColumn<QByteArray>("output");
    QTest::addColumn<QByteArrayList>("lines");
    QTest::addColumn<int>("skipped");  // bytes that were no cycle
    QTest::addColumn<QByteArray>("unfinished");

    const QByteArray good = httpReply("{\"result\":{\"realTime\":\"21:00:00.125\",\"v\":1}}");
    QTest::newRow("a good reply with realTime")
        << expectedCycle(1, "\"realTime\":\"21:00:00.125\"", good)
        << QByteArrayList{"ok\t1\t" + QByteArray::number(good.size()) + "\t2\t2\t\"realTime\":\"21:00:00.125\""} << 0
        << QByteArray();
    QTest::newRow("a good reply without realTime, in three reads")
        << expectedCycle(3, QByteArray(), "{}") << QByteArrayList{"ok\t3\t2\t1\t1\t"} << 0 << QByteArray();
    QTest::newRow("a truncated reply") << expectedCycle(1, "\"realTime\":\"x\"", "{\"a\":{\"realTime\":\"x\"")
                                       << QByteArrayList{"error\t1\t20\t2\t0\t\"realTime\":\"x\""} << 0 << QByteArray();
    QTest::newRow("an empty reply after the 30 s wait")
        << expectedCycle(0, QByteArray(), QByteArray()) << QByteArrayList{"error\t0\t0\t0\t0\t"} << 0 << QByteArray();
    QTest::newRow("a failed connection") << noConnectionCycle << QByteArrayList{"no-connection\t\t\t\t\t"} << 0
                                         << QByteArray();
    // The client masks every control character in the value, so these stay in it.
    QTest::newRow("realTime holding a masked tab, Error and ESC[0m")
        << expectedCycle(1, "\"realTime\":\"a?b Error ?[0m\r\"", "{}").replace("\r\"", "\"")
        << QByteArrayList{"ok\t1\t2\t1\t1\t\"realTime\":\"a?b Error ?[0m\""} << 0 << QByteArray();
    QTest::newRow("realTime that reads like a status line")
        << expectedCycle(1, "\"realTime\":\"nLoop:?len:?n{:1\"", "{{}")
        << QByteArrayList{"error\t1\t3\t2\t1\t\"realTime\":\"nLoop:?len:?n{:1\""} << 0 << QByteArray();
    QTest::newRow("a night: good, bad, failed, good")
        << expectedCycle(1, QByteArray(), "{}") + expectedCycle(2, QByteArray(), "{") + noConnectionCycle +
               expectedCycle(1, QByteArray(), "{}")
        << QByteArrayList{"ok\t1\t2\t1\t1\t", "error\t2\t1\t1\t0\t", "no-connection\t\t\t\t\t", "ok\t1\t2\t1\t1\t"} << 0
        << QByteArray();
    QTest::newRow("a stop inside a bad reply's cycle leaves it out")
        << expectedCycle(1, QByteArray(), "{}") + "nLoop:\t1\tlen:\t1\tn{:1\tn}:0\r\033[0;37;41m\nErr"
        << QByteArrayList{"ok\t1\t2\t1\t1\t"} << 0 << QByteArray("nLoop:\t1\tlen:\t1\tn{:1\tn}:0\r\033[0;37;41m\nErr");
    QTest::newRow("bytes that are no cycle are passed over")
        << "garbage\r\033[0m" + expectedCycle(1, QByteArray(), "{}") + "nLoop:\t1\tlen:\tx\tn{:1\tn}:1\r\033[0m" +
               noConnectionCycle
        << QByteArrayList{"ok\t1\t2\t1\t1\t", "no-connection\t\t\t\t\t"} << 11 + 31 << QByteArray();
}

// Each row whole, cut in two at every byte, and a byte at a time.
void WatchLogTest::clientOutputToLogLines()
{
    QFETCH(QByteArray, output);
    QFETCH(QByteArrayList, lines);
    QFETCH(int, skipped);
    QFETCH(QByteArray, unfinished);

    QList<QList<int>> splits{{}};
    for (int cut = 1; cut < output.size(); ++cut)
        splits.append(QList<int>{cut});
    QList<int> everyByte;
    for (int cut = 1; cut < output.size(); ++cut)
        everyByte.append(cut);
    splits.append(everyByte);
    for (const QList<int> &cuts : splits) {
        qint64 skippedBytes = 0;
        QByteArray left;
        const QByteArrayList read = readInPieces(output, cuts, &skippedBytes, &left);
        const QByteArray where = cuts.size() == 1 ? "cut at " + QByteArray::number(cuts[0]) : "pieces";
        QVERIFY2(read == lines, where + ": " + read.join(" | "));
        QVERIFY2(skippedBytes == skipped, where + ": skipped " + QByteArray::number(skippedBytes));
        QVERIFY2(left == unfinished, where + ": left " + left);
    }
}

void WatchLogTest::realTimeStaysOneBoundedField()
{
    Cycle cycle;
    cycle.loops = cycle.bytes = cycle.open = cycle.close = "1";
    // The cap falls inside a three-byte character: the line keeps only whole ones.
    cycle.realTime = "\"realTime\":\"" + QByteArray(watchlog::maxRealTimeBytes - 13, 'x') + "\xe2\x82\xac tail\"";
    QByteArray line = watchlog::cycleLine(1765227600000, 500, cycle);
    QCOMPARE(line, "2025-12-08T21:00:00.000Z\tok\t500\t1\t1\t1\t1\t\"realTime\":\"" +
                       QByteArray(watchlog::maxRealTimeBytes - 13, 'x') + "\n");
    // Whatever reaches it, no field holds a tab or a line break.
    cycle.realTime = "a\tb\nc\rd\x7f";
    line = watchlog::cycleLine(0, 0, cycle);
    QCOMPARE(line, "1970-01-01T00:00:00.000Z\tok\t0\t1\t1\t1\t1\ta?b?c?d?\n");
}

void WatchLogTest::outageBounds_data()
{
    QTest::addColumn<QByteArrayList>("logs");  // files, read in this order
    QTest::addColumn<QByteArray>("since");
    QTest::addColumn<QByteArray>("until");
    QTest::addColumn<QByteArray>("outages");
    QTest::addColumn<QByteArray>("summary");  // watched ms, runs, cycles, bad replies, failed connections
    QTest::addColumn<int>("warnings");        // files read once though given twice

    const QByteArray start = "# testVRN730-watch 1.0.0 started 2026-10-25T00:59:59.000Z: testVRN730 -i x -p 500 -t "
                             "1000\n" +
                             watchlog::header;
    auto at = [](const char *time, const char *state) {
        return QByteArray("2026-10-25T") + time + "Z\t" + state + "\t500\t" +
               (qstrcmp(state, "no-connection") == 0 ? "\t\t\t\t" : "1\t10\t1\t1\t");
    };
    QTest::newRow("a single bad cycle lasts its own cycle: from the good one before to the good one's start")
        << QByteArrayList{start +
                          logOf({at("01:00:00.000", "ok"), at("01:00:00.500", "error"), at("01:00:01.000", "ok")})}
        << QByteArray() << QByteArray()
        << QByteArray("2026-10-25T01:00:00.000Z\t2026-10-25T01:00:00.500Z\t0.500\t1\terror\n")
        << QByteArray("2000 1 3 1 0") << 0;
    QTest::newRow("an outage at the run's end lasts to its stop line")
        << QByteArrayList{start + logOf({at("01:00:00.000", "ok"), at("01:00:00.500", "no-connection"),
                                         at("01:00:01.000", "error"), "# stopped 2026-10-25T01:00:01.250Z (SIGINT)"})}
        << QByteArray() << QByteArray()
        << QByteArray("2026-10-25T01:00:00.000Z\t2026-10-25T01:00:01.250Z\t1.250\t2\terror,no-connection\n")
        << QByteArray("2250 1 3 1 1") << 0;
    QTest::newRow("without a stop line, to its last cycle; a bad first cycle from the run's start")
        << QByteArrayList{start + logOf({at("01:00:00.000", "error"), at("01:00:00.500", "ok"),
                                         at("01:00:01.000", "no-connection")})}
        << QByteArray() << QByteArray()
        << QByteArray("2026-10-25T00:59:59.000Z\t2026-10-25T01:00:00.000Z\t1.000\t1\terror\n"
                      "2026-10-25T01:00:00.500Z\t2026-10-25T01:00:01.000Z\t0.500\t1\tno-connection\n")
        << QByteArray("2000 1 3 1 1") << 0;
    // The clocks went back an hour at 01:00 UTC on this day in Europe; UTC did not.
    QTest::newRow("two runs appended: the time between them is no outage")
        << QByteArrayList{start +
                          logOf({at("01:00:00.000", "ok"), at("01:00:00.500", "error"),
                                 "# stopped 2026-10-25T01:00:00.700Z (SIGTERM)"}) +
                          QByteArray(start).replace("00:59:59.000Z", "01:00:21.000Z") +
                          logOf({at("01:00:21.500", "ok"), at("01:00:22.000", "ok")})}
        << QByteArray() << QByteArray()
        << QByteArray("2026-10-25T01:00:00.000Z\t2026-10-25T01:00:00.700Z\t0.700\t1\terror\n")
        << QByteArray("2700 2 4 1 0") << 0;
    QTest::newRow("a rotated log joins its run again, in either order")
        << QByteArrayList{"# testVRN730-watch 1.0.0 continued 2026-10-25T00:59:59.000Z: testVRN730 -i x\n" +
                              watchlog::header + logOf({at("01:00:01.000", "no-connection"), at("01:00:01.500", "ok")}),
                          start + logOf({at("01:00:00.000", "ok"), at("01:00:00.500", "error")})}
        << QByteArray() << QByteArray()
        << QByteArray("2026-10-25T01:00:00.000Z\t2026-10-25T01:00:01.000Z\t1.000\t2\terror,no-connection\n")
        << QByteArray("2500 1 4 1 1") << 0;
    const QByteArray continued =
        "# testVRN730-watch 1.0.0 continued 2026-10-25T00:59:59.000Z: testVRN730 -i x\n" + watchlog::header;
    QTest::newRow("a rotated file read alone is watched from its first cycle, not from its run's start")
        << QByteArrayList{continued +
                          logOf({at("01:00:10.000", "ok"), at("01:00:10.500", "error"), at("01:00:11.000", "ok")})}
        << QByteArray() << QByteArray()
        << QByteArray("2026-10-25T01:00:10.000Z\t2026-10-25T01:00:10.500Z\t0.500\t1\terror\n")
        << QByteArray("1500 1 3 1 0") << 0;
    const QByteArray night = start + logOf({at("01:00:00.000", "ok"), at("01:00:00.500", "error"),
                                            at("01:00:01.000", "ok"), "# stopped 2026-10-25T01:00:01.100Z (SIGINT)"});
    QTest::newRow("the same file twice is read once")
        << QByteArrayList{night, night} << QByteArray() << QByteArray()
        << QByteArray("2026-10-25T01:00:00.000Z\t2026-10-25T01:00:00.500Z\t0.500\t1\terror\n")
        << QByteArray("2100 1 3 1 0") << 1;
    QTest::newRow("a rotated file given twice beside the other is read once")
        << QByteArrayList{start + logOf({at("01:00:00.000", "ok"), at("01:00:00.500", "error")}),
                          continued + logOf({at("01:00:01.000", "ok")}), continued + logOf({at("01:00:01.000", "ok")})}
        << QByteArray() << QByteArray()
        << QByteArray("2026-10-25T01:00:00.000Z\t2026-10-25T01:00:00.500Z\t0.500\t1\terror\n")
        << QByteArray("2000 1 3 1 0") << 1;
    QTest::newRow("--since and --until cut an outage to the window")
        << QByteArrayList{start + logOf({at("01:00:00.000", "ok"), at("01:00:01.000", "error"),
                                         at("01:00:02.000", "error"), at("01:00:03.000", "ok")})}
        << QByteArray("2026-10-25 01:00:01.500") << QByteArray("2026-10-25T01:00:02.500Z")
        << QByteArray("2026-10-25T01:00:01.500Z\t2026-10-25T01:00:02.500Z\t1.000\t1\terror\n")
        << QByteArray("1000 1 1 1 0") << 0;
    QTest::newRow("a cycle stamped at --since is within the window")
        << QByteArrayList{start +
                          logOf({at("01:00:00.500", "ok"), at("01:00:01.000", "error"), at("01:00:01.500", "ok")})}
        << QByteArray("2026-10-25T01:00:01.000Z") << QByteArray()
        << QByteArray("2026-10-25T01:00:01.000Z\t2026-10-25T01:00:01.000Z\t0.000\t1\terror\n")
        << QByteArray("500 1 2 1 0") << 0;
    // Lines before --since are passed over unparsed, but for their state.
    QTest::newRow("an outage begun before --since keeps the kinds of its cycles before it")
        << QByteArrayList{start + logOf({at("01:00:00.000", "ok"), at("01:00:00.500", "no-connection"),
                                         at("01:00:01.000", "no-connection"), at("01:00:01.500", "error"),
                                         at("01:00:02.000", "ok")})}
        << QByteArray("2026-10-25T01:00:01.200Z") << QByteArray()
        << QByteArray("2026-10-25T01:00:01.200Z\t2026-10-25T01:00:01.500Z\t0.300\t1\terror,no-connection\n")
        << QByteArray("800 1 2 1 0") << 0;
}

void WatchLogTest::outageBounds()
{
    QFETCH(QByteArrayList, logs);
    QFETCH(QByteArray, since);
    QFETCH(QByteArray, until);
    QFETCH(QByteArray, outages);
    QFETCH(QByteArray, summary);
    QFETCH(int, warnings);

    watchlog::Window window;
    QVERIFY(since.isEmpty() || watchlog::parseTimeArgument(since, &window.sinceMs));
    QVERIFY(until.isEmpty() || watchlog::parseTimeArgument(until, &window.untilMs));
    const Read read = readLogs(logs, window);
    QVERIFY2(read.warnings.size() == warnings, read.warnings.join('\n').constData());
    QCOMPARE(read.messages, QList<QByteArray>());
    const QList<watchlog::Run> &runs = read.runs;
    const watchlog::Summary result = watchlog::summarize(runs, window);
    QCOMPARE(watchlog::outageLines(result), outages);
    QCOMPARE(QByteArray::number(result.watchedMs) + ' ' + QByteArray::number(result.runs) + ' ' +
                 QByteArray::number(result.counts.cycles) + ' ' + QByteArray::number(result.counts.errors) + ' ' +
                 QByteArray::number(result.counts.failures),
             summary);
}

// What the report makes of runs apart, lost cycles, short blips, clock steps and late stamps.
void WatchLogTest::whatTheReportSays_data()
{
    QTest::addColumn<QByteArray>("log");
    QTest::addColumn<qint64>("minOutageMs");
    QTest::addColumn<QByteArray>("outages");
    QTest::addColumn<QByteArray>("unwatched");
    QTest::addColumn<qint64>("watchedMs");
    QTest::addColumn<QByteArrayList>("said");  // in the report

    const QByteArray start =
        "# testVRN730-watch 1.0.0 started 2026-12-09T01:00:00.000Z: testVRN730 -i x\n" + watchlog::header;
    auto at = [](const char *stamp, const char *state, const char *cycleMs = "500") {
        return "2026-12-09T" + QByteArray(stamp) + "Z\t" + state + '\t' + cycleMs + "\t1\t10\t1\t1\t";
    };
    const QByteArray second = QByteArray(start).replace("01:00:00.000Z", "01:00:21.000Z");
    QTest::newRow("between two runs nothing watched")
        << start + logOf({at("01:00:00.500", "ok"), "# stopped 2026-12-09T01:00:00.700Z (SIGTERM)"}) + second +
               logOf({at("01:00:21.500", "ok"), "# stopped 2026-12-09T01:00:22.000Z (SIGTERM)"})
        << qint64{0} << QByteArray()
        << QByteArray("2026-12-09T01:00:00.700Z\t2026-12-09T01:00:21.000Z\t20.300\tno watch ran\n") << qint64{1700}
        << QByteArrayList();
    QTest::newRow("a run with no stop line: killed, or the machine stopped")
        << start + logOf({at("01:00:00.500", "ok")}) + second + logOf({at("01:00:21.500", "ok")}) << qint64{0}
        << QByteArray()
        << QByteArray("2026-12-09T01:00:00.500Z\t2026-12-09T01:00:21.000Z\t20.500\tthe run before has no stop "
                      "line: the watch was killed, or the machine stopped\n")
        << qint64{1000}
        << QByteArrayList{"\nThe last run has no stop line after 2026-12-09T01:00:21.500Z:\n  the watch was killed, "
                          "or the machine stopped.\n"};
    QTest::newRow("cycles lost to a full disk are unwatched, not watched")
        << start + logOf({at("01:00:00.500", "ok"),
                          "# lost 4 cycles from 2026-12-09T01:00:01.000Z to 2026-12-09T01:00:02.500Z: cannot write to "
                          "dev.log: No space left on device",
                          at("01:00:03.000", "ok"), "# stopped 2026-12-09T01:00:03.000Z (SIGINT)"})
        << qint64{0} << QByteArray()
        << QByteArray("2026-12-09T01:00:01.000Z\t2026-12-09T01:00:02.500Z\t1.500\t4 cycles not written: cannot "
                      "write to dev.log: No space left on device\n")
        << qint64{1500} << QByteArrayList();
    const QByteArray blips =
        start + logOf({at("01:00:00.500", "ok"), at("01:00:01.000", "error"), at("01:00:01.500", "ok"),
                       at("01:00:02.000", "no-connection"), at("01:00:02.500", "no-connection"),
                       at("01:00:03.000", "ok"), "# stopped 2026-12-09T01:00:03.000Z (SIGINT)"});
    const QByteArray longBlip = "2026-12-09T01:00:01.500Z\t2026-12-09T01:00:02.500Z\t1.000\t2\tno-connection\n";
    QTest::newRow("--min-outage 1 leaves the 0.5 s blip out")
        << blips << qint64{1000} << longBlip << QByteArray() << qint64{3000} << QByteArrayList();
    QTest::newRow("--min-outage 0 keeps all")
        << blips << qint64{0} << "2026-12-09T01:00:00.500Z\t2026-12-09T01:00:01.000Z\t0.500\t1\terror\n" + longBlip
        << QByteArray() << qint64{3000} << QByteArrayList();
    QTest::newRow("the wall clock set back 15 minutes within an outage: its length from cycle_ms")
        << start + logOf({at("01:00:00.500", "ok"), at("01:00:01.000", "error"), at("00:45:01.500", "error"),
                          at("00:45:02.000", "ok"), "# stopped 2026-12-09T00:45:02.100Z (SIGINT)"})
        << qint64{0} << QByteArray("2026-12-09T01:00:00.500Z\t2026-12-09T01:00:00.500Z\t1.000\t2\terror\n")
        << QByteArray() << qint64{2100}
        << QByteArrayList{"Clock steps: 1;", "  before 2026-12-09T00:45:01.500Z, the wall clock went back 900.000 s\n"};
    QTest::newRow("set forward an hour within an outage: its length from cycle_ms")
        << start + logOf({at("01:00:00.500", "ok"), at("01:00:01.000", "error"), at("02:00:01.500", "error"),
                          at("02:00:02.000", "ok"), "# stopped 2026-12-09T02:00:02.100Z (SIGINT)"})
        << qint64{0} << QByteArray("2026-12-09T01:00:00.500Z\t2026-12-09T02:00:01.500Z\t1.000\t2\terror\n")
        << QByteArray() << qint64{2100}
        << QByteArrayList{"the wall clock went forward 3600.000 s\n", "Longest outage  1.000 s"};
    QTest::newRow("held up for a minute, then stamped at once: the outage as long as the stamps allow")
        << start + logOf({at("01:00:00.500", "ok"), at("01:01:01.000", "ok", "60500"), at("01:01:01.000", "ok", "0"),
                          at("01:01:01.000", "error", "0"), at("01:01:01.000", "no-connection", "0"),
                          at("01:01:01.000", "ok", "0"), at("01:01:01.500", "ok"),
                          "# stopped 2026-12-09T01:01:01.600Z (SIGINT)"})
        << qint64{0}
        << QByteArray("2026-12-09T01:00:00.500Z\t2026-12-09T01:01:01.000Z\t60.500\t2\terror,no-connection\n")
        << QByteArray() << qint64{61600}
        << QByteArrayList{"error,no-connection (approximate)\n",
                          "  2026-12-09T01:01:01.000Z  5 cycles, held up to 60.500 s\n"};
    // That the first of them was stamped late is known only once the second is read.
    QTest::newRow("an outage ended by the first of the cycles stamped late ends as late as it can")
        << start + logOf({at("01:00:00.500", "ok"), at("01:00:01.000", "error"), at("01:01:01.500", "ok", "60500"),
                          at("01:01:01.500", "ok", "0"), at("01:01:02.000", "ok"),
                          "# stopped 2026-12-09T01:01:02.100Z (SIGINT)"})
        << qint64{0} << QByteArray("2026-12-09T01:00:00.500Z\t2026-12-09T01:01:01.500Z\t61.000\t1\terror\n")
        << QByteArray() << qint64{62100}
        << QByteArrayList{"error (approximate)\n", "  2026-12-09T01:01:01.500Z  2 cycles, held up to 60.500 s\n"};
}

// What a read of a log keeps of the lines between its start line and a last good cycle:
// cycles, a stated format up to the reader's own, and nothing else, each other line
// passed over and counted; a newer format stops the file.
void WatchLogTest::readingALog_data()
{
    QTest::addColumn<QByteArray>("lines");
    QTest::addColumn<qint64>("cycles");       // with the last
    QTest::addColumn<qint64>("monoMs");       // their cycle_ms, the last's 500 among them
    QTest::addColumn<QByteArray>("message");  // how the one message ends; empty: none

    const QByteArray passedOver = ": 1 line is not the log's, and was passed over";
    const QByteArray stamp = "2026-12-09T01:00:00.500Z";
    QTest::newRow("a good cycle") << stamp + "\tok\t1502\t1\t10\t1\t1\t\"realTime\":\"x\"\n"
                                  << qint64{2} << qint64{2002} << QByteArray();
    QTest::newRow("a failed connection, its fields empty") << stamp + "\tno-connection\t7\t\t\t\t\t\n"
                                                           << qint64{2} << qint64{507} << QByteArray();
    QTest::newRow("a field short") << stamp + "\tok\t5\t1\t10\t1\t1\n" << qint64{1} << qint64{500} << passedOver;
    QTest::newRow("a field over") << stamp + "\tok\t5\t1\t10\t1\t1\t\tx\n" << qint64{1} << qint64{500} << passedOver;
    QTest::newRow("a state not the log's") << stamp + "\tOK\t5\t1\t10\t1\t1\t\n"
                                           << qint64{1} << qint64{500} << passedOver;
    QTest::newRow("a signed cycle_ms") << stamp + "\tok\t-5\t1\t10\t1\t1\t\n" << qint64{1} << qint64{500} << passedOver;
    QTest::newRow("an empty cycle_ms") << stamp + "\tok\t\t1\t10\t1\t1\t\n" << qint64{1} << qint64{500} << passedOver;
    // The second line's minute is parsed already, so its seconds take the quick way.
    QTest::newRow("61 seconds in a minute already read")
        << stamp + "\tok\t5\t1\t10\t1\t1\t\n2026-12-09T01:00:61.000Z\tok\t5\t1\t10\t1\t1\t\n"
        << qint64{2} << qint64{505} << passedOver;
    QTest::newRow("a stamp without its zone")
        << QByteArray("2026-12-09T01:00:00.500\tok\t5\t1\t10\t1\t1\t\n") << qint64{1} << qint64{500} << passedOver;
    QTest::newRow("a stamp cut short") << QByteArray("2026-12-09T01:00\n") << qint64{1} << qint64{500} << passedOver;
    QTest::newRow("a line longer than any the watch writes: one line, however long")
        << QByteArray(3 << 20, 'x') + '\n'
        << qint64{1} << qint64{500} << passedOver;
    QTest::newRow("format 1, as the header states it") << watchlog::header << qint64{1} << qint64{500} << QByteArray();
    QTest::newRow("no format line, as the first watches wrote them")
        << QByteArray() << qint64{1} << qint64{500} << QByteArray();
    QTest::newRow("a newer format: refused, naming both")
        << QByteArray("# log format 2\n") << qint64{0} << qint64{0}
        << QByteArray(": its log format 2 is newer than format 1, which this testVRN730-watch reads; read it with a "
                      "newer one");
    QTest::newRow("a format that is no number")
        << QByteArray("# log format two\n") << qint64{1} << qint64{500} << passedOver;
}

void WatchLogTest::readingALog()
{
    QFETCH(QByteArray, lines);
    QFETCH(qint64, cycles);
    QFETCH(qint64, monoMs);
    QFETCH(QByteArray, message);
    const Read read = readLogs({"# testVRN730-watch 1.0.0 started 2026-12-09T01:00:00.000Z: testVRN730 -i x\n" + lines +
                                "2026-12-09T01:00:01.000Z\tok\t500\t1\t10\t1\t1\t\n"});
    QCOMPARE(read.messages.size(), message.isEmpty() ? 0 : 1);
    if (!message.isEmpty())
        QVERIFY2(read.messages[0].endsWith(message), read.messages[0].constData());
    QCOMPARE(read.runs.size(), 1);
    QCOMPARE(read.runs[0].cycles, cycles);
    QCOMPARE(read.runs[0].monoMs, monoMs);
}

// The picture's interval: whole cycles while an interval holds few, so that a steady
// device draws a flat line; a step a clock reads well once a cycle more or less is lost
// in it.
void WatchLogTest::plotIntervals_data()
{
    QTest::addColumn<qint64>("spanMs");
    QTest::addColumn<qint64>("cycleMs");
    QTest::addColumn<qint64>("intervalMs");
    QTest::newRow("ten minutes of 1.502 s cycles: two cycles") << qint64{600000} << qint64{1502} << qint64{3004};
    QTest::newRow("ten minutes of 102 ms cycles: 30 cycles") << qint64{600000} << qint64{102} << qint64{3060};
    QTest::newRow("a night of 1.5 s cycles: 5 minutes") << qint64{12 * 3600000} << qint64{1500} << qint64{300000};
    QTest::newRow("a month of 100 ms cycles: 6 hours") << qint64{30 * 86400000LL} << qint64{100} << qint64{21600000};
    QTest::newRow("a span shorter than a cycle: one cycle") << qint64{500} << qint64{1500} << qint64{1500};
    QTest::newRow("no cycle length known: whole milliseconds") << qint64{100} << qint64{0} << qint64{1};
}

void WatchLogTest::plotIntervals()
{
    QFETCH(qint64, spanMs);
    QFETCH(qint64, cycleMs);
    QFETCH(qint64, intervalMs);
    QCOMPARE(watchlog::countingIntervalMs(spanMs, cycleMs), intervalMs);
    QVERIFY(spanMs / intervalMs <= watchlog::maxBins);
}

// Percentiles of cycle lengths, from 1 ms to an hour, within the 1.6% the scale promises.
void WatchLogTest::lengthPercentiles()
{
    for (const qint64 ms :
         {qint64{1}, qint64{31}, qint64{33}, qint64{102}, qint64{1502}, qint64{60500}, qint64{3600000}}) {
        watchlog::LengthHistogram lengths;
        for (int i = 0; i < 9; ++i)
            lengths.add(ms / 2);
        lengths.add(ms);
        for (int i = 0; i < 10; ++i)
            lengths.add(ms * 2);
        QVERIFY2(qAbs(lengths.percentile(0.5) - ms) <= ms * 0.016 + 0.5, QByteArray::number(ms).constData());
        QVERIFY(qAbs(lengths.percentile(0.1) - ms / 2) <= ms * 0.008 + 0.5);
        QVERIFY(qAbs(lengths.percentile(0.9) - ms * 2) <= ms * 0.032 + 0.5);
    }
}

void WatchLogTest::whatTheReportSays()
{
    QFETCH(QByteArray, log);
    QFETCH(qint64, minOutageMs);
    QFETCH(QByteArray, outages);
    QFETCH(QByteArray, unwatched);
    QFETCH(qint64, watchedMs);
    QFETCH(QByteArrayList, said);

    const Read read = readLogs({log});
    QCOMPARE(read.messages, QList<QByteArray>());
    const watchlog::Summary result = watchlog::summarize(read.runs, watchlog::Window(), minOutageMs);
    QCOMPARE(watchlog::outageLines(result), outages);
    QCOMPARE(watchlog::unwatchedLines(result), unwatched);
    QCOMPARE(result.watchedMs, watchedMs);
    const QByteArray report = watchlog::reportText(result);
    for (const QByteArray &line : unwatched.split('\n'))  // each span in the report's own list
        if (!line.isEmpty())
            said.append(line.split('\t').value(3) + '\n');
    for (const QByteArray &text : said)
        QVERIFY2(report.contains(text), report.constData());
    // Cycles left out of the list still count.
    QCOMPARE(result.counts.cycles,
             qint64(log.count("\tok\t") + log.count("\terror\t") + log.count("\tno-connection\t")));
}

// Logs of two devices are reported device by device; one device's, as before.
void WatchLogTest::severalDevicesDeviceByDevice()
{
    auto logOfDevice = [](const char *device, const char *state) {
        return "# testVRN730-watch 1.0.0 started 2026-12-09T01:00:00.000Z: testVRN730 -i " + QByteArray(device) +
               " -p 500 -t 1000\n" + watchlog::header + "2026-12-09T01:00:00.500Z\tok\t500\t1\t10\t1\t1\t\n" +
               "2026-12-09T01:00:01.000Z\t" + state + "\t500\t\t\t\t\t\n" +
               "2026-12-09T01:00:01.500Z\tok\t500\t1\t10\t1\t1\t\n# stopped 2026-12-09T01:00:02.000Z (SIGINT)\n";
    };
    const Read read = readLogs({logOfDevice("10.0.0.2", "no-connection"), logOfDevice("10.0.0.1", "no-connection")});
    const QList<watchlog::Run> &runs = read.runs;
    QCOMPARE(read.warnings, QList<QByteArray>());
    const QByteArray report = watchlog::reportOf(runs, watchlog::Window(), 0, watchlog::Listing::Report);
    QVERIFY2(report.startsWith("Device 10.0.0.1\n\nWatched 0:00:02.000 in 1 run (UTC)\n") &&
                 report.contains("\nDevice 10.0.0.2\n\nWatched 0:00:02.000 in 1 run (UTC)\n"),
             report.constData());
    QCOMPARE(watchlog::reportOf(runs, watchlog::Window(), 0, watchlog::Listing::Outages),
             QByteArray("10.0.0.1\t2026-12-09T01:00:00.500Z\t2026-12-09T01:00:01.000Z\t0.500\t1\tno-connection\n"
                        "10.0.0.2\t2026-12-09T01:00:00.500Z\t2026-12-09T01:00:01.000Z\t0.500\t1\tno-connection\n"));
    const QList<watchlog::Run> one = runs.mid(0, 1);
    QVERIFY(watchlog::reportOf(one, watchlog::Window(), 0, watchlog::Listing::Report).startsWith("Watched "));
    QVERIFY(watchlog::reportOf(one, watchlog::Window(), 0, watchlog::Listing::Outages).startsWith("2026-"));
}

// logrotate compresses the older files with gzip: they read as the plain ones do.
void WatchLogTest::readsCompressedLogs()
{
    QTemporaryDir work;
    QVERIFY(work.isValid());
    const QByteArray log = "# testVRN730-watch 1.0.0 started 2026-12-08T21:00:00.000Z: testVRN730 -i x\n" +
                           watchlog::header + "2026-12-08T21:00:00.500Z\tok\t500\t1\t10\t1\t1\t\n" +
                           "2026-12-08T21:00:01.000Z\terror\t500\t1\t10\t1\t0\t\n";
    QFile plain(work.filePath("dev.log.1"));
    QVERIFY(plain.open(QIODevice::WriteOnly) && plain.write(log) == log.size());
    plain.close();
    QCOMPARE(QProcess::execute("gzip", {"-k", plain.fileName()}), 0);
    for (const QString &name : {QStringLiteral("dev.log.1"), QStringLiteral("dev.log.1.gz")}) {
        watchlog::LogSet set;
        watchlog::Reader reader;
        QList<QByteArray> messages;
        QVERIFY(set.open({QFile::encodeName(work.filePath(name))}, &messages));
        QVERIFY(set.readInto(&reader, &messages));
        QCOMPARE(messages, QList<QByteArray>());
        const watchlog::Summary summary = watchlog::summarize(reader.runs(), watchlog::Window());
        QCOMPARE(summary.counts.cycles, qint64{2});
        QCOMPARE(summary.counts.errors, qint64{1});
    }
    QFile compressed(work.filePath("dev.log.1.gz"));
    QVERIFY(compressed.open(QIODevice::ReadOnly));
    QFile truncated(work.filePath("cut.log.gz"));
    QVERIFY(truncated.open(QIODevice::WriteOnly));
    truncated.write(compressed.readAll().left(30));
    truncated.close();
    watchlog::LogSet set;
    watchlog::Reader reader;
    QList<QByteArray> messages;
    QVERIFY(!set.open({QFile::encodeName(truncated.fileName())}, &messages) || !set.readInto(&reader, &messages));
    QCOMPARE(messages.size(), 1);
    QVERIFY2(messages[0].startsWith("cannot read " + QFile::encodeName(truncated.fileName()) + ": "),
             messages[0].constData());
}

// A log from a pipe (process substitution, say) is read whole, and twice as plot reads
// it: a pipe gives its bytes once.
void WatchLogTest::readsALogFromAPipeTwice()
{
    QTemporaryDir work;
    QVERIFY(work.isValid());
    const QByteArray fifo = QFile::encodeName(work.filePath("pipe"));
    QCOMPARE(mkfifo(fifo.constData(), 0600), 0);
    QByteArray log = "# testVRN730-watch 1.0.0 started 2026-12-09T01:00:00.000Z: testVRN730 -i x\n" + watchlog::header;
    for (int i = 1; i <= 2000; ++i)  // more than the head read to order the files
        log += watchlog::utcStamp(1796778000000 + i * 500) + "\tok\t500\t1\t10\t1\t1\t\"realTime\":\"01:00\"\n";
    QFile plain(work.filePath("dev.log"));
    QVERIFY(plain.open(QIODevice::WriteOnly) && plain.write(log) == log.size());
    plain.close();
    QProcess writer;
    writer.start("sh", {"-c", "cat \"$0\" > \"$1\"", plain.fileName(), QString::fromUtf8(fifo)});
    QVERIFY(writer.waitForStarted());
    watchlog::LogSet set;
    QList<QByteArray> messages;
    QVERIFY(set.open({fifo}, &messages));
    for (int pass = 1; pass <= 2; ++pass) {
        watchlog::Reader reader;
        QVERIFY(set.readInto(&reader, &messages));
        QCOMPARE(messages, QList<QByteArray>());
        const QList<watchlog::Run> runs = reader.runs();
        QCOMPARE(runs.size(), 1);
        QCOMPARE(runs[0].cycles, qint64{2000});
    }
    QVERIFY(writer.waitForFinished(30000));
}

void WatchLogTest::writerFollowsItsFile_data()
{
    QTest::addColumn<QByteArray>("between");  // what is done to the log between two writes
    QTest::addColumn<QByteArray>("log");      // then
    QTest::addColumn<QByteArray>("rotated");  // log.1, if any
    QTest::newRow("left alone") << QByteArray() << QByteArray("one\ntwo\n") << QByteArray();
    QTest::newRow("renamed, and a new one made in its place, as logrotate's create does")
        << QByteArray("rename create") << QByteArray("continued\ntwo\n") << QByteArray("one\n");
    QTest::newRow("renamed") << QByteArray("rename") << QByteArray("continued\ntwo\n") << QByteArray("one\n");
    QTest::newRow("removed") << QByteArray("remove") << QByteArray("continued\ntwo\n") << QByteArray();
}

void WatchLogTest::writerFollowsItsFile()
{
    QFETCH(QByteArray, between);
    QFETCH(QByteArray, log);
    QFETCH(QByteArray, rotated);
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString path = dir.filePath(QStringLiteral("x.log"));
    const QString old = path + QStringLiteral(".1");
    LogWriter writer(QFile::encodeName(path));
    QVERIFY(writer.open());
    writer.setContinuedLines("continued\n");
    QVERIFY(writer.write("one\n", 1, 0));
    if (between.contains("rename"))
        QVERIFY(QFile::rename(path, old));
    if (between.contains("remove"))
        QVERIFY(QFile::remove(path));
    if (between.contains("create")) {
        QFile made(path);
        QVERIFY(made.open(QIODevice::WriteOnly));
    }
    QVERIFY(writer.write("two\n", 1, 0));
    const auto contents = [](const QString &name) {
        QFile file(name);
        return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
    };
    QCOMPARE(contents(path), log);
    QCOMPARE(contents(old), rotated);
}

void WatchLogTest::timeArguments_data()
{
    QTest::addColumn<QByteArray>("text");
    QTest::addColumn<QByteArray>("stamp");  // empty: refused
    QTest::newRow("a date") << QByteArray("2026-12-08") << QByteArray("2026-12-08T00:00:00.000Z");
    QTest::newRow("to the minute, with a blank")
        << QByteArray("2026-12-08 21:05") << QByteArray("2026-12-08T21:05:00.000Z");
    QTest::newRow("the log's own form") << QByteArray("2028-02-29T23:59:59.999Z")
                                        << QByteArray("2028-02-29T23:59:59.999Z");
    QTest::newRow("no 29 February in 2026") << QByteArray("2026-02-29") << QByteArray();
    QTest::newRow("no offset but Z") << QByteArray("2026-12-08T21:00+01:00") << QByteArray();
}

void WatchLogTest::timeArguments()
{
    QFETCH(QByteArray, text);
    QFETCH(QByteArray, stamp);
    qint64 ms = 0;
    QCOMPARE(watchlog::parseTimeArgument(text, &ms), !stamp.isEmpty());
    if (!stamp.isEmpty())
        QCOMPARE(watchlog::utcStamp(ms), stamp);
}

QTEST_GUILESS_MAIN(WatchLogTest)
#include "tst_watch_log.moc"
