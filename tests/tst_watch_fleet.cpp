// A fleet watch's parts in process: the targets file, the supervisor's decisions driven
// by a clock and a spawner of the test's, the exposition, and the requests it answers.
#include "fleet/loop.h"
#include "fleet/supervisor.h"
#include "fleet/targets.h"
#include "metrics/exposition.h"
#include "metrics/server.h"
#include "os/signals.h"

#include <QDir>
#include <QTemporaryDir>
#include <QtTest>

#include <csignal>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

Q_DECLARE_METATYPE(metrics::Format)
Q_DECLARE_METATYPE(metricsserver::Outcome)

namespace {

class TestClock : public Clock {
public:
    qint64 monotonicMs() const override { return nowMs; }
    qint64 wallMs() const override { return 1796774400000 + nowMs; }  // 2026-12-09T00:00:00Z
    qint64 nowMs = 0;
};

// Records what the supervisor asks of it, as "@MS start ADDRESS" or "@MS SIGTERM ADDRESS".
class TestSpawner : public Spawner {
public:
    explicit TestSpawner(const TestClock &clock) : clock_(clock) {}

    bool start(const QList<QByteArray> &arguments, pid_t *pid, int *output, QByteArray *why) override
    {
        const QByteArray address = arguments.value(1);
        if (failing.contains(address)) {
            *why = "cannot start testVRN730: No such file or directory";
            record("cannot start " + address);
            return false;
        }
        *pid = next_;
        *output = next_ + 10000;
        ++next_;
        pids[address] = *pid;
        record("start " + address);
        return true;
    }
    void signal(pid_t pid, int signal) override { record(signalName(signal) + (' ' + pids.key(pid))); }
    void closeOutput(int) override {}

    void record(const QByteArray &what) { done.append('@' + QByteArray::number(clock_.nowMs) + ' ' + what); }

    QHash<QByteArray, pid_t> pids;
    QList<QByteArray> failing;
    QByteArrayList done;

private:
    const TestClock &clock_;
    pid_t next_ = 100;
};

const QByteArray okCycle = "nLoop:\t1\tlen:\t197\tn{:2\tn}:2\r\033[0m";
const QByteArray noConnection = "\033[0;37;41mNo connection\033[0m\n";

// One step of a row, at its time: "targets A B", "cycle A", "fail A" (a failed
// connection), "end A STATUS" (its output ends and it exits), "killed A SIGNAL",
// "output-end A", "exit A", "stop".
struct Step {
    qint64 atMs;
    QByteArray what;
};

}  // namespace

Q_DECLARE_METATYPE(QList<Step>)
Q_DECLARE_METATYPE(QList<int>)

class WatchFleetTest : public QObject {
    Q_OBJECT

private slots:
    void targetsFile_data();
    void targetsFile();
    void backOff_data();
    void backOff();
    void supervisorDecides_data();
    void supervisorDecides();
    void loopTakesSignals_data();
    void loopTakesSignals();
    void exposition_data();
    void exposition();
    void requests_data();
    void requests();
    void serverRefusesToListen_data();
    void serverRefusesToListen();
    void serverHoldsAgainstPeers_data();
    void serverHoldsAgainstPeers();
};

void WatchFleetTest::targetsFile_data()
{
    QTest::addColumn<QByteArray>("text");
    QTest::addColumn<QByteArrayList>("parsed");  // "ADDRESS NAME=VALUE...", or the error
    const auto row = [](const char *name, const QByteArray &text, const QByteArrayList &parsed) {
        QTest::newRow(name) << text << parsed;
    };
    row("addresses, labels, comments, blanks, CRLF and tabs",
        "# the rack\n\n127.0.0.2 site=a rack=r1  # first\r\n  127.0.0.3\tsite=b\n\t# nothing\nhost-4.lab\n",
        {"127.0.0.2 site=a rack=r1", "127.0.0.3 site=b", "host-4.lab"});
    row("an empty file", "", {});
    row("a value of UTF-8 with a quote and a backslash", "127.0.0.2 room=\"Küche\\1\"\n",
        {"127.0.0.2 room=\"Küche\\1\""});
    row("a port", "127.0.0.2\n127.0.0.3:8080\n", {"line 2: '127.0.0.3:8080' is no IPv4 address or host name"});
    row("a path", "../etc/x\n", {"line 1: '../etc/x' is no IPv4 address or host name"});
    row("an option", "-p\n", {"line 1: '-p' is no IPv4 address or host name"});
    row("the same device twice", "127.0.0.2\n\n127.0.0.2 site=a\n", {"line 3: 127.0.0.2 is already on line 1"});
    row("a word without =", "127.0.0.2 spare\n", {"line 1: 'spare' is no NAME=VALUE label"});
    row("a name starting with a digit", "127.0.0.2 1a=x\n",
        {"line 1: '1a' is no label name: letters, digits and '_', not first a digit, not '__' first"});
    row("a name Prometheus keeps", "127.0.0.2 __name__=x\n",
        {"line 1: '__name__' is no label name: letters, digits and '_', not first a digit, not '__' first"});
    row("the label device", "127.0.0.2 device=x\n",
        {"line 1: the label name 'device' is the watch's own or Prometheus's"});
    row("the label job", "127.0.0.2 job=x\n", {"line 1: the label name 'job' is the watch's own or Prometheus's"});
    row("a label twice", "127.0.0.2 a=1 a=2\n", {"line 1: the label a is given twice"});
    row("an empty value", "127.0.0.2 a=\n", {"line 1: the value of a must be 1 to 256 bytes of printable UTF-8"});
    row("a value not UTF-8", "127.0.0.2 a=\xff\n",
        {"line 1: the value of a must be 1 to 256 bytes of printable UTF-8"});
    row("a value cut inside a character", "127.0.0.2 a=K\xc3\n",
        {"line 1: the value of a must be 1 to 256 bytes of printable UTF-8"});
    row("a value with a control character", "127.0.0.2 a=x\x1by\n",
        {"line 1: the value of a must be 1 to 256 bytes of printable UTF-8"});
    row("an overlong slash", "127.0.0.2 a=\xc0\xaf\n",
        {"line 1: the value of a must be 1 to 256 bytes of printable UTF-8"});
    row("a value of 257 bytes", "127.0.0.2 a=" + QByteArray(257, 'v') + '\n',
        {"line 1: the value of a must be 1 to 256 bytes of printable UTF-8"});
    QByteArray many = "127.0.0.2";
    for (int i = 0; i <= targets::maxLabels; ++i)
        many += " l" + QByteArray::number(i) + "=v";
    row("17 labels", many, {"line 1: more than 16 labels"});
}

void WatchFleetTest::targetsFile()
{
    QFETCH(QByteArray, text);
    QFETCH(QByteArrayList, parsed);
    QList<Target> found{{"kept", {}}};
    QByteArray why;
    QByteArrayList got;
    if (targets::parse(text, &found, &why)) {
        for (const Target &target : found) {
            QByteArray line = target.address;
            for (const auto &label : target.labels)
                line += ' ' + label.first + '=' + label.second;
            got.append(line);
        }
    } else {
        got.append(why);
        QCOMPARE(found.size(), 1);  // a refused file changes nothing
    }
    QCOMPARE(got, parsed);
}

void WatchFleetTest::backOff_data()
{
    QTest::addColumn<qint64>("ranMs");
    QTest::addColumn<qint64>("lastMs");  // the back-off before; 0: none
    QTest::addColumn<qint64>("waitMs");
    QTest::newRow("the first end waits 1 s") << qint64{100} << qint64{0} << qint64{1000};
    QTest::newRow("each end after a short run doubles it") << qint64{59999} << qint64{4000} << qint64{8000};
    QTest::newRow("doubling stops at 60 s") << qint64{100} << qint64{32000} << qint64{60000};
    QTest::newRow("and stays there") << qint64{100} << qint64{60000} << qint64{60000};
    QTest::newRow("a run of a minute starts over at 1 s") << qint64{60000} << qint64{60000} << qint64{1000};
}

void WatchFleetTest::backOff()
{
    QFETCH(qint64, ranMs);
    QFETCH(qint64, lastMs);
    QFETCH(qint64, waitMs);
    QCOMPARE(Supervisor::backOffMs(ranMs, lastMs), waitMs);
}

void WatchFleetTest::supervisorDecides_data()
{
    QTest::addColumn<QList<Step>>("steps");
    QTest::addColumn<qint64>("spreadMs");
    QTest::addColumn<QByteArrayList>("done");       // what the spawner was asked, when
    QTest::addColumn<QByteArrayList>("stopLines");  // the devices' stop lines, by device
    const auto row = [](const char *name, const QList<Step> &steps, qint64 spreadMs, const QByteArrayList &done,
                        const QByteArrayList &stopLines) {
        QTest::newRow(name) << steps << spreadMs << done << stopLines;
    };
    row("starts spread over the first period; a stop kills what outlasts its grace",
        {{0, "targets a b c d"},
         {2000, "stop"},
         {2100, "end a 0"},
         {2100, "end b 0"},
         {2100, "end c 0"},
         {7100, "exit d"},
         {7200, "output-end d"}},
        1000,
        {"@0 start a", "@250 start b", "@500 start c", "@750 start d", "@2000 SIGTERM a", "@2000 SIGTERM b",
         "@2000 SIGTERM c", "@2000 SIGTERM d", "@7000 SIGKILL d"},
        {"a: SIGTERM", "b: SIGTERM", "c: SIGTERM", "d: SIGTERM"});
    row("a client that keeps ending waits 1 s, 2 s, 4 s; after a minute's run, 1 s again",
        {{0, "targets a"},
         {100, "end a 1"},
         {1200, "end a 1"},
         {3300, "end a 1"},
         {7400, "cycle a"},
         {80000, "end a 1"},
         {82000, "stop"},
         {82100, "end a 0"}},
        0, {"@0 start a", "@1100 start a", "@3200 start a", "@7300 start a", "@81000 start a", "@82000 SIGTERM a"},
        {"a: testVRN730 ended: exit status 1; starting it again in 1 s",
         "a: testVRN730 ended: exit status 1; starting it again in 2 s",
         "a: testVRN730 ended: exit status 1; starting it again in 4 s",
         "a: testVRN730 ended: exit status 1; starting it again in 1 s", "a: SIGTERM"});
    row("a device dropped stops; its output until its end is logged, then it is gone",
        {{0, "targets a b"}, {1000, "targets a"}, {1100, "cycle b"}, {1200, "end b 0"}, {1300, "cycle b"}}, 0,
        {"@0 start a", "@0 start b", "@1000 SIGTERM b"}, {"b: removed from the targets"});
    row("a device named again while it stops starts once it has ended",
        {{0, "targets a"},
         {1000, "targets"},
         {1500, "targets a"},
         {2000, "end a 0"},
         {4000, "stop"},
         {4100, "end a 0"}},
        0, {"@0 start a", "@1000 SIGTERM a", "@3000 start a", "@4000 SIGTERM a"},
        {"a: testVRN730 ended: exit status 0; starting it again in 1 s", "a: SIGTERM"});
    row("a stop waits for the output's end and the exit, in either order",
        {{0, "targets a b"},
         {500, "stop"},
         {600, "output-end a"},
         {700, "exit b"},
         {800, "cycle b"},
         {900, "exit a"},
         {1000, "output-end b"}},
        0, {"@0 start a", "@0 start b", "@500 SIGTERM a", "@500 SIGTERM b"}, {"a: SIGTERM", "b: SIGTERM"});
    row("a client killed by a signal is named by it, or by its number",
        {{0, "targets a"}, {100, "killed a 11"}, {1200, "killed a 34"}, {4000, "stop"}, {4100, "end a 0"}}, 0,
        {"@0 start a", "@1100 start a", "@3200 start a", "@4000 SIGTERM a"},
        {"a: testVRN730 ended: killed by SIGSEGV; starting it again in 1 s",
         "a: testVRN730 ended: killed by signal 34; starting it again in 2 s", "a: SIGTERM"});
    row("targets read once the watch stops start nothing",
        {{0, "targets a"}, {1000, "stop"}, {1100, "targets a b"}, {1200, "end a 0"}}, 0,
        {"@0 start a", "@1000 SIGTERM a"}, {"a: SIGTERM"});
    row("a client that cannot start is tried again, later each time",
        {{0, "fail-to-start a"}, {0, "targets a"}, {4000, "stop"}}, 0,
        {"@0 cannot start a", "@1000 cannot start a", "@3000 cannot start a"},
        {"a: cannot start testVRN730: No such file or directory; starting it again in 1 s",
         "a: cannot start testVRN730: No such file or directory; starting it again in 2 s",
         "a: cannot start testVRN730: No such file or directory; starting it again in 4 s"});
}

void WatchFleetTest::supervisorDecides()
{
    QFETCH(QList<Step>, steps);
    QFETCH(qint64, spreadMs);
    QFETCH(QByteArrayList, done);
    QFETCH(QByteArrayList, stopLines);
    QTemporaryDir logs;
    QVERIFY(logs.isValid());
    TestClock clock;
    TestSpawner spawner(clock);
    SupervisorSettings settings;
    settings.version = "1.0.0";
    settings.clientOptions = {"-p", "500", "-t", "1000"};
    settings.spreadMs = spreadMs;
    settings.restart = true;
    settings.logDir = QFile::encodeName(logs.path());
    Supervisor supervisor(settings, clock, spawner);
    const auto runUntil = [&](qint64 ms) {
        for (qint64 due = supervisor.nextDueMs(); due >= 0 && due <= ms; due = supervisor.nextDueMs()) {
            clock.nowMs = std::max(clock.nowMs, due);
            supervisor.onTime();
        }
        clock.nowMs = ms;
    };
    for (const Step &step : steps) {
        runUntil(step.atMs);
        const QByteArrayList words = step.what.split(' ');
        const QByteArray address = words.value(1);
        const int output = spawner.pids.value(address) + 10000;
        if (words[0] == "targets") {
            QList<Target> targets;
            for (const QByteArray &word : words.mid(1))
                targets.append({word, {}});
            QVERIFY(supervisor.setTargets(targets));
        } else if (words[0] == "cycle") {
            supervisor.onOutput(output, okCycle.left(9));
            supervisor.onOutput(output, okCycle.mid(9));
        } else if (words[0] == "fail-to-start") {
            spawner.failing.append(address);
        } else if (words[0] == "end") {
            supervisor.onOutput(output, noConnection);
            supervisor.onOutputEnd(output);
            supervisor.onExit(spawner.pids[address], words[2].toInt() << 8);
        } else if (words[0] == "killed") {
            supervisor.onOutputEnd(output);
            supervisor.onExit(spawner.pids[address], words[2].toInt());
        } else if (words[0] == "output-end") {
            supervisor.onOutputEnd(output);
        } else if (words[0] == "exit") {
            supervisor.onExit(spawner.pids[address], SIGTERM);
        } else {
            QCOMPARE(words[0], QByteArray("stop"));
            supervisor.stop(SIGTERM);
        }
        supervisor.onTime();
    }
    runUntil(steps.last().atMs + 60000);
    QCOMPARE(spawner.done, done);
    QByteArrayList stopped;
    for (const QString &name : QDir(logs.path()).entryList(QDir::Files, QDir::Name)) {
        QFile log(logs.filePath(name));
        QVERIFY(log.open(QIODevice::ReadOnly));
        for (const QByteArray &line : log.readAll().split('\n'))
            if (line.startsWith("# stopped "))
                stopped.append(name.chopped(4).toUtf8() + ": " + line.mid(line.indexOf('(') + 1).chopped(1));
    }
    QCOMPARE(stopped, stopLines);
}

void WatchFleetTest::loopTakesSignals_data()
{
    QTest::addColumn<bool>("fleet");
    QTest::addColumn<QByteArray>("rewritten");  // the targets file then; "-": removed
    QTest::addColumn<QList<int>>("taken");
    QTest::addColumn<QByteArrayList>("done");  // what the spawner was asked
    QTest::addColumn<QByteArray>("addresses");
    const QByteArray changed = "127.0.0.3\n127.0.0.1 x=1\n";
    const auto row = [&](const char *name, bool fleet, const QList<int> &taken, const QByteArrayList &done,
                         const QByteArray &addresses) {
        QTest::newRow(name) << fleet << changed << taken << done << addresses;
    };
    QTest::newRow("a fleet whose targets file is gone watches on as before")
        << true << QByteArray("-") << QList<int>{SIGHUP} << QByteArrayList{"@0 start 127.0.0.2", "@0 start 127.0.0.3"}
        << QByteArray("127.0.0.2 127.0.0.3");
    QTest::newRow("a bad targets file is refused, the devices kept")
        << true << QByteArray("127.0.0.3\nnot an address!\n") << QList<int>{SIGHUP}
        << QByteArrayList{"@0 start 127.0.0.2", "@0 start 127.0.0.3"} << QByteArray("127.0.0.2 127.0.0.3");
    row("a fleet reads its changed targets at the next look, with no signal", true, {},
        {"@0 start 127.0.0.2", "@0 start 127.0.0.3", "@0 SIGTERM 127.0.0.2", "@0 start 127.0.0.1"},
        "127.0.0.1 127.0.0.2 127.0.0.3");
    row("SIGHUP reads a fleet's changed targets: 127.0.0.1 added, .2 removed, .3 kept", true, {SIGHUP},
        {"@0 start 127.0.0.2", "@0 start 127.0.0.3", "@0 SIGTERM 127.0.0.2", "@0 start 127.0.0.1"},
        "127.0.0.1 127.0.0.2 127.0.0.3");
    row("a fleet stops on SIGTERM", true, {SIGTERM},
        {"@0 start 127.0.0.2", "@0 start 127.0.0.3", "@0 SIGTERM 127.0.0.2", "@0 SIGTERM 127.0.0.3"},
        "127.0.0.2 127.0.0.3");
    row("a fleet's SIGCHLD stops nothing", true, {SIGCHLD},
        {"@0 start 127.0.0.2", "@0 start 127.0.0.3", "@0 SIGTERM 127.0.0.2", "@0 start 127.0.0.1"},
        "127.0.0.1 127.0.0.2 127.0.0.3");
    row("one device stops on SIGHUP", false, {SIGHUP}, {"@0 start 127.0.0.2", "@0 SIGTERM 127.0.0.2"}, "127.0.0.2");
    row("and on SIGINT", false, {SIGINT}, {"@0 start 127.0.0.2", "@0 SIGTERM 127.0.0.2"}, "127.0.0.2");
}

// The loop's signal handler against a real targets file, changed before the signals come,
// then the loop's next look at the file.
void WatchFleetTest::loopTakesSignals()
{
    QFETCH(bool, fleet);
    QFETCH(QByteArray, rewritten);
    QFETCH(QList<int>, taken);
    QFETCH(QByteArrayList, done);
    QFETCH(QByteArray, addresses);
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const auto writeTargets = [&](const QByteArray &text) {
        QFile file(dir.filePath(QStringLiteral("targets")));
        return file.open(QIODevice::WriteOnly | QIODevice::Truncate) && file.write(text) == text.size();
    };
    QVERIFY(writeTargets("127.0.0.2\n127.0.0.3\n"));
    TestClock clock;
    TestSpawner spawner(clock);
    SupervisorSettings settings;
    settings.version = "1.0.0";
    settings.restart = fleet;
    settings.logDir = QFile::encodeName(dir.path());
    settings.logPath = QFile::encodeName(dir.filePath(QStringLiteral("127.0.0.2.log")));
    Supervisor supervisor(settings, clock, spawner);
    metricsserver::Server server([](metrics::Format) { return QByteArray(); });
    TargetsFile targets(QFile::encodeName(dir.filePath(QStringLiteral("targets"))));
    Loop loop(supervisor, server, clock, fleet ? &targets : nullptr, false);
    QVERIFY(fleet ? loop.readTargets(true) : supervisor.setTargets({{"127.0.0.2", {}}}));
    supervisor.onTime();
    QVERIFY(rewritten == "-" ? QFile::remove(dir.filePath(QStringLiteral("targets"))) : writeTargets(rewritten));
    QVERIFY(!loop.takeSignals(taken) || taken.contains(SIGCHLD));
    loop.lookAtTargets(clock.nowMs + Loop::targetsCheckMs);
    supervisor.onTime();
    QCOMPARE(spawner.done, done);
    QCOMPARE(supervisor.addresses().join(' '), addresses);
}

void WatchFleetTest::exposition_data()
{
    QTest::addColumn<metrics::Format>("format");
    QTest::addColumn<QByteArray>("exposition");
    const QByteArray head = "# HELP testvrn730_build_info The watch's version, in the label version; always 1.\n"
                            "# TYPE testvrn730_build_info gauge\n"
                            "testvrn730_build_info{version=\"1.0.0\"} 1\n"
                            "# HELP testvrn730_watch_start_time_seconds When the watch started, in seconds since "
                            "1970-01-01T00:00:00Z.\n"
                            "# TYPE testvrn730_watch_start_time_seconds gauge\n"
                            "testvrn730_watch_start_time_seconds 1796774400.005\n";
    const QByteArray a = "device=\"127.0.0.2\",room=\"K\\\"\\\\\\n\"";
    // A device's address is escaped as any value is: a name with a quote and a backslash.
    const QByteArray b = "device=\"h\\\"\\\\\"";
    const auto body = [&](const QByteArray &cycles, const QByteArray &outages, const QByteArray &restarts,
                          const QByteArray &lost) {
        return "# HELP " + cycles +
               " Cycles the device's testVRN730 finished, by state: ok, error (a bad reply) or no_connection.\n"
               "# TYPE " +
               cycles + " counter\n" + "testvrn730_cycles_total{" + a + ",state=\"ok\"} 2\n" +
               "testvrn730_cycles_total{" + a + ",state=\"error\"} 1\n" + "testvrn730_cycles_total{" + a +
               ",state=\"no_connection\"} 0\n" + "testvrn730_cycles_total{" + b + ",state=\"ok\"} 0\n" +
               "testvrn730_cycles_total{" + b + ",state=\"error\"} 0\n" + "testvrn730_cycles_total{" + b +
               ",state=\"no_connection\"} 1\n" +
               "# HELP testvrn730_cycle_seconds Time from the end of one cycle to the end of the next, the pause "
               "included.\n"
               "# TYPE testvrn730_cycle_seconds histogram\n" +
               "testvrn730_cycle_seconds_bucket{" + a + ",le=\"0.25\"} 1\n" + "testvrn730_cycle_seconds_bucket{" + a +
               ",le=\"1.5\"} 3\n" + "testvrn730_cycle_seconds_bucket{" + a + ",le=\"+Inf\"} 3\n" +
               "testvrn730_cycle_seconds_sum{" + a + "} 3.250\n" + "testvrn730_cycle_seconds_count{" + a + "} 3\n" +
               "testvrn730_cycle_seconds_bucket{" + b + ",le=\"0.25\"} 0\n" + "testvrn730_cycle_seconds_bucket{" + b +
               ",le=\"1.5\"} 0\n" + "testvrn730_cycle_seconds_bucket{" + b + ",le=\"+Inf\"} 1\n" +
               "testvrn730_cycle_seconds_sum{" + b + "} 31.000\n" + "testvrn730_cycle_seconds_count{" + b + "} 1\n" +
               "# HELP testvrn730_up 1 when the device's last cycle was ok, else 0.\n"
               "# TYPE testvrn730_up gauge\n" +
               "testvrn730_up{" + a + "} 1\n" + "testvrn730_up{" + b + "} 0\n" +
               "# HELP testvrn730_last_ok_timestamp_seconds When the device's last ok cycle ended, in seconds "
               "since 1970-01-01T00:00:00Z.\n"
               "# TYPE testvrn730_last_ok_timestamp_seconds gauge\n" +
               "testvrn730_last_ok_timestamp_seconds{" + a + "} 1796774403.250\n" + "# HELP " + outages +
               " Outages begun: a cycle not ok after one ok, or first.\n# TYPE " + outages + " counter\n" +
               "testvrn730_outages_total{" + a + "} 1\n" + "testvrn730_outages_total{" + b + "} 1\n" + "# HELP " +
               restarts + " Times the device's testVRN730 ended by itself and was started again.\n# TYPE " + restarts +
               " counter\n" + "testvrn730_client_restarts_total{" + a + "} 0\n" + "testvrn730_client_restarts_total{" +
               b + "} 2\n" + "# HELP " + lost +
               " Cycles finished but not written to the device's log, as its disk refused them.\n# TYPE " + lost +
               " counter\n" + "testvrn730_lost_cycles_total{" + a + "} 0\n" + "testvrn730_lost_cycles_total{" + b +
               "} 7\n";
    };
    QTest::newRow("text format 0.0.4: counters named by their samples")
        << metrics::Format::Text
        << head + body("testvrn730_cycles_total", "testvrn730_outages_total", "testvrn730_client_restarts_total",
                       "testvrn730_lost_cycles_total");
    QTest::newRow("OpenMetrics: counters named by their family, and an end")
        << metrics::Format::OpenMetrics
        << head +
               body("testvrn730_cycles", "testvrn730_outages", "testvrn730_client_restarts", "testvrn730_lost_cycles") +
               "# EOF\n";
}

void WatchFleetTest::exposition()
{
    QFETCH(metrics::Format, format);
    QFETCH(QByteArray, exposition);
    const QVector<double> bounds = metrics::withBound({0.25}, 1.5);
    metrics::Device a(bounds);
    a.address = "127.0.0.2";
    a.labels = {{"room", "K\"\\\n"}};
    a.count(CycleState::Ok, 250, 1796774403000);      // on a bound: in its bucket
    a.count(CycleState::Error, 1500, 1796774403100);  // an outage begins
    a.count(CycleState::Ok, 1500, 1796774403250);
    metrics::Device b(bounds);
    b.address = "h\"\\";
    b.count(CycleState::NoConnection, 31000, 1796774403000);  // the first cycle begins an outage too
    b.restarts = 2;
    b.lostCycles = 7;
    const QByteArray got = metrics::exposition({"1.0.0", 1796774400005}, {&a, &b}, format);
    QCOMPARE(got.split('\n'), exposition.split('\n'));
    QCOMPARE(metrics::exposition({"1.0.0", 1796774400005}, {}, format).count("# TYPE"), 2);
}

void WatchFleetTest::requests_data()
{
    QTest::addColumn<QByteArray>("request");
    QTest::addColumn<metricsserver::Outcome>("outcome");
    QTest::addColumn<bool>("head");
    QTest::addColumn<metrics::Format>("format");
    QTest::addColumn<QByteArray>("status");  // of a refusal
    using metricsserver::Outcome;
    const auto row = [](const char *name, const QByteArray &request, Outcome outcome, bool head,
                        metrics::Format format) {
        QTest::newRow(name) << request << outcome << head << format << QByteArray();
    };
    const auto refused = [](const char *name, const QByteArray &request, const QByteArray &status) {
        QTest::newRow(name) << request << Outcome::Refused << false << metrics::Format::Text << status;
    };
    const auto text = metrics::Format::Text;
    row("Prometheus's scrape",
        "GET /metrics HTTP/1.1\r\nHost: x\r\nAccept: application/openmetrics-text;"
        "version=1.0.0,text/plain;version=0.0.4;q=0.5\r\n\r\n",
        Outcome::Scrape, false, metrics::Format::OpenMetrics);
    row("curl's: the text format", "GET /metrics HTTP/1.1\r\nHost: x\r\nAccept: */*\r\n\r\n", Outcome::Scrape, false,
        text);
    row("a query and a bare line feed", "GET /metrics?x=1 HTTP/1.0\n\n", Outcome::Scrape, false, text);
    row("a line feed, then CR LF, ends the head", "GET /metrics HTTP/1.1\r\nHost: x\n\r\n", Outcome::Scrape, false,
        text);
    row("empty lines before the request line", "\r\n\nGET /metrics HTTP/1.0\r\n\r\n", Outcome::Scrape, false, text);
    row("HEAD", "HEAD /metrics HTTP/1.1\r\nHost: x\r\n\r\n", Outcome::Scrape, true, text);
    row("the header name in capitals",
        "GET /metrics HTTP/1.1\r\nHost: x\r\nACCEPT: application/openmetrics-text\r\n\r\n", Outcome::Scrape, false,
        metrics::Format::OpenMetrics);
    row("not yet whole", "GET /metrics HTTP/1.1\r\nHost: x\r\n", Outcome::NeedMore, false, text);
    row("another path", "GET / HTTP/1.1\r\nHost: x\r\n\r\n", Outcome::NotFound, false, text);
    row("a path that starts alike", "GET /metricsx HTTP/1.1\r\nHost: x\r\n\r\n", Outcome::NotFound, false, text);
    row("POST", "POST /metrics HTTP/1.1\r\nHost: x\r\nContent-Length: 0\r\n\r\n", Outcome::NotAllowed, false, text);
    refused("HTTP/2's preface", "PRI * HTTP/2.0\r\n\r\nSM\r\n\r\n", "505 HTTP Version Not Supported");
    refused("a method in small letters", "get /metrics HTTP/1.1\r\nHost: x\r\n\r\n", "400 Bad Request");
    refused("HTTP/1.1 without Host", "GET /metrics HTTP/1.1\r\nAccept: */*\r\n\r\n", "400 Bad Request");
    refused("a header without a colon", "GET /metrics HTTP/1.1\r\nHost x\r\n\r\n", "400 Bad Request");
    refused("white space in a header's name", "GET /metrics HTTP/1.1\r\nHost: x\r\nAc cept: */*\r\n\r\n",
            "400 Bad Request");
    refused("a NUL in a header's name", QByteArray("GET /metrics HTTP/1.1\r\nHost: x\r\nA\0b: c\r\n\r\n", 42),
            "400 Bad Request");
    refused("a folded header", "GET /metrics HTTP/1.1\r\nHost: x\r\nA: b\r\n c\r\n\r\n", "400 Bad Request");
    // The limit holds the whole head, its empty line included.
    const QByteArray start = "GET /metrics HTTP/1.1\r\nHost: x\r\nX: ";
    const QByteArray head8k = start + QByteArray(8192 - start.size() - 4, 'x');
    row("a head of 8 KiB, its end still to come", head8k + "\r\n\r", Outcome::NeedMore, false, text);
    row("a head of 8 KiB, ended", head8k + "\r\n\r\n", Outcome::Scrape, false, text);
    row("8 KiB of a head, unended", head8k + "xxxx", Outcome::NeedMore, false, text);
    refused("a byte more, unended", head8k + "xxxxx", "431 Request Header Fields Too Large");
    refused("a head a byte over 8 KiB, ended", head8k + "x\r\n\r\n", "431 Request Header Fields Too Large");
}

void WatchFleetTest::requests()
{
    QFETCH(QByteArray, request);
    QFETCH(metricsserver::Outcome, outcome);
    QFETCH(bool, head);
    QFETCH(metrics::Format, format);
    QFETCH(QByteArray, status);
    const metricsserver::Request parsed = metricsserver::parseRequest(request, 8192);
    QCOMPARE(parsed.outcome, outcome);
    QCOMPARE(parsed.status, status);
    const QByteArray reply = metricsserver::replyTo(parsed, "x 1\n");
    if (outcome == metricsserver::Outcome::Scrape) {
        QCOMPARE(parsed.head, head);
        QCOMPARE(parsed.format, format);
        QCOMPARE(reply, "HTTP/1.1 200 OK\r\nContent-Type: " + metrics::contentType(format) +
                            "\r\nContent-Length: 4\r\nConnection: close\r\n\r\n" + (head ? "" : "x 1\n"));
    } else if (outcome == metricsserver::Outcome::Refused) {
        QVERIFY2(reply.startsWith("HTTP/1.1 " + status + "\r\n"), reply.constData());
    }
}

namespace {

// A peer on a non-blocking socket: what it sends at once, and what it has received.
struct Peer {
    int fd = -1;
    QByteArray received;
    bool closed = false;  // by the server

    void take()
    {
        char chunk[4096];
        ssize_t got;
        while ((got = recv(fd, chunk, sizeof chunk, MSG_DONTWAIT)) > 0)
            received.append(chunk, static_cast<int>(got));
        closed = closed || got == 0 || (got < 0 && errno == ECONNRESET);
    }
};

int connectTo(quint16 port)
{
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return ::connect(fd, reinterpret_cast<sockaddr *>(&address), sizeof address) == 0 ? fd : -1;
}

// The server's side of the loop, as the watch runs it, for MS.
void serve(metricsserver::Server &server, int ms)
{
    static const QElapsedTimer clock = [] {
        QElapsedTimer started;
        started.start();
        return started;
    }();
    const qint64 endMs = clock.elapsed() + ms;
    while (clock.elapsed() < endMs) {
        std::vector<pollfd> fds;
        server.addTo(&fds);
        poll(fds.data(), fds.size(), 10);
        for (const pollfd &fd : fds)
            server.handle(fd, clock.elapsed());
        server.onTime(clock.elapsed());
    }
}

}  // namespace

void WatchFleetTest::serverRefusesToListen_data()
{
    QTest::addColumn<QByteArray>("address");
    QTest::addColumn<QByteArray>("why");
    const QByteArray form = "' is no ADDRESS:PORT, such as 127.0.0.1:9730 or :9730 for every address";
    QTest::newRow("no port") << QByteArray("127.0.0.1") << "'127.0.0.1" + form;
    QTest::newRow("port 0") << QByteArray(":0") << "':0" + form;
    QTest::newRow("a port past 65535") << QByteArray(":65536") << "':65536" + form;
    QTest::newRow("a port that is no number") << QByteArray("127.0.0.1:http") << "'127.0.0.1:http" + form;
    // Bound, never sent to: no interface here has a documentation address.
    QTest::newRow("an address of no interface here")
        << QByteArray("192.0.2.1:19733")
        << QByteArray("cannot listen on 192.0.2.1:19733: Cannot assign requested address");
    QTest::newRow("a port in use") << QByteArray("127.0.0.1:19732")
                                   << QByteArray("cannot listen on 127.0.0.1:19732: Address already in use");
}

void WatchFleetTest::serverRefusesToListen()
{
    QFETCH(QByteArray, address);
    QFETCH(QByteArray, why);
    metricsserver::Server holder([](metrics::Format) { return QByteArray(); });
    QByteArray said;
    QVERIFY2(holder.listen("127.0.0.1:19732", &said), said.constData());
    metricsserver::Server server([](metrics::Format) { return QByteArray(); });
    QVERIFY(!server.listen(address, &said));
    QCOMPARE(said, why);
}

void WatchFleetTest::serverHoldsAgainstPeers_data()
{
    QTest::addColumn<QByteArrayList>("sent");  // by each peer in turn, as it connects
    // By each: the start of it, or "open" while the last peer is within its time-out, to be
    // closed once past it.
    QTest::addColumn<QByteArrayList>("received");
    const QByteArray scrape = "GET /metrics HTTP/1.1\r\nHost: x\r\nAccept: */*\r\n\r\n";
    const QByteArray ok = "HTTP/1.1 200 OK\r\nContent-Type: text/plain; version=0.0.4; charset=utf-8\r\n"
                          "Content-Length: 7\r\nConnection: close\r\n\r\nmade 1\n";
    QTest::newRow("a scrape, then the close") << QByteArrayList{scrape} << QByteArrayList{ok};
    QTest::newRow("scrapes close together share one exposition")
        << QByteArrayList{scrape, scrape} << QByteArrayList{ok, ok};
    QTest::newRow("another path") << QByteArrayList{"GET / HTTP/1.0\r\n\r\n"}
                                  << QByteArrayList{"HTTP/1.1 404 Not Found\r\n"};
    QTest::newRow("a head never ended is closed at its time-out")
        << QByteArrayList{"GET /metrics HTTP/1.1\r\n"} << QByteArrayList{"open"};
    QTest::newRow("a head past the limit") << QByteArrayList{"GET /metrics HTTP/1.1\r\nX: " + QByteArray(100, 'x')}
                                           << QByteArrayList{"HTTP/1.1 431 Request Header Fields Too Large\r\n"};
    QTest::newRow("past the most connections, the oldest silent peer makes room")
        << QByteArrayList{"", "", scrape} << QByteArrayList{"", "open", ok};
}

void WatchFleetTest::serverHoldsAgainstPeers()
{
    QFETCH(QByteArrayList, sent);
    QFETCH(QByteArrayList, received);
    metricsserver::Limits limits;
    limits.maxConnections = 2;
    limits.maxRequestBytes = 64;
    limits.requestTimeoutMs = 1000;
    int made = 0;
    metricsserver::Server server([&made](metrics::Format) { return "made " + QByteArray::number(++made) + '\n'; },
                                 limits);
    QByteArray why;
    QVERIFY2(server.listen("127.0.0.1:19730", &why), why.constData());
    QList<Peer> peers;
    for (const QByteArray &bytes : sent) {
        Peer peer;
        peer.fd = connectTo(19730);
        QVERIFY(peer.fd >= 0);
        QCOMPARE(send(peer.fd, bytes.constData(), static_cast<std::size_t>(bytes.size()), MSG_NOSIGNAL),
                 static_cast<ssize_t>(bytes.size()));
        peers.append(peer);
        serve(server, 50);
    }
    serve(server, 150);  // within the request's time-out of the last peer...
    for (int i = 0; i < peers.size(); ++i) {
        peers[i].take();
        if (received[i] == "open") {
            QVERIFY2(!peers[i].closed, QByteArray::number(i).constData());
            serve(server, 1200);  // ...which this one then reaches
            peers[i].take();
            QVERIFY(peers[i].closed);
        } else {
            QVERIFY2(peers[i].closed, QByteArray::number(i).constData());
            QVERIFY2(peers[i].received.startsWith(received[i]), peers[i].received.constData());
        }
        close(peers[i].fd);
    }
}

QTEST_GUILESS_MAIN(WatchFleetTest)
#include "tst_watch_fleet.moc"
