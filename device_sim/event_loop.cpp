#include "event_loop.h"

#include "log.h"

#include <QCoreApplication>
#include <QSocketNotifier>
#include <QTimerEvent>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <vector>

#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <unistd.h>

namespace {

constexpr int maxReadyPerTurn = 256;

qint64 nowMs()
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

}  // namespace

EpollEventDispatcher::EpollEventDispatcher()
    : epoll_(epoll_create1(EPOLL_CLOEXEC)), wakeFd_(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK))
{
    epoll_event event{};
    event.events = EPOLLIN;
    event.data.fd = wakeFd_;
    const char *failed = epoll_ < 0                                               ? "epoll_create1"
                         : wakeFd_ < 0                                            ? "eventfd"
                         : epoll_ctl(epoll_, EPOLL_CTL_ADD, wakeFd_, &event) != 0 ? "epoll_ctl"
                                                                                  : nullptr;
    if (failed)
        error_ = QStringLiteral("%1: %2").arg(QLatin1String(failed), QString::fromLocal8Bit(std::strerror(errno)));
}

EpollEventDispatcher::~EpollEventDispatcher()
{
    if (wakeFd_ >= 0)
        ::close(wakeFd_);
    if (epoll_ >= 0)
        ::close(epoll_);
}

bool EpollEventDispatcher::processEvents(QEventLoop::ProcessEventsFlags flags)
{
    interrupted_ = false;
    emit awake();
    QCoreApplication::sendPostedEvents();

    const int timeoutMs = waitMs((flags & QEventLoop::WaitForMoreEvents) && !interrupted_);
    if (timeoutMs != 0)
        emit aboutToBlock();
    epoll_event events[maxReadyPerTurn];
    const int ready = epoll_wait(epoll_, events, maxReadyPerTurn, timeoutMs);
    if (ready < 0 && errno != EINTR)
        logSystemError("epoll_wait", errno);
    if (timeoutMs != 0)
        emit awake();

    unwatchedThisTurn_.clear();
    bool handled = false;
    for (int i = 0; i < std::max(ready, 0); ++i) {
        const int fd = events[i].data.fd;
        if (fd == wakeFd_) {
            std::uint64_t count;
            [[maybe_unused]] const ssize_t got = ::read(wakeFd_, &count, sizeof count);
            continue;
        }
        if (flags & QEventLoop::ExcludeSocketNotifiers)
            continue;
        // As Qt's own loop reads poll()'s answer. Each notifier is looked up afresh, as the
        // one before may have removed it, and a descriptor given up in this turn may already
        // belong to another socket.
        const std::uint32_t got = events[i].events;
        for (const auto type : {QSocketNotifier::Exception, QSocketNotifier::Read, QSocketNotifier::Write}) {
            const std::uint32_t wanted = type == QSocketNotifier::Read    ? EPOLLIN | EPOLLHUP | EPOLLERR
                                         : type == QSocketNotifier::Write ? EPOLLOUT | EPOLLERR
                                                                          : EPOLLPRI;
            const auto found = watched_.find(fd);
            if (!(got & wanted) || found == watched_.end() || unwatchedThisTurn_.count(fd))
                continue;
            QSocketNotifier *notifier = type == QSocketNotifier::Read    ? found->second.read
                                        : type == QSocketNotifier::Write ? found->second.write
                                                                         : found->second.exception;
            if (!notifier)
                continue;
            QEvent activation(QEvent::SockAct);
            QCoreApplication::sendEvent(notifier, &activation);
            handled = true;
        }
    }
    return activateTimers() || handled;
}

// How long the turn may wait: until the next timer is due, or not at all.
int EpollEventDispatcher::waitMs(bool mayWait) const
{
    if (!mayWait)
        return 0;
    if (due_.empty())
        return -1;
    return static_cast<int>(std::clamp<qint64>(due_.begin()->first - nowMs(), 0, 24 * 3600 * 1000));
}

bool EpollEventDispatcher::activateTimers()
{
    const qint64 now = nowMs();
    // The due ones first: a timer's event may start and stop others, itself included.
    std::vector<int> dueIds;
    for (auto it = due_.begin(); it != due_.end() && it->first <= now; ++it)
        dueIds.push_back(it->second);
    for (const int id : dueIds) {
        const auto found = timers_.find(id);
        if (found == timers_.end() || found->second.dueMs > now)
            continue;
        Timer &timer = found->second;
        const auto [first, last] = due_.equal_range(timer.dueMs);
        due_.erase(std::find_if(first, last, [id](const auto &entry) { return entry.second == id; }));
        timer.dueMs = now + timer.intervalMs;
        due_.emplace(timer.dueMs, id);
        QTimerEvent event(id);
        QCoreApplication::sendEvent(timer.object, &event);
    }
    return !dueIds.empty();
}

void EpollEventDispatcher::registerSocketNotifier(QSocketNotifier *notifier)
{
    const int fd = static_cast<int>(notifier->socket());
    const bool known = watched_.count(fd) > 0;
    Watched &watched = watched_[fd];
    switch (notifier->type()) {
    case QSocketNotifier::Read:
        watched.read = notifier;
        break;
    case QSocketNotifier::Write:
        watched.write = notifier;
        break;
    case QSocketNotifier::Exception:
        watched.exception = notifier;
        break;
    }
    watch(fd, watched, known);
}

void EpollEventDispatcher::unregisterSocketNotifier(QSocketNotifier *notifier)
{
    const int fd = static_cast<int>(notifier->socket());
    const auto found = watched_.find(fd);
    if (found == watched_.end())
        return;
    Watched &watched = found->second;
    for (QSocketNotifier **slot : {&watched.read, &watched.write, &watched.exception})
        if (*slot == notifier)
            *slot = nullptr;
    unwatchedThisTurn_.insert(fd);
    watch(fd, watched, true);
}

// Tells epoll what the descriptor's notifiers wait for, or forgets it when none is left.
void EpollEventDispatcher::watch(int fd, const Watched &watched, bool known)
{
    epoll_event event{};
    event.data.fd = fd;
    event.events =
        (watched.read ? EPOLLIN : 0u) | (watched.write ? EPOLLOUT : 0u) | (watched.exception ? EPOLLPRI : 0u);
    if (event.events == 0) {
        // A descriptor already closed has left the epoll set by itself.
        if (epoll_ctl(epoll_, EPOLL_CTL_DEL, fd, &event) != 0 && errno != ENOENT && errno != EBADF)
            logSystemError("epoll_ctl EPOLL_CTL_DEL", errno);
        watched_.erase(fd);
        return;
    }
    // What epoll knows of the descriptor may differ from what the notifiers say: one closed
    // and reopened under the same number, say. The other operation is tried then.
    if (epoll_ctl(epoll_, known ? EPOLL_CTL_MOD : EPOLL_CTL_ADD, fd, &event) == 0)
        return;
    if ((errno == ENOENT || errno == EEXIST) &&
        epoll_ctl(epoll_, known ? EPOLL_CTL_ADD : EPOLL_CTL_MOD, fd, &event) == 0)
        return;
    // The descriptor's events will not come: its connection ends at its deadline.
    logSystemError(known ? "epoll_ctl EPOLL_CTL_MOD" : "epoll_ctl EPOLL_CTL_ADD", errno);
}

void EpollEventDispatcher::logSystemError(const char *call, int error)
{
    logLine(QStringLiteral("%1 event loop: %2: %3")
                .arg(timestamp(), QLatin1String(call), QString::fromLocal8Bit(std::strerror(error))));
}

#if QT_VERSION < QT_VERSION_CHECK(6, 0, 0)
// Deprecated in Qt 5 and gone from Qt 6; nothing in device_sim asks.
bool EpollEventDispatcher::hasPendingEvents()
{
    return false;
}
#endif

void EpollEventDispatcher::addTimer(int timerId, qint64 intervalMs, Qt::TimerType type, QObject *object)
{
    const qint64 dueMs = nowMs() + intervalMs;
    timers_[timerId] = Timer{object, intervalMs, type, dueMs};
    due_.emplace(dueMs, timerId);
}

bool EpollEventDispatcher::unregisterTimer(int timerId)
{
    const auto found = timers_.find(timerId);
    if (found == timers_.end())
        return false;
    const auto [first, last] = due_.equal_range(found->second.dueMs);
    due_.erase(std::find_if(first, last, [timerId](const auto &entry) { return entry.second == timerId; }));
    timers_.erase(found);
    return true;
}

bool EpollEventDispatcher::unregisterTimers(QObject *object)
{
    std::vector<int> ids;
    for (const auto &[id, timer] : timers_)
        if (timer.object == object)
            ids.push_back(id);
    for (const int id : ids)
        unregisterTimer(id);
    return !ids.empty();
}

QList<QAbstractEventDispatcher::TimerInfo> EpollEventDispatcher::registeredTimers(QObject *object) const
{
    QList<TimerInfo> found;
    for (const auto &[id, timer] : timers_)
        if (timer.object == object)
            found.append(TimerInfo(id, static_cast<int>(timer.intervalMs), timer.type));
    return found;
}

int EpollEventDispatcher::remainingTime(int timerId)
{
    const auto found = timers_.find(timerId);
    if (found == timers_.end())
        return -1;
    return static_cast<int>(std::max<qint64>(0, found->second.dueMs - nowMs()));
}

void EpollEventDispatcher::wakeUp()
{
    const std::uint64_t one = 1;
    [[maybe_unused]] const ssize_t written = ::write(wakeFd_, &one, sizeof one);
}

void EpollEventDispatcher::interrupt()
{
    interrupted_ = true;
    wakeUp();
}
