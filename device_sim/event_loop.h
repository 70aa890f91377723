// The event loop under device_sim: Qt's own waits in poll() on every socket at every turn,
// so with a fleet of clients connected each turn costs in proportion to all of them.
// This one asks epoll for the sockets that are ready, and keeps its timers in order.
#pragma once

#include <QAbstractEventDispatcher>
#include <QString>

#include <map>
#include <unordered_map>
#include <unordered_set>

class EpollEventDispatcher : public QAbstractEventDispatcher {
public:
    EpollEventDispatcher();
    ~EpollEventDispatcher() override;

    // Empty when it works; otherwise the system call that failed as it was made, and why.
    const QString &error() const { return error_; }

    bool processEvents(QEventLoop::ProcessEventsFlags flags) override;
    void registerSocketNotifier(QSocketNotifier *notifier) override;
    void unregisterSocketNotifier(QSocketNotifier *notifier) override;
#if QT_VERSION < QT_VERSION_CHECK(6, 0, 0)
    bool hasPendingEvents() override;
    void flush() override
    {
    }
    void registerTimer(int timerId, int interval, Qt::TimerType timerType, QObject *object) override
    {
        addTimer(timerId, interval, timerType, object);
    }
#else
    void registerTimer(int timerId, qint64 interval, Qt::TimerType timerType, QObject *object) override
    {
        addTimer(timerId, interval, timerType, object);
    }
#endif
    bool unregisterTimer(int timerId) override;
    bool unregisterTimers(QObject *object) override;
    QList<TimerInfo> registeredTimers(QObject *object) const override;
    int remainingTime(int timerId) override;
    void wakeUp() override;
    void interrupt() override;

private:
    struct Watched {
        QSocketNotifier *read = nullptr;
        QSocketNotifier *write = nullptr;
        QSocketNotifier *exception = nullptr;
    };
    struct Timer {
        QObject *object;
        qint64 intervalMs;
        Qt::TimerType type;
        qint64 dueMs;
    };

    void addTimer(int timerId, qint64 intervalMs, Qt::TimerType type, QObject *object);
    void watch(int fd, const Watched &watched, bool known);
    // A system call that failed, on the log, as each is.
    static void logSystemError(const char *call, int error);
    int waitMs(bool mayWait) const;
    bool activateTimers();

    int epoll_;
    int wakeFd_;
    std::unordered_map<int, Watched> watched_;
    std::unordered_set<int> unwatchedThisTurn_;  // their readiness in this turn is stale
    std::unordered_map<int, Timer> timers_;
    std::multimap<qint64, int> due_;  // when each timer is due, and its id
    bool interrupted_ = false;
    QString error_;
};
