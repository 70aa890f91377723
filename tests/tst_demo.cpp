// scripts/demo as a user runs it: in a terminal (a pseudo-terminal under script), inside
// the private network namespace it makes itself, until Ctrl-C.
#include <QDir>
#include <QFile>
#include <QProcess>
#include <QtTest>

#include <csignal>

namespace {

const QString buildDir = QStringLiteral(SOURCE_DIR "/build-demo");

// The demo's own processes: device_sim on the default address, and the client with no
// options (every other test gives the client options).
QList<qint64> demoProcesses()
{
    QList<qint64> found;
    for (const QString &entry : QDir(QStringLiteral("/proc")).entryList(QDir::Dirs)) {
        bool isPid = false;
        const qint64 pid = entry.toLongLong(&isPid);
        QFile cmdline(QStringLiteral("/proc/%1/cmdline").arg(entry));
        if (!isPid || !cmdline.open(QIODevice::ReadOnly))
            continue;
        const QList<QByteArray> arguments = cmdline.readAll().split('\0');
        const QByteArray program = arguments.value(0);
        if ((program == (buildDir + "/device_sim").toUtf8() && arguments.contains(CLIENT_DEFAULT_IP)) ||
            (program == (buildDir + "/testVRN730").toUtf8() && arguments.size() <= 2))
            found.append(pid);
    }
    return found;
}

// Starts COMMAND in a terminal (a pseudo-terminal under script) in the source tree, and
// waits until the screen shows two status lines; the screen so far goes into SCREEN.
bool showsTwoStatusLines(QProcess &terminal, const QString &command, QByteArray *screen)
{
    terminal.setWorkingDirectory(QStringLiteral(SOURCE_DIR));
    terminal.start(QStringLiteral("script"), {"-qfec", command, "/dev/null"});
    if (!terminal.waitForStarted(5000))
        return false;
    return QTest::qWaitFor(
        [&] {
            *screen += terminal.readAllStandardOutput();
            return screen->count("nLoop:\t") >= 2;
        },
        60000);
}

}  // namespace

class DemoTest : public QObject {
    Q_OBJECT

private slots:
    void showsLiveStatusLinesUntilCtrlC_data();
    void showsLiveStatusLinesUntilCtrlC();
    void signalToTheDemoEndsBothPrograms_data();
    void signalToTheDemoEndsBothPrograms();
};

void DemoTest::showsLiveStatusLinesUntilCtrlC_data()
{
    QTest::addColumn<int>("columns");
    QTest::addColumn<bool>("warned");
    QTest::newRow("84 columns: as wide as the status line") << 84 << false;
    QTest::newRow("83 columns: the line would wrap, said once") << 83 << true;
}

void DemoTest::showsLiveStatusLinesUntilCtrlC()
{
    QFETCH(int, columns);
    QFETCH(bool, warned);

    QVERIFY2(demoProcesses().isEmpty(), "a demo is already running");
    QProcess terminal;
    QByteArray screen;
    // The shell that runs the demo goes on after it only if the demo handled Ctrl-C and
    // exited; a demo that dies by the signal, as it should, ends that shell too.
    const bool twoLines =
        showsTwoStatusLines(terminal,
                            QStringLiteral("stty cols %1; scripts/demo; echo \"demo exited: $?\"").arg(columns),
                            &screen);
    terminal.write("\x03");  // Ctrl-C, as typed: the terminal signals the demo's foreground group
    const bool ended = QTest::qWaitFor([&] { return terminal.state() == QProcess::NotRunning; }, 15000);
    screen += terminal.readAllStandardOutput();

    QTest::qWait(500);
    const QList<qint64> left = demoProcesses();
    for (const qint64 pid : left)
        ::kill(static_cast<pid_t>(pid), SIGKILL);
    if (!ended) {
        terminal.kill();
        terminal.waitForFinished(5000);
    }

    QVERIFY2(twoLines, screen.constData());
    QVERIFY2(screen.contains("demo: building testVRN730 and device_sim in build-demo/"), screen.constData());
    QVERIFY2(screen.contains("demo: device_sim on " CLIENT_DEFAULT_IP " port 80 logs to build-demo/device_sim.log"),
             screen.constData());
    QVERIFY2(!screen.contains("Error") && !screen.contains("No connection"), screen.constData());
    const QByteArray warning = "demo: this terminal is 83 columns wide; the status line needs 84";
    QCOMPARE(screen.count(warning), warned ? 1 : 0);
    QVERIFY2(ended, "the demo did not end on Ctrl-C");
    // The terminal echoes Ctrl-C as ^C after the status line; then the cursor is on a fresh line.
    const QByteArray afterLastLine = screen.mid(screen.lastIndexOf("nLoop:\t"));
    QVERIFY2(afterLastLine.contains("^C\r\n"), afterLastLine.constData());
    QVERIFY2(!screen.contains("demo exited:"), "the demo exited on Ctrl-C instead of dying by it");
    QCOMPARE(terminal.exitCode(), 128 + SIGINT);
    QVERIFY2(left.isEmpty(), "processes of the demo were left running");
}

void DemoTest::signalToTheDemoEndsBothPrograms_data()
{
    QTest::addColumn<int>("signal");
    QTest::newRow("SIGTERM (kill PID)") << int(SIGTERM);
    QTest::newRow("SIGHUP (a closed terminal)") << int(SIGHUP);
}

// The demo runs in a terminal, as for Ctrl-C, but only its own process gets the signal,
// not its process group: the shell that started the client, the client's parent.
void DemoTest::signalToTheDemoEndsBothPrograms()
{
    QFETCH(int, signal);

    QVERIFY2(demoProcesses().isEmpty(), "a demo is already running");
    // The terminal's shell outlives the demo, as a user's does, so that closing the
    // terminal does not end the programs in the demo's stead.
    QProcess terminal;
    QByteArray screen;
    const bool twoLines = showsTwoStatusLines(terminal, QStringLiteral("scripts/demo; sleep 30"), &screen);
    const QList<qint64> running = demoProcesses();
    qint64 demo = -1;
    for (const qint64 pid : running) {
        QFile cmdline(QStringLiteral("/proc/%1/cmdline").arg(pid));
        QFile stat(QStringLiteral("/proc/%1/stat").arg(pid));
        if (cmdline.open(QIODevice::ReadOnly) && cmdline.readAll().split('\0').value(0).endsWith("/testVRN730") &&
            stat.open(QIODevice::ReadOnly))
            demo = stat.readAll().split(' ').value(3).toLongLong();  // its parent
    }
    if (demo > 0)
        ::kill(static_cast<pid_t>(demo), signal);
    const bool bothGone = QTest::qWaitFor([] { return demoProcesses().isEmpty(); }, 10000);
    for (const qint64 pid : demoProcesses())
        ::kill(static_cast<pid_t>(pid), SIGKILL);
    terminal.kill();
    terminal.waitForFinished(5000);

    QVERIFY2(twoLines, screen.constData());
    QCOMPARE(running.size(), 2);
    QVERIFY2(demo > 0, "the client's parent, the demo, not found");
    QVERIFY2(bothGone, "device_sim or testVRN730 was left running");
}

QTEST_GUILESS_MAIN(DemoTest)
#include "tst_demo.moc"
