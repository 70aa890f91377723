// device_sim's event loop in process: timers and socket notifiers as Qt's own loop keeps
// them, under the cases that a server meets.
#include "event_loop.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QSocketNotifier>
#include <QTimer>
#include <QtTest>

#include <memory>
#include <thread>

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/socket.h>
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
    StoppedInsideItsEvent,
    StartedAgainInsideItsEvent,
    ZeroIntervalStarvesNothing,
    DescriptorReusedInOneTurn,
    WakeUpFromAnotherThread,
    InterruptEndsTheWait,
};

}  // namespace

Q_DECLARE_METATYPE(Case)

class EventLoopTest : public QObject {
    Q_OBJECT

private slots:
    void behavesAsQtsOwn_data();
    void behavesAsQtsOwn();
    void saysWhyWhenItCannotStart();
};

void EventLoopTest::behavesAsQtsOwn_data()
{
    QTest::addColumn<Case>("scenario");
    QTest::newRow("timers fire in the order they are due") << Case::DueOrder;
    QTest::newRow("a timer stopped inside its own event fires no more") << Case::StoppedInsideItsEvent;
    QTest::newRow("a timer started again inside its own event fires again") << Case::StartedAgainInsideItsEvent;
    QTest::newRow("a zero-interval timer starves neither timers nor sockets") << Case::ZeroIntervalStarvesNothing;
    QTest::newRow("a notifier given up and a new socket on its descriptor in one turn")
        << Case::DescriptorReusedInOneTurn;
    QTest::newRow("wakeUp() from another thread ends a wait") << Case::WakeUpFromAnotherThread;
    QTest::newRow("interrupt() ends the loop's wait") << Case::InterruptEndsTheWait;
}

void EventLoopTest::behavesAsQtsOwn()
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
    case Case::StoppedInsideItsEvent: {
        QTimer timer;
        int fired = 0;
        QObject::connect(&timer, &QTimer::timeout, [&] {
            ++fired;
            timer.stop();
        });
        timer.start(5);
        QTest::qWait(100);
        QCOMPARE(fired, 1);
        break;
    }
    case Case::StartedAgainInsideItsEvent: {
        QTimer timer;
        timer.setSingleShot(true);
        int fired = 0;
        QObject::connect(&timer, &QTimer::timeout, [&] {
            if (++fired < 3)
                timer.start(5);
        });
        timer.start(5);
        QVERIFY(turnUntil([&] { return fired == 3; }));
        QTest::qWait(50);
        QCOMPARE(fired, 3);
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
void EventLoopTest::saysWhyWhenItCannotStart()
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

int main(int argc, char *argv[])
{
    QCoreApplication::setEventDispatcher(new EpollEventDispatcher);
    QCoreApplication app(argc, argv);
    EventLoopTest test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_event_loop.moc"
