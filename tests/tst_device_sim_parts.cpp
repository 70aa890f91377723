// device_sim's parts in process: what its command line refuses, and its event loop, whose
// timers and socket notifiers must behave as Qt's own under the cases a server meets.
#include "event_loop.h"
#include "listener.h"
#include "options.h"
#include "replies.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QSocketNotifier>
#include <QTemporaryDir>
#include <QTimer>
#include <QtTest>

#include <memory>
#include <thread>

#include <fcntl.h>
#include <net/if.h>
#include <netinet/in.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// Turns the loop until `done` holds or timeoutMs pass; false on the time-out.
bool turnUntil(const std::function<bool()> &done, int timeoutMs = 5000)
{
    QElapsedTimer clock;
    clock.start();
    while (!done()) {
        if (clock.elapsed() > timeoutMs)
            return false;
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 50);
    }
    return true;
}

enum class Case {
    DueOrder,
    TouchedInsideItsEvent,
    ZeroIntervalStarvesNothing,
    DescriptorReusedInOneTurn,
    WakeUpFromAnotherThread,
    InterruptEndsTheWait,
};

}  // namespace

Q_DECLARE_METATYPE(Case)
Q_DECLARE_METATYPE(Mode)

class DeviceSimPartsTest : public QObject {
    Q_OBJECT

private slots:
    void badOptions_data();
    void badOptions();
    void eventLoopBehavesAsQtsOwn_data();
    void eventLoopBehavesAsQtsOwn();
    void eventLoopSaysWhyWhenItCannotStart();
    void listenAddresses_data();
    void listenAddresses();
    void bigRepliesAreShared_data();
    void bigRepliesAreShared();

private:
    QTemporaryDir files_;
};

void DeviceSimPartsTest::badOptions_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<QByteArray>("error");
    // The modes as the table names them, and the faults among them.
    QByteArrayList modeNames;
    QByteArrayList faultNames;
    for (const ModeInfo &info : ::modes()) {
        modeNames.append(info.name);
        if (info.perRequestFault)
            faultNames.append(info.name);
    }
    const QByteArray modes = modeNames.join(", ");
    const QByteArray faults = faultNames.join(", ");
    QTest::newRow("unknown option") << QStringList{"--bogus"} << QByteArray("Unknown option 'bogus'.");
    QTest::newRow("missing value") << QStringList{"--mode"} << QByteArray("Missing value after '--mode'.");
    QTest::newRow("value on a flag") << QStringList{"--close=yes"} << QByteArray("Unexpected value after '--close'.");
    QTest::newRow("a stray argument") << QStringList{"80"} << QByteArray("unexpected argument '80' (see --help)");
    QTest::newRow("port not a number") << QStringList{"--port", "eighty"}
                                       << QByteArray("--port needs a number from 1 to 65535, not 'eighty'");
    QTest::newRow("port 0, as --opt=value")
        << QStringList{"--port=0"} << QByteArray("--port needs a number from 1 to 65535, not '0'");
    QTest::newRow("port above 65535") << QStringList{"--port", "65536"}
                                      << QByteArray("--port needs a number from 1 to 65535, not '65536'");
    QTest::newRow("mistyped mode lists the modes")
        << QStringList{"--mode", "truncate"} << "unknown mode 'truncate'; the modes are " + modes;
    QTest::newRow("listen on a name") << QStringList{"--listen", "localhost"}
                                      << QByteArray("--listen needs an IP address, not 'localhost'");
    QTest::newRow("negative gap") << QStringList{"--gap-ms", "-1"}
                                  << QByteArray("--gap-ms needs a number from 0 to 3600000, not '-1'");
    QTest::newRow("reply size too large")
        << QStringList{"--reply-bytes", "300000000"}
        << QByteArray("--reply-bytes needs a number from 0 to 268435456, not '300000000'");
    QTest::newRow("rate 0") << QStringList{"--rate", "0"}
                            << QByteArray("--rate needs a number from 1 to 1000000000, not '0'");
    QTest::newRow("down without up") << QStringList{"--down-ms", "500"}
                                     << QByteArray("--down-ms and --up-ms go together");
    QTest::newRow("unreadable reply file")
        << QStringList{"--reply-file", "/nonexistent/reply"}
        << QByteArray("cannot read --reply-file '/nonexistent/reply': No such file or directory");
    mkfifo(QFile::encodeName(files_.filePath("fifo")).constData(), 0600);
    QTest::newRow("reply file a FIFO, which would block the start")
        << QStringList{"--reply-file", files_.filePath("fifo")}
        << "--reply-file '" + files_.filePath("fifo").toUtf8() + "' must be a regular file: it is a FIFO";
    QTest::newRow("reply file a device, which reports no size")
        << QStringList{"--reply-file", "/dev/zero"}
        << QByteArray("--reply-file '/dev/zero' must be a regular file: it is a device");
    QTest::newRow("reply file a directory")
        << QStringList{"--reply-file", "/"} << QByteArray("--reply-file '/' must be a regular file: it is a directory");
    for (const char *kernelFile : {"/proc/self/status", "/sys/devices/system/cpu/online"})
        QTest::addRow("reply file %s", kernelFile)
            << QStringList{"--reply-file", kernelFile}
            << "--reply-file '" + QByteArray(kernelFile) +
                   "' must be a regular file: it is the kernel's, under /proc or /sys, where a read can change what "
                   "it holds";
    QFile overCap(files_.filePath("over-cap"));
    if (overCap.open(QIODevice::WriteOnly))
        overCap.resize(256 * 1024 * 1024 + 1);  // sparse: it takes no room on the disk
    QTest::newRow("reply file over the largest reply")
        << QStringList{"--reply-file", overCap.fileName()}
        << "--reply-file '" + overCap.fileName().toUtf8() + "' holds more than the 268435456 bytes a reply may have";
    QTest::newRow("a reply size below the smallest reply") << QStringList{"--reply-bytes", "100"}
                                                           << QByteArray("--reply-bytes 100 is less than the smallest "
                                                                         "reply of mode ok, 194 bytes");
    QTest::newRow("--help-all, which it does not have")
        << QStringList{"--help-all"} << QByteArray("Unknown option 'help-all'.");
    QTest::newRow("reply file and reply size") << QStringList{"--reply-file", "/dev/null", "--reply-bytes", "100"}
                                               << QByteArray("--reply-file and --reply-bytes cannot be combined");
    QTest::newRow("fault rate above 1") << QStringList{"--fault-rate", "1.5"}
                                        << QByteArray("--fault-rate needs a number from 0 to 1, not '1.5'");
    QTest::newRow("a mode is no fault") << QStringList{"--fault-rate", "0.5", "--faults", "reset,ok"}
                                        << "unknown fault 'ok'; the faults are " + faults;
    QTest::newRow("faults without a rate")
        << QStringList{"--faults", "reset"} << QByteArray("--faults needs --fault-rate");
    QTest::newRow("a mix and a mode") << QStringList{"--fault-rate", "0.5", "--mode", "gap"}
                                      << QByteArray("--fault-rate draws each request's mode; leave out --mode");
    QTest::newRow("seed not a number") << QStringList{"--seed", "x"}
                                       << QByteArray("--seed needs a number from 0 to 4294967295, not 'x'");
}

void DeviceSimPartsTest::badOptions()
{
    QFETCH(QStringList, arguments);
    QFETCH(QByteArray, error);

    Options options;
    const CommandLine parsed = parseOptions(QStringList{"device_sim"} + arguments, &options);
    QCOMPARE(parsed.error.toUtf8(), error);
}

void DeviceSimPartsTest::eventLoopBehavesAsQtsOwn_data()
{
    QTest::addColumn<Case>("scenario");
    QTest::newRow("timers fire in the order they are due") << Case::DueOrder;
    QTest::newRow("a timer stopped or started again inside its own event") << Case::TouchedInsideItsEvent;
    QTest::newRow("a zero-interval timer starves neither timers nor sockets") << Case::ZeroIntervalStarvesNothing;
    QTest::newRow("a notifier given up and a new socket on its descriptor in one turn")
        << Case::DescriptorReusedInOneTurn;
    QTest::newRow("wakeUp() from another thread ends a wait") << Case::WakeUpFromAnotherThread;
    QTest::newRow("interrupt() ends the loop's wait") << Case::InterruptEndsTheWait;
}

void DeviceSimPartsTest::eventLoopBehavesAsQtsOwn()
{
    QFETCH(Case, scenario);
    QAbstractEventDispatcher *dispatcher = QAbstractEventDispatcher::instance();
    QVERIFY(dynamic_cast<EpollEventDispatcher *>(dispatcher));
    switch (scenario) {
    case Case::DueOrder: {
        QList<int> fired;
        for (const int ms : {60, 20, 40, 0})
            QTimer::singleShot(ms, [&fired, ms] { fired.append(ms); });
        QVERIFY(turnUntil([&] { return fired.size() == 4; }));
        QCOMPARE(fired, QList<int>({0, 20, 40, 60}));
        break;
    }
    case Case::TouchedInsideItsEvent: {
        // One timer stops itself at once, another starts itself again twice.
        QTimer stopped;
        QTimer restarted;
        restarted.setSingleShot(true);
        int stops = 0;
        int starts = 0;
        QObject::connect(&stopped, &QTimer::timeout, [&] {
            ++stops;
            stopped.stop();
        });
        QObject::connect(&restarted, &QTimer::timeout, [&] {
            if (++starts < 3)
                restarted.start(5);
        });
        stopped.start(5);
        restarted.start(5);
        QVERIFY(turnUntil([&] { return starts == 3; }));
        QTest::qWait(50);
        QCOMPARE(stops, 1);
        QCOMPARE(starts, 3);
        break;
    }
    case Case::ZeroIntervalStarvesNothing: {
        QTimer busy;
        int turns = 0;
        QObject::connect(&busy, &QTimer::timeout, [&] { ++turns; });
        busy.start(0);
        bool timerFired = false;
        QTimer::singleShot(30, [&] { timerFired = true; });
        int pair[2];
        QCOMPARE(socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair), 0);
        QSocketNotifier readable(pair[0], QSocketNotifier::Read);
        bool socketFired = false;
        QObject::connect(&readable, &QSocketNotifier::activated, [&] { socketFired = true; });
        QCOMPARE(::write(pair[1], "x", 1), ssize_t{1});
        QVERIFY(turnUntil([&] { return timerFired && socketFired; }, 2000));
        QVERIFY(turns > 1);
        ::close(pair[0]);
        ::close(pair[1]);
        break;
    }
    case Case::DescriptorReusedInOneTurn: {
        // Two sockets ready in one turn. The first handled gives the other's notifier up,
        // and a new socket, with nothing to read, takes its descriptor at once: the old
        // readiness in this turn must not reach the new notifier.
        int pairs[2][2];
        std::unique_ptr<QSocketNotifier> notifiers[2];
        std::unique_ptr<QSocketNotifier> replacement;
        int fresh[2] = {-1, -1};
        int freshFired = 0;
        bool replaced = false;
        int given = -1;  // the pair whose socket was given up
        for (int i = 0; i < 2; ++i) {
            QCOMPARE(socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pairs[i]), 0);
            QCOMPARE(::write(pairs[i][1], "x", 1), ssize_t{1});
        }
        for (int i = 0; i < 2; ++i) {
            notifiers[i] = std::make_unique<QSocketNotifier>(pairs[i][0], QSocketNotifier::Read);
            QObject::connect(notifiers[i].get(), &QSocketNotifier::activated, [&, i] {
                char byte;
                [[maybe_unused]] const ssize_t got = ::read(pairs[i][0], &byte, 1);
                if (std::exchange(replaced, true))
                    return;
                const int other = given = 1 - i;
                notifiers[other]->setEnabled(false);
                ::close(pairs[other][0]);
                QCOMPARE(socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fresh), 0);
                QCOMPARE(fresh[0], pairs[other][0]);
                replacement = std::make_unique<QSocketNotifier>(fresh[0], QSocketNotifier::Read);
                QObject::connect(replacement.get(), &QSocketNotifier::activated, [&] {
                    char none;
                    [[maybe_unused]] const ssize_t got = ::recv(fresh[0], &none, 1, MSG_DONTWAIT);
                    ++freshFired;
                });
            });
        }
        QVERIFY(turnUntil([&] { return replaced; }));
        QTest::qWait(50);
        QCOMPARE(freshFired, 0);
        QCOMPARE(::write(fresh[1], "y", 1), ssize_t{1});
        QVERIFY(turnUntil([&] { return freshFired > 0; }));
        replacement.reset();
        for (auto &notifier : notifiers)
            notifier.reset();
        for (const int fd : {pairs[1 - given][0], pairs[0][1], pairs[1][1], fresh[0], fresh[1]})
            ::close(fd);
        break;
    }
    case Case::WakeUpFromAnotherThread: {
        QElapsedTimer clock;
        clock.start();
        std::thread waker([dispatcher] {
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
            dispatcher->wakeUp();
        });
        // Nothing else is due: only the wake-up can end this wait.
        dispatcher->processEvents(QEventLoop::WaitForMoreEvents);
        waker.join();
        QVERIFY2(clock.elapsed() >= 90 && clock.elapsed() < 5000, qPrintable(QString::number(clock.elapsed())));
        break;
    }
    case Case::InterruptEndsTheWait: {
        QEventLoop loop;
        QTimer::singleShot(20, &loop, [&loop] { loop.quit(); });
        QElapsedTimer clock;
        clock.start();
        std::thread watchdog([dispatcher] {
            std::this_thread::sleep_for(std::chrono::seconds(5));
            dispatcher->wakeUp();  // so that a failure ends the test instead of hanging it
        });
        loop.exec();
        const qint64 took = clock.elapsed();
        watchdog.detach();
        QVERIFY2(took < 1000, qPrintable(QString::number(took)));
        break;
    }
    }
}

// With no descriptor left, the loop cannot be made: it says which call failed.
void DeviceSimPartsTest::eventLoopSaysWhyWhenItCannotStart()
{
    rlimit limit{};
    QCOMPARE(getrlimit(RLIMIT_NOFILE, &limit), 0);
    int lowestFree = 0;  // every descriptor below it is open, so the limit at it leaves none
    while (fcntl(lowestFree, F_GETFD) != -1)
        ++lowestFree;
    rlimit tight = limit;
    tight.rlim_cur = static_cast<rlim_t>(lowestFree);
    QCOMPARE(setrlimit(RLIMIT_NOFILE, &tight), 0);
    const EpollEventDispatcher starved;
    QCOMPARE(setrlimit(RLIMIT_NOFILE, &limit), 0);
    QVERIFY2(starved.error().startsWith(QLatin1String("epoll_create1: ")) ||
                 starved.error().startsWith(QLatin1String("eventfd: ")),
             qPrintable(starved.error()));
}

void DeviceSimPartsTest::listenAddresses_data()
{
    QTest::addColumn<QString>("address");
    QTest::addColumn<int>("family");
    QTest::addColumn<uint>("scope");
    QTest::addColumn<QString>("error");
    const uint lo = if_nametoindex("lo");
    QTest::newRow("IPv4") << "127.0.0.1" << AF_INET << 0u << QString();
    QTest::newRow("IPv6 loopback") << "::1" << AF_INET6 << 0u << QString();
    QTest::newRow("link-local, the interface by name") << "fe80::1%lo" << AF_INET6 << lo << QString();
    QTest::newRow("link-local, the interface by number") << "fe80::1%1" << AF_INET6 << 1u << QString();
    QTest::newRow("link-local, no such interface")
        << "fe80::1%nosuch0" << AF_INET6 << 0u << "no interface is named 'nosuch0'";
}

void DeviceSimPartsTest::listenAddresses()
{
    QFETCH(QString, address);
    QFETCH(int, family);
    QFETCH(uint, scope);
    QFETCH(QString, error);

    QHostAddress parsed;
    QVERIFY(parsed.setAddress(address));
    sockaddr_storage where{};
    socklen_t size = 0;
    QString why;
    QCOMPARE(socketAddressOf(parsed, 80, &where, &size, &why), error.isEmpty());
    QCOMPARE(why, error);
    if (!error.isEmpty())
        return;
    QCOMPARE(int(where.ss_family), family);
    if (family == AF_INET6)
        QCOMPARE(uint(reinterpret_cast<const sockaddr_in6 *>(&where)->sin6_scope_id), scope);
}

// Each mode's plan for large replies: the bytes every reply has in common are made once
// and shared by all plans, however a mode cuts or splits them.
void DeviceSimPartsTest::bigRepliesAreShared_data()
{
    QTest::addColumn<Mode>("mode");
    QTest::addColumn<bool>("fromFile");  // a 1 MiB --reply-file, else --reply-bytes 1048576
    QTest::addColumn<qint64>("size");    // of the plan's bytes
    QTest::addColumn<int>("gaps");       // steps after a silence
    const qint64 mib = 1024 * 1024;
    QTest::newRow("ok, padded") << Mode::Ok << false << mib << 0;
    QTest::newRow("truncated, padded: 30 bytes short") << Mode::Truncated << false << mib - 30 << 0;
    QTest::newRow("reset, padded: half") << Mode::Reset << false << mib / 2 << 0;
    QTest::newRow("gap, padded: 2 pieces") << Mode::Gap << false << mib << 1;
    QTest::newRow("zero-byte, padded") << Mode::ZeroByte << false << mib << 0;
    QTest::newRow("zero-byte, a file: one byte more") << Mode::ZeroByte << true << mib + 1 << 0;
    QTest::newRow("truncated, a file") << Mode::Truncated << true << mib - 30 << 0;
}

void DeviceSimPartsTest::bigRepliesAreShared()
{
    QFETCH(Mode, mode);
    QFETCH(bool, fromFile);
    QFETCH(qint64, size);
    QFETCH(int, gaps);

    const int mib = 1024 * 1024;
    ReplySettings settings;
    settings.mode = mode;
    if (fromFile)
        settings.replyFile = "HTTP/1.1 200 OK\r\n\r\n{\"realTime\":\"" + QByteArray(mib - 34, 'f') + "\"}";
    else
        settings.replyBytes = mib;
    Replies replies(settings);
    Request request;
    request.method = "POST";
    request.path = "/api.php";
    request.body = "{\"id\":7}";
    const Plan first = replies.planFor(request, false);
    const Plan second = replies.planFor(request, false);

    QByteArray whole;
    int afterSilence = 0;
    const char *largest = nullptr;
    qsizetype largestSize = 0;
    for (const Step &step : first.steps) {
        whole += step.bytes;
        afterSilence += step.afterMs > 0 ? 1 : 0;
        if (step.bytes.size() > largestSize) {
            largestSize = step.bytes.size();
            largest = step.bytes.constData();
        }
    }
    QCOMPARE(qint64(whole.size()), size);
    QCOMPARE(afterSilence, gaps);
    QVERIFY(whole.startsWith("HTTP/1.1 200 OK\r\n"));
    // The second plan's bytes are the first's, not a copy.
    bool shared = false;
    for (const Step &step : second.steps)
        shared = shared || step.bytes.constData() == largest;
    QVERIFY2(largestSize > mib / 8 && shared, qPrintable(QString::number(largestSize)));
    if (mode == Mode::Ok && !fromFile) {
        const int bodyAt = whole.indexOf("\r\n\r\n") + 4;
        QVERIFY(whole.contains("\r\nContent-Length: " + QByteArray::number(whole.size() - bodyAt) + "\r\n"));
        QVERIFY(whole.endsWith("\"},\"id\":7}"));
    }
}

int main(int argc, char *argv[])
{
    QCoreApplication::setEventDispatcher(new EpollEventDispatcher);
    QCoreApplication app(argc, argv);
    DeviceSimPartsTest test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_device_sim_parts.moc"
