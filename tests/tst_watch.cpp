// testVRN730-watch as a user runs it: in a terminal against device_sim with a seeded fault
// mix and down time until Ctrl-C, stopped every other way, across a log rotation, and
// read back as a report and a picture.
#include "poll_harness.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QtTest>

#include <csignal>
#include <numeric>

#include <sys/types.h>
#include <unistd.h>

using namespace harness;

namespace {

const QString watchProgram = QStringLiteral(WATCH);

QByteArray contentsOf(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

qint64 msOfUtc(const QString &stamp)
{
    return QDateTime::fromString(stamp, Qt::ISODateWithMs).toMSecsSinceEpoch();
}

// device_sim stamps its log in local time.
qint64 msOfLocal(const QString &stamp)
{
    return QDateTime::fromString(stamp, QStringLiteral("yyyy-MM-dd HH:mm:ss.zzz")).toMSecsSinceEpoch();
}

const QString simStamp = QStringLiteral("\\d{4}-\\d\\d-\\d\\d \\d\\d:\\d\\d:\\d\\d\\.\\d{3}");
const QString utcStamp = QStringLiteral("\\d{4}-\\d\\d-\\d\\dT\\d\\d:\\d\\d:\\d\\d\\.\\d{3}Z");

struct Run {
    int exitCode;
    QByteArray output;
    QByteArray errors;
};

Run run(const QString &directory, const QString &program, const QStringList &arguments,
        const QProcessEnvironment &environment = QProcessEnvironment::systemEnvironment())
{
    QProcess process;
    process.setWorkingDirectory(directory);
    process.setProcessEnvironment(environment);
    process.start(program, arguments);
    if (!process.waitForFinished(30000))
        endByPid(process);
    return {process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1, process.readAllStandardOutput(),
            process.readAllStandardError()};
}

// The log's cycle lines: every one has the eight fields.
QList<QByteArrayList> cycleLinesOf(const QByteArray &log)
{
    QList<QByteArrayList> lines;
    for (const QByteArray &line : log.split('\n'))
        if (!line.isEmpty() && !line.startsWith('#') && !line.startsWith("time\t"))
            lines.append(line.split('\t'));
    return lines;
}

// The verdicts device_sim logged, a request a line.
QByteArrayList simVerdicts(const QByteArray &simLog)
{
    QByteArrayList verdicts;
    const QRegularExpression request(QStringLiteral("body \\d+ bytes: (\\S+)\n"));
    for (auto match = request.globalMatch(QString::fromLatin1(simLog)); match.hasNext();)
        verdicts.append(match.next().captured(1).toLatin1());
    return verdicts;
}

bool pngOfSize(const QByteArray &png, int width, int height)
{
    auto big32 = [&](int at) {
        return (static_cast<quint8>(png[at]) << 24) | (static_cast<quint8>(png[at + 1]) << 16) |
               (static_cast<quint8>(png[at + 2]) << 8) | static_cast<quint8>(png[at + 3]);
    };
    return png.startsWith("\x89PNG\r\n\x1a\n") && png.mid(12, 4) == "IHDR" && big32(16) == width && big32(20) == height;
}

// The client a watch started: its only child.
qint64 childOf(qint64 pid)
{
    const QByteArray children = contentsOf(QStringLiteral("/proc/%1/task/%1/children").arg(pid)).trimmed();
    return children.isEmpty() || children.contains(' ') ? -1 : children.toLongLong();
}

struct DownWindow {
    qint64 downMs;
    qint64 upMs;
    int dropped;
};

}  // namespace

class WatchTest : public QObject {
    Q_OBJECT

private slots:
    void watchesUntilCtrlCAndReportsWhatTheDeviceDid();
    void stopsWithEveryFinishedCycle_data();
    void stopsWithEveryFinishedCycle();
    void keepsWritingAcrossARotation();
    void watchesOnThroughAFullDisk();
    void secondWatchOnALogRefuses();
    void fleetFollowsItsTargetsFile();
    void refusesBadUsage_data();
    void refusesBadUsage();
    void plotsTextThatFitsTheTerminal();
    void plotNamesTheMissingPackage();
};

void WatchTest::watchesUntilCtrlCAndReportsWhatTheDeviceDid()
{
    const QString address = nextLoopbackAddress(6);
    SimRun sim({"--listen", address, "--port", "80", "--close", "--fault-rate", "0.3", "--faults",
                "truncated,no-brace,refuse,reset,garbage,zero-byte", "--seed", "7", "--down-ms", "1000", "--up-ms",
                "2500"});
    QVERIFY(sim.waitForListening());

    QTemporaryDir work;
    QVERIFY(work.isValid());
    QProcess terminal;
    terminal.setWorkingDirectory(work.path());
    terminal.start(QStringLiteral("script"),
                   {"-qfec", "'" + watchProgram + "' -i " + address + " -p 100 -t 300", "/dev/null"});
    QVERIFY(terminal.waitForStarted(5000));
    // Three down windows, then a good cycle after the last: on a loaded machine the watch may
    // start its client in the middle of the first.
    const bool sawWindows = QTest::qWaitFor([&] { return sim.log().count("up again") >= 3; }, 30000);
    QTest::qWait(800);
    QByteArray screen = terminal.readAllStandardOutput();
    terminal.write("\x03");  // Ctrl-C, as typed
    const bool ended = terminal.waitForFinished(10000);
    screen += terminal.readAllStandardOutput();
    endByPid(terminal);
    QTest::qWait(300);
    QVERIFY(sim.terminate(5000));
    QVERIFY(sawWindows);
    QVERIFY2(ended, "the watch did not end on Ctrl-C");
    QVERIFY2(screen.contains("nLoop:\t1\t\"realTime\":"), "the client's status line reaches the terminal");
    QVERIFY2(screen.contains("\033[0;37;41mNo connection\033[0m"), "so do its failed connections");

    // The run's lines, then a cycle a line, then its stop.
    const QString logPath = work.filePath("testVRN730-watch.log");
    const QByteArray log = contentsOf(logPath);
    QVERIFY2(QRegularExpression(
                 "^# testVRN730-watch " PROJECT_VERSION " started " + utcStamp + ": testVRN730 -i " +
                 QRegularExpression::escape(address) +
                 " -p 100 -t 300\n# log format 1\ntime\tstate\tcycle_ms\tloops\tbytes\topen\tclose\trealTime\n")
                 .match(QString::fromLatin1(log))
                 .hasMatch(),
             log.left(300).constData());
    QVERIFY2(
        QRegularExpression("\n# stopped " + utcStamp + " \\(SIGINT\\)\n$").match(QString::fromLatin1(log)).hasMatch(),
        log.right(300).constData());
    const QList<QByteArrayList> lines = cycleLinesOf(log);
    QVERIFY(lines.size() > 30);
    QList<bool> clientBad;
    QList<qint64> refusedMs;
    for (const QByteArrayList &fields : lines) {
        QVERIFY2(fields.size() == 8 &&
                     QRegularExpression("^" + utcStamp + "$").match(QString::fromLatin1(fields[0])).hasMatch(),
                 fields.join('|').constData());
        if (fields[1] == "no-connection") {
            QCOMPARE(fields.mid(3).join('\t'), QByteArray("\t\t\t\t"));
            refusedMs.append(msOfUtc(QString::fromLatin1(fields[0])));
        } else {
            QVERIFY2(fields[1] == "ok" || fields[1] == "error", fields[1].constData());
            clientBad.append(fields[1] == "error");
        }
    }

    // The k-th reply cycle is the k-th request; the client may have been stopped just after
    // the device logged one more. A connection dropped at a down window may end a reply
    // that the device logged as good, or never reach the device's log at all.
    QList<bool> simBad;
    for (const QByteArray &verdict : simVerdicts(sim.log()))
        simBad.append(verdict != "ok" && verdict != "zero-byte");
    QList<DownWindow> windows;
    const QRegularExpression downUp("(" + simStamp + ") device_sim: down for 1000 ms, (\\d+) connections? dropped\n(" +
                                    simStamp + ") device_sim: up again\n");
    for (auto match = downUp.globalMatch(QString::fromLatin1(sim.log())); match.hasNext();) {
        const QRegularExpressionMatch window = match.next();
        windows.append({msOfLocal(window.captured(1)), msOfLocal(window.captured(3)), window.captured(2).toInt()});
    }
    QVERIFY2(windows.size() >= 2, sim.log().constData());
    const int dropped = std::accumulate(windows.begin(), windows.end(), 0,
                                        [](int sum, const DownWindow &w) { return sum + w.dropped; });
    QVERIFY2(simBad.size() - clientBad.size() <= 1 + dropped, sim.log().constData());
    if (dropped == 0)
        QCOMPARE(clientBad, simBad.mid(0, clientBad.size()));
    else
        QVERIFY(std::abs(clientBad.count(true) - simBad.mid(0, clientBad.size()).count(true)) <= dropped);
    QVERIFY2(clientBad.contains(true) && clientBad.contains(false), "the mix must give both good and bad replies");

    // Every failed connection falls in a down window.
    for (const qint64 ms : refusedMs)
        QVERIFY2(std::any_of(windows.begin(), windows.end(),
                             [ms](const DownWindow &w) { return ms >= w.downMs - 100 && ms <= w.upMs + 400; }),
                 qPrintable(QDateTime::fromMSecsSinceEpoch(ms).toString(Qt::ISODateWithMs)));

    // --outages names each window: one outage holds all its failed connections.
    const Run outages = run(work.path(), watchProgram, {"report", "--outages", logPath});
    QCOMPARE(outages.exitCode, 0);
    QCOMPARE(outages.errors, QByteArray());
    const QRegularExpression outage("^(" + utcStamp + ")\t(" + utcStamp + ")\t(\\d+\\.\\d{3})\t(\\d+)\t(\\S+)$");
    const QByteArrayList reported = outages.output.trimmed().split('\n');
    // Each window that began after the client's first cycle and ended before its last: the
    // device may go down again while the watch stops.
    const qint64 firstCycleMs = msOfUtc(QString::fromLatin1(lines.first()[0]));
    const qint64 lastCycleMs = msOfUtc(QString::fromLatin1(lines.last()[0]));
    int watchedWindows = 0;
    for (const DownWindow &window : windows) {
        if (window.downMs < firstCycleMs || window.upMs > lastCycleMs)
            continue;
        ++watchedWindows;
        QList<qint64> inWindow;
        for (const qint64 ms : refusedMs)
            if (ms >= window.downMs - 100 && ms <= window.upMs + 400)
                inWindow.append(ms);
        // How many cycles fit in the window depends on the machine's load; that one does is
        // what the outage below is checked against.
        QVERIFY2(!inWindow.isEmpty(),
                 qPrintable(QStringLiteral("no failed connection in the window from %1 to %2")
                                .arg(QDateTime::fromMSecsSinceEpoch(window.downMs).toString(Qt::ISODateWithMs),
                                     QDateTime::fromMSecsSinceEpoch(window.upMs).toString(Qt::ISODateWithMs))));
        const bool named = std::any_of(reported.begin(), reported.end(), [&](const QByteArray &line) {
            const QRegularExpressionMatch match = outage.match(QString::fromLatin1(line));
            if (!match.hasMatch())
                return false;
            const qint64 first = msOfUtc(match.captured(1));
            const qint64 last = msOfUtc(match.captured(2));
            // It ends where the first good cycle after it began: when the last refused one
            // ended, to the millisecond as the wall clock and cycle_ms agree.
            return first < inWindow.first() && last >= inWindow.last() - 5 &&
                   qAbs(match.captured(3).toDouble() * 1000 - (last - first)) <= 1 &&
                   match.captured(4).toInt() >= inWindow.size() && match.captured(5).contains("no-connection");
        });
        QVERIFY2(named, outages.output.constData());
    }
    QVERIFY2(watchedWindows >= 2, qPrintable(QStringLiteral("%1 windows after the first cycle").arg(watchedWindows)));

    // The report for people counts the same.
    const Run report = run(work.path(), watchProgram, {"report", logPath});
    QCOMPARE(report.exitCode, 0);
    for (const QByteArray &row : {"cycles              " + QByteArray::number(lines.size()).rightJustified(10),
                                  "bad replies         " + QByteArray::number(clientBad.count(true)).rightJustified(10),
                                  "failed connections  " + QByteArray::number(refusedMs.size()).rightJustified(10),
                                  "Outages: " + QByteArray::number(reported.size()) + "\n"})
        QVERIFY2(report.output.contains(row), report.output.constData());

    // The picture, of the size asked for.
    const Run plot = run(work.path(), watchProgram, {"plot", "--output", "night.png", "--size", "900x500", logPath});
    QVERIFY2(plot.exitCode == 0, plot.errors.constData());
    QVERIFY(pngOfSize(contentsOf(work.filePath("night.png")), 900, 500));
}

void WatchTest::stopsWithEveryFinishedCycle_data()
{
    QTest::addColumn<int>("signal");
    QTest::addColumn<QString>("target");  // watch, group or client
    QTest::addColumn<QByteArray>("reason");
    QTest::addColumn<int>("exitCode");  // -1: ended by the signal
    QTest::newRow("SIGTERM to the watch alone, as systemd sends it")
        << int(SIGTERM) << "watch" << QByteArray("SIGTERM") << -1;
    QTest::newRow("SIGHUP to the watch alone") << int(SIGHUP) << "watch" << QByteArray("SIGHUP") << -1;
    QTest::newRow("SIGINT to the process group, as Ctrl-C") << int(SIGINT) << "group" << QByteArray("SIGINT") << -1;
    QTest::newRow("the client killed: the watch ends with its status")
        << int(SIGKILL) << "client" << QByteArray("testVRN730 ended: killed by SIGKILL") << 128 + SIGKILL;
}

// At -p 0, cycles end thousands of times a second: whenever the stop comes, every request
// the device answered but one in flight is in the log.
void WatchTest::stopsWithEveryFinishedCycle()
{
    QFETCH(int, signal);
    QFETCH(QString, target);
    QFETCH(QByteArray, reason);
    QFETCH(int, exitCode);

    const QString address = nextLoopbackAddress(6);
    SimRun sim({"--listen", address, "--port", "80", "--close"});
    QVERIFY(sim.waitForListening());
    QTemporaryDir work;
    QVERIFY(work.isValid());
    QProcess watch;
    watch.setWorkingDirectory(work.path());
    // setsid makes the watch lead a process group of its own, with the client in it.
    watch.start("setsid", {watchProgram, "--log", "night.log", "-i", address, "-p", "0", "-t", "300"});
    QVERIFY(watch.waitForStarted(5000));
    QVERIFY(QTest::qWaitFor([&] { return sim.log().count("body 56 bytes: ok") >= 500; }, 20000));
    // The watch held still until the client has filled the pipe between them and waits:
    // the stop then finds finished cycles still unread.
    const qint64 pid = watch.processId();
    QCOMPARE(kill(static_cast<pid_t>(pid), SIGSTOP), 0);
    int answered = -1;
    for (int turn = 0; turn < 30 && answered != simVerdicts(sim.log()).size(); ++turn) {
        answered = simVerdicts(sim.log()).size();
        QTest::qWait(300);
    }
    if (target == "watch")
        QCOMPARE(kill(static_cast<pid_t>(pid), signal), 0);
    else if (target == "group")
        QCOMPARE(kill(-static_cast<pid_t>(pid), signal), 0);
    else
        QCOMPARE(kill(static_cast<pid_t>(childOf(pid)), signal), 0);
    QCOMPARE(kill(static_cast<pid_t>(pid), SIGCONT), 0);
    const bool ended = watch.waitForFinished(10000);
    endByPid(watch);
    QVERIFY(ended);
    QVERIFY(sim.terminate(5000));

    if (exitCode < 0) {
        QCOMPARE(watch.exitStatus(), QProcess::CrashExit);
    } else {
        QCOMPARE(watch.exitStatus(), QProcess::NormalExit);
        QCOMPARE(watch.exitCode(), exitCode);
    }
    const QByteArray errors = watch.readAllStandardError();
    QVERIFY2(errors.contains("testVRN730-watch: stopped (" + reason + ") after "), errors.constData());

    const QByteArray log = contentsOf(work.filePath("night.log"));
    QVERIFY2(log.endsWith(" (" + reason + ")\n"), log.right(200).constData());
    const int logged = cycleLinesOf(log).size();
    answered = simVerdicts(sim.log()).size();
    QVERIFY2(logged == answered || logged == answered - 1,
             qPrintable(QStringLiteral("%1 cycles logged, %2 requests answered").arg(logged).arg(answered)));
}

// logrotate, with the file the package ships, moves the log away; the watch goes on in a
// new one that names the run it continues, and a report over both sees one run.
void WatchTest::keepsWritingAcrossARotation()
{
    const QString address = nextLoopbackAddress(6);
    SimRun sim({"--listen", address, "--port", "80"});
    QVERIFY(sim.waitForListening());
    QTemporaryDir work;
    QVERIFY(work.isValid());
    QByteArray config = contentsOf(SOURCE_DIR "/watch/testvrn730-watch.logrotate");
    QVERIFY(config.contains("/var/log/testvrn730/*.log {"));
    config.replace("/var/log/testvrn730/*.log", work.filePath("*.log").toUtf8());
    QFile configFile(work.filePath("logrotate.conf"));
    QVERIFY(configFile.open(QIODevice::WriteOnly) && configFile.write(config) == config.size());
    configFile.close();

    QProcess watch;
    watch.setWorkingDirectory(work.path());
    watch.start(watchProgram, {"--log", "night.log", "-i", address, "-p", "20", "-t", "300"});
    QVERIFY(watch.waitForStarted(5000));
    QVERIFY(QTest::qWaitFor([&] { return cycleLinesOf(contentsOf(work.filePath("night.log"))).size() >= 10; }, 10000));
    const Run rotate = run(work.path(), "logrotate", {"--force", "--state", "state", "logrotate.conf"});
    QVERIFY2(rotate.exitCode == 0, rotate.errors.constData());
    QVERIFY(QFile::exists(work.filePath("night.log.1")));
    QVERIFY(QTest::qWaitFor([&] { return cycleLinesOf(contentsOf(work.filePath("night.log"))).size() >= 10; }, 10000));
    watch.terminate();
    const bool ended = watch.waitForFinished(10000);
    endByPid(watch);
    QVERIFY(ended);

    const QByteArray before = contentsOf(work.filePath("night.log.1"));
    const QByteArray after = contentsOf(work.filePath("night.log"));
    const int started = before.indexOf(" started ");
    QVERIFY(started > 0);
    const QByteArray runStart = before.mid(started + 9, 24);
    QVERIFY2(after.startsWith("# testVRN730-watch " PROJECT_VERSION " continued " + runStart + ": testVRN730 -i "),
             after.left(200).constData());
    QVERIFY(!before.contains("# stopped") && after.contains("# stopped"));
    const Run report = run(work.path(), watchProgram, {"report", "night.log", "night.log.1"});
    QCOMPARE(report.exitCode, 0);
    const int cycles = cycleLinesOf(before).size() + cycleLinesOf(after).size();
    QVERIFY2(report.output.contains(" in 1 run (UTC)\n  from " + runStart + "\n") &&
                 report.output.contains("cycles              " + QByteArray::number(cycles).rightJustified(10)),
             report.output.constData());
}

// A full disk, on a tmpfs of 1 MiB in a mount namespace of its own: the watch goes on
// through it, says how many cycles it lost once it can write again, and glues no line to
// another; a line left unended before it started is ended first, and the next run starts
// on a line of its own. The cycles are short, so that the log soon needs a page the full
// tmpfs does not have.
void WatchTest::watchesOnThroughAFullDisk()
{
    if (geteuid() != 0)
        QSKIP("a tmpfs in a mount namespace of its own needs root");
    const QString address = nextLoopbackAddress(6);
    SimRun sim({"--listen", address, "--port", "80", "--close"});
    QVERIFY(sim.waitForListening());
    QTemporaryDir mountPoint;
    QVERIFY(mountPoint.isValid());
    // Each step waits for what the one before it made (up to a minute, as a loaded machine
    // may take that long), not for a fixed time.
    const QString script = QStringLiteral(R"sh(
        set -eu
        dir=$1 watch=$2 address=$3
        errors=$(mktemp)
        trap 'rm -f "$errors"' EXIT
        waitFor() {
            for _ in $(seq 600); do "$@" && return 0; sleep 0.1; done
            echo "full disk: gave up waiting for: $*" >&2
            return 1
        }
        atLeast() { [ "$(grep -c -- "$2" "$dir/dev.log" || true)" -ge "$1" ]; }
        mount -t tmpfs -o size=1m tmpfs "$dir"
        printf '2026-12-09T00:00:00.000Z	ok	5' >"$dir/dev.log"
        "$watch" --log "$dir/dev.log" -i "$address" -p 5 -t 200 2>>"$errors" &
        first=$!
        waitFor atLeast 2 '	ok	'
        head -c 2M /dev/zero >"$dir/fill" 2>/dev/null || true
        waitFor grep -q 'counting the cycles lost' "$errors"
        rm "$dir/fill"
        waitFor grep -q ' again; ' "$errors"
        kill -INT "$first"
        wait "$first" || true
        "$watch" --log "$dir/dev.log" -i "$address" -p 5 -t 200 2>>"$errors" &
        second=$!
        waitFor atLeast 2 ' started '
        kill -TERM "$second"
        wait "$second" || true
        cat "$errors" >&2
        cat "$dir/dev.log"
    )sh");
    const Run watched = run(mountPoint.path(), "unshare",
                            {"--mount", "bash", "-c", script, "bash", mountPoint.path(), watchProgram, address});
    QVERIFY2(watched.errors.contains("No space left on device; watching on, and counting the cycles lost\n") &&
                 watched.errors.contains(" again; "),
             watched.errors.constData());
    const QByteArray &log = watched.output;
    QVERIFY2(log.startsWith("2026-12-09T00:00:00.000Z\tok\t5\n# testVRN730-watch " PROJECT_VERSION " started "),
             log.left(200).constData());
    const QRegularExpression lost("\n# lost (\\d+) cycles? from " + utcStamp + " to " + utcStamp +
                                  ": cannot write to .*/dev.log: No space left on device\n");
    const QRegularExpressionMatch lostLine = lost.match(QString::fromLatin1(log));
    QVERIFY2(lostLine.hasMatch() && lostLine.captured(1).toInt() > 0, log.constData());
    QCOMPARE(log.count("\n# testVRN730-watch " PROJECT_VERSION " started "), 2);
    for (const QByteArray &line : log.split('\n').mid(1))
        QVERIFY2(line.isEmpty() || line.startsWith('#') || line.startsWith("time\t") || line.count('\t') == 7,
                 line.constData());
    QVERIFY(log.endsWith("(SIGTERM)\n"));
}

// A second watch on a log that a running watch holds refuses at once, and writes nothing.
void WatchTest::secondWatchOnALogRefuses()
{
    const QString address = nextLoopbackAddress(6);
    SimRun sim({"--listen", address, "--port", "80"});
    QVERIFY(sim.waitForListening());
    QTemporaryDir work;
    QVERIFY(work.isValid());
    QProcess first;
    first.setWorkingDirectory(work.path());
    first.start(watchProgram, {"--log", "dev.log", "-i", address, "-p", "20", "-t", "200"});
    QVERIFY(first.waitForStarted(5000));
    QVERIFY(QTest::qWaitFor([&] { return cycleLinesOf(contentsOf(work.filePath("dev.log"))).size() >= 2; }, 10000));
    const Run second = run(work.path(), watchProgram, {"--log", "dev.log", "-i", address, "-p", "20", "-t", "200"});
    first.terminate();
    const bool ended = first.waitForFinished(10000);
    endByPid(first);
    QVERIFY(ended);
    QCOMPARE(second.exitCode, 1);
    QCOMPARE(second.errors, QByteArray("testVRN730-watch: another watch is writing to dev.log; two would mix their "
                                       "runs in it\n"));
    QCOMPARE(contentsOf(work.filePath("dev.log")).count(" started "), 1);
}

// A fleet of three addresses where nothing listens (every cycle a failed connection, at
// once): the file changed to one that is refused, then to one that drops a device and adds
// another; a client killed and started again; a stop that ends every log.
void WatchTest::fleetFollowsItsTargetsFile()
{
    QTemporaryDir work;
    QVERIFY(work.isValid());
    const auto writeTargets = [&](const QByteArray &text) {
        QFile file(work.filePath(QStringLiteral("targets")));
        return file.open(QIODevice::WriteOnly) && file.write(text) == text.size();
    };
    const auto logOf = [&](const char *address) {
        return contentsOf(work.filePath("logs/" + QString(address) + ".log"));
    };
    QVERIFY(writeTargets("127.0.7.2\n127.0.7.3 site=a\n"));
    QVERIFY(QDir(work.path()).mkdir(QStringLiteral("logs")));
    QProcess watch;
    watch.setWorkingDirectory(work.path());
    watch.start(watchProgram, {"--targets", "targets", "--log-dir", "logs", "-p", "100", "-t", "200"});
    QVERIFY(watch.waitForStarted(5000));
    const auto endWatch = qScopeGuard([&] { endByPid(watch); });
    QByteArray errors;
    const auto told = [&](const QByteArray &text) {
        return QTest::qWaitFor(
            [&] {
                errors += watch.readAllStandardError();
                return errors.contains(text);
            },
            20000);
    };
    QVERIFY(QTest::qWaitFor([&] { return cycleLinesOf(logOf("127.0.7.3")).size() >= 3; }, 20000));

    QVERIFY(writeTargets("127.0.7.2\n127.0.7.3\n\n127.0.7.2 site=b\n"));
    QVERIFY2(told("targets: line 4: 127.0.7.2 is already on line 1; watching the devices as before"),
             errors.constData());
    QVERIFY(writeTargets("127.0.7.3 site=a\n127.0.7.4\n"));
    QVERIFY2(told("targets changed: 2 devices, 1 added, 1 removed"), errors.constData());
    QVERIFY(QTest::qWaitFor([&] { return cycleLinesOf(logOf("127.0.7.4")).size() >= 3; }, 20000));
    QVERIFY2(logOf("127.0.7.2").endsWith("(removed from the targets)\n"), logOf("127.0.7.2").constData());

    qint64 client = -1;
    for (const QByteArray &pid :
         contentsOf(QStringLiteral("/proc/%1/task/%1/children").arg(watch.processId())).split(' '))
        if (contentsOf("/proc/" + pid + "/cmdline").contains(QByteArray("-i") + '\0' + "127.0.7.3" + '\0'))
            client = pid.toLongLong();
    QVERIFY(client > 0);
    QCOMPARE(::kill(static_cast<pid_t>(client), SIGKILL), 0);
    QVERIFY2(told("127.0.7.3: testVRN730 ended: killed by SIGKILL; starting it again in 1 s"), errors.constData());
    QVERIFY(QTest::qWaitFor([&] { return logOf("127.0.7.3").count("# testVRN730-watch ") == 2; }, 20000));

    watch.terminate();
    QVERIFY(watch.waitForFinished(15000));
    QCOMPARE(watch.exitStatus(), QProcess::CrashExit);  // by SIGTERM, as it was stopped
    for (const char *address : {"127.0.7.3", "127.0.7.4"})
        QVERIFY2(logOf(address).endsWith("(SIGTERM)\n"), logOf(address).right(300).constData());
}

void WatchTest::refusesBadUsage_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<QByteArray>("message");
    QTest::newRow("a period that is no number")
        << QStringList{"-i", "127.0.0.1", "-p", "abc"} << QByteArray("-p 'abc' is not a whole number");
    QTest::newRow("an address with a blank") << QStringList{"-i", "127.0.0.1 x"} << QByteArray("is no address");
    QTest::newRow("an address with a port, which the client cannot take")
        << QStringList{"-i", "127.0.0.1:8080"} << QByteArray("-i '127.0.0.1:8080' names a port");
    QTest::newRow("a report of no log") << QStringList{"report"} << QByteArray("which log?");
    QTest::newRow("--since later than --until")
        << QStringList{"report", "--since", "2026-12-09", "--until", "2026-12-08", "x.log"}
        << QByteArray("--since is later than --until");
    QTest::newRow("a time that is not UTC's form")
        << QStringList{"report", "--since", "yesterday", "x.log"} << QByteArray("'yesterday' is no time");
    QTest::newRow("a fleet without its log directory")
        << QStringList{"--targets", "t"} << QByteArray("--targets needs --log-dir");
    QTest::newRow("a fleet with one device's -i") << QStringList{"--targets", "t", "--log-dir", "d", "-i", "127.0.0.1"}
                                                  << QByteArray("-i and --log are for one device");
    QTest::newRow("bucket bounds that fall")
        << QStringList{"--buckets", "0.5,0.1"} << QByteArray("--buckets: the bounds must rise: 0.1 follows 0.5");
    QTest::newRow("a size for the terminal")
        << QStringList{"plot", "--terminal", "--size", "800x600", "x.log"} << QByteArray("--size is for a PNG");
}

void WatchTest::refusesBadUsage()
{
    QFETCH(QStringList, arguments);
    QFETCH(QByteArray, message);
    const Run refused = run(QDir::currentPath(), watchProgram, arguments);
    QCOMPARE(refused.exitCode, 2);
    QVERIFY2(refused.errors.startsWith("testVRN730-watch: ") && refused.errors.contains(message),
             refused.errors.constData());
    QVERIFY(refused.errors.endsWith("Try 'testVRN730-watch --help'.\n"));
    QCOMPARE(refused.output, QByteArray());
}

// plot --terminal in a terminal of 80 by 24, which says its size only through the terminal
// itself: no line wider, no more lines than fit above the prompt, no time label run into
// the next, and the key's names whole.
void WatchTest::plotsTextThatFitsTheTerminal()
{
    QTemporaryDir work;
    QVERIFY(work.isValid());
    QByteArray log = "# testVRN730-watch 1.0.0 started 2026-12-08T21:00:00.000Z: testVRN730 -i x\n";
    for (int cycle = 1; cycle <= 600; ++cycle) {
        const QByteArray state = cycle % 97 == 0 ? "error" : cycle % 200 < 20 ? "no-connection" : "ok";
        log += QDateTime::fromMSecsSinceEpoch(msOfUtc("2026-12-08T21:00:00.000Z") + cycle * 1500, Qt::UTC)
                   .toString(Qt::ISODateWithMs)
                   .toLatin1() +
               "\t" + state + "\t1500\t1\t10\t1\t1\t\n";
    }
    QFile file(work.filePath("night.log"));
    QVERIFY(file.open(QIODevice::WriteOnly) && file.write(log) == log.size());
    file.close();
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.remove("COLUMNS");
    environment.remove("LINES");
    const Run shown =
        run(work.path(), "script",
            {"-qfec", "stty cols 80 rows 24; exec '" + watchProgram + "' plot --terminal night.log", "/dev/null"},
            environment);
    QCOMPARE(shown.exitCode, 0);
    const QString screen = QString::fromUtf8(shown.output).remove(QLatin1Char('\r'));
    const QStringList lines = screen.split(QLatin1Char('\n'));
    QVERIFY2(lines.size() <= 24, qPrintable(screen));
    for (const QString &line : lines)
        QVERIFY2(line.size() <= 80, qPrintable(line));
    QVERIFY2(!QRegularExpression(QStringLiteral("\\d\\d:\\d\\d\\d")).match(screen).hasMatch(), qPrintable(screen));
    QVERIFY2(screen.contains(QStringLiteral(" failed connection ")) && screen.contains(QStringLiteral(" 21:10")),
             qPrintable(screen));
}

void WatchTest::plotNamesTheMissingPackage()
{
    QTemporaryDir work;
    QVERIFY(work.isValid());
    QFile log(work.filePath("night.log"));
    QVERIFY(log.open(QIODevice::WriteOnly));
    log.write("2026-12-08T21:00:00.000Z\tok\t500\t1\t10\t1\t1\t\n");
    log.close();
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert("PATH", work.path());
    const Run plot = run(work.path(), watchProgram, {"plot", "night.log"}, environment);
    QCOMPARE(plot.exitCode, 1);
    QVERIFY2(plot.errors.contains("apt-get install gnuplot-nox"), plot.errors.constData());
    QVERIFY(!QFile::exists(work.filePath("testVRN730-watch.png")));
}

QTEST_GUILESS_MAIN(WatchTest)
#include "tst_watch.moc"
