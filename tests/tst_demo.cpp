// scripts/demo as a user runs it: in a terminal (a pseudo-terminal under script), inside
// the private network namespace it makes itself, until Ctrl-C.
#include <QDir>
#include <QFile>
#include <QProcess>
#include <QtTest>

#include <csignal>

namespace {

const QString buildDir = QStringLiteral(SOURCE_DIR "/build");

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
        if ((program == (buildDir + "/device_sim").toUtf8() && arguments.contains("192.168.1.100")) ||
            (program == (buildDir + "/testVRN730").toUtf8() && arguments.size() <= 2))
            found.append(pid);
    }
    return found;
}

}  // namespace

class DemoTest : public QObject {
    Q_OBJECT

private slots:
    void showsLiveStatusLinesUntilCtrlC();
};

void DemoTest::showsLiveStatusLinesUntilCtrlC()
{
    QVERIFY2(demoProcesses().isEmpty(), "a demo is already running");
    QProcess terminal;
    terminal.setWorkingDirectory(QStringLiteral(SOURCE_DIR));
    terminal.start(QStringLiteral("script"), {"-qfec", "scripts/demo", "/dev/null"});
    QVERIFY(terminal.waitForStarted(5000));

    QByteArray screen;
    const bool twoLines = QTest::qWaitFor([&] {
        screen += terminal.readAllStandardOutput();
        return screen.count("nLoop:\t") >= 2;
    }, 60000);
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
    QVERIFY2(screen.contains("demo: building testVRN730 and device_sim in build/"), screen.constData());
    QVERIFY2(screen.contains("demo: device_sim on 192.168.1.100 port 80 logs to build/device_sim.log"),
             screen.constData());
    QVERIFY2(!screen.contains("Error") && !screen.contains("No connection"), screen.constData());
    QVERIFY2(ended, "the demo did not end on Ctrl-C");
    QVERIFY2(left.isEmpty(), "processes of the demo were left running");
}

QTEST_GUILESS_MAIN(DemoTest)
#include "tst_demo.moc"
