#include "fleet/loop.h"

#include "os/say.h"
#include "os/write_all.h"

#include <QSet>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstring>

#include <sys/epoll.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

constexpr int readChunkBytes = 64 * 1024;
constexpr int maxReadyOutputs = 256;

void reapClients(Supervisor &supervisor)
{
    int status = 0;
    pid_t pid;
    while ((pid = waitpid(-1, &status, WNOHANG)) > 0)
        supervisor.onExit(pid, status);
    if (pid < 0 && errno != ECHILD)
        say(QByteArray("waitpid: ") + QByteArray(std::strerror(errno)));
}

}  // namespace

Loop::Loop(Supervisor &supervisor, metricsserver::Server &server, const Clock &clock, TargetsFile *targets, bool echo)
    : supervisor_(supervisor), server_(server), clock_(clock), targets_(targets), echoing_(echo),
      chunk_(readChunkBytes, Qt::Uninitialized)
{
    nextTargetsCheckMs_ = clock_.monotonicMs() + targetsCheckMs;
}

bool Loop::run(Signals &incoming, int epoll)
{
    int pollFailures = 0;
    while (!supervisor_.finished()) {
        fds_.clear();
        fds_.push_back({incoming.fd(), POLLIN, 0});
        fds_.push_back({epoll, POLLIN, 0});
        server_.addTo(&fds_);
        if (poll(fds_.data(), fds_.size(), waitMs()) < 0 && errno != EINTR) {
            say(QByteArray("poll: ") + QByteArray(std::strerror(errno)) + "; stopping");
            if (++pollFailures > 1)
                return false;
            supervisor_.stop(SIGTERM);
            continue;
        }
        const bool childEnded = takeSignals(incoming.take());
        const qint64 nowMs = clock_.monotonicMs();
        for (std::size_t i = 2; i < fds_.size(); ++i)
            server_.handle(fds_[i], nowMs);
        if (fds_[1].revents != 0)
            readOutputs(epoll);
        if (childEnded)
            reapClients(supervisor_);
        lookAtTargets(nowMs);
        server_.onTime(nowMs);
        supervisor_.onTime();
    }
    return pollFailures == 0;
}

int Loop::waitMs() const
{
    qint64 dueMs = targets_ ? nextTargetsCheckMs_ : -1;
    for (const qint64 due : {supervisor_.nextDueMs(), server_.nextDueMs()})
        if (due >= 0 && (dueMs < 0 || due < dueMs))
            dueMs = due;
    return dueMs < 0 ? -1 : static_cast<int>(std::clamp<qint64>(dueMs - clock_.monotonicMs(), 0, 60000));
}

bool Loop::takeSignals(const QList<int> &taken)
{
    bool childEnded = false;
    for (const int signal : taken) {
        if (signal == SIGCHLD)
            childEnded = true;
        else if (signal == SIGHUP && targets_)
            readTargets(false);
        else
            supervisor_.stop(signal);
    }
    return childEnded;
}

void Loop::readOutputs(int epoll)
{
    epoll_event ready[maxReadyOutputs];
    const int count = epoll_wait(epoll, ready, maxReadyOutputs, 0);
    if (count < 0 && errno != EINTR)
        say(QByteArray("epoll_wait: ") + QByteArray(std::strerror(errno)));
    for (int i = 0; i < count; ++i) {
        const int output = ready[i].data.fd;
        const ssize_t got = read(output, chunk_.data(), static_cast<std::size_t>(chunk_.size()));
        if (got < 0 && (errno == EINTR || errno == EAGAIN))
            continue;
        if (got <= 0) {
            supervisor_.onOutputEnd(output);
            continue;
        }
        const QByteArray bytes = chunk_.left(static_cast<int>(got));
        if (echoing_)
            echoing_ = writeAll(STDOUT_FILENO, bytes);
        supervisor_.onOutput(output, bytes);
    }
}

void Loop::lookAtTargets(qint64 nowMs)
{
    if (!targets_ || nowMs < nextTargetsCheckMs_)
        return;
    nextTargetsCheckMs_ = nowMs + targetsCheckMs;
    if (targets_->changed())
        readTargets(false);
}

bool Loop::readTargets(bool first)
{
    QList<Target> targets;
    QByteArray why;
    if (!targets_->read(&targets, &why)) {
        say(first ? why : why + "; watching the devices as before");
        return false;
    }
    QSet<QByteArray> before;
    for (const QByteArray &address : supervisor_.addresses())
        before.insert(address);
    int added = 0;
    for (const Target &target : targets)
        added += before.remove(target.address) ? 0 : 1;
    supervisor_.setTargets(targets);
    const QByteArray &path = targets_->path();
    if (first)
        say("watching the " + QByteArray::number(targets.size()) + " devices of " + path);
    else
        say(path + " changed: " + QByteArray::number(targets.size()) + " devices, " + QByteArray::number(added) +
            " added, " + QByteArray::number(before.size()) + " removed");
    return true;
}
