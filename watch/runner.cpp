#include "runner.h"

#include "metrics_server.h"
#include "supervisor.h"
#include "targets.h"

#include <QByteArray>
#include <QFile>
#include <QFileInfo>
#include <QList>
#include <QProcess>
#include <QSet>
#include <QStandardPaths>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/epoll.h>
#include <sys/resource.h>
#include <sys/signalfd.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

extern char **environ;

namespace {

const char *const self = "testVRN730-watch";
constexpr int readChunkBytes = 64 * 1024;
// How often the targets file is looked at for a change.
constexpr qint64 targetsCheckMs = 1000;

qint64 clockMs(clockid_t clock)
{
    timespec now{};
    if (clock_gettime(clock, &now) != 0) {
        std::fprintf(stderr, "%s: clock_gettime: %s\n", self, std::strerror(errno));
        std::abort();
    }
    return qint64{now.tv_sec} * 1000 + now.tv_nsec / 1000000;
}

class SystemClock : public Clock {
public:
    qint64 monotonicMs() const override { return clockMs(CLOCK_MONOTONIC); }
    qint64 wallMs() const override { return clockMs(CLOCK_REALTIME); }
};

// testVRN730 beside this program first, then on PATH.
QString findClient()
{
    char path[4096];
    const ssize_t size = readlink("/proc/self/exe", path, sizeof path - 1);
    if (size > 0) {
        const QString beside = QFileInfo(QString::fromLocal8Bit(path, static_cast<int>(size))).absolutePath() +
                               QStringLiteral("/testVRN730");
        if (access(QFile::encodeName(beside).constData(), X_OK) == 0)
            return beside;
    }
    return QStandardPaths::findExecutable(QStringLiteral("testVRN730"));
}

struct ClientDefaults {
    QByteArray period, timeout, ip;
};

// The client's defaults, from the last line of its usage text:
// "testVRN730 -p 500 -t 1000 -i ADDRESS".
bool readClientDefaults(const QString &client, ClientDefaults *defaults)
{
    QProcess process;
    process.start(client, {QStringLiteral("-h")});
    if (!process.waitForFinished(10000) || process.exitStatus() != QProcess::NormalExit)
        return false;
    const QList<QByteArray> lines = process.readAllStandardOutput().trimmed().split('\n');
    const QList<QByteArray> words = lines.last().split(' ');
    if (words.size() != 7 || words[0] != "testVRN730" || words[1] != "-p" || words[3] != "-t" || words[5] != "-i")
        return false;
    *defaults = {words[2], words[4], words[6]};
    return true;
}

// Starts clients with posix_spawn, each with its standard output on a pipe of its own,
// watched by an epoll instance, and the signals this program blocks or ignores back at
// their defaults.
class ProcessSpawner : public Spawner {
public:
    ProcessSpawner(QByteArray program, int epoll) : program_(std::move(program)), epoll_(epoll) {}

    bool start(const QList<QByteArray> &arguments, pid_t *pid, int *output, QByteArray *why) override
    {
        int ends[2];
        if (pipe2(ends, O_CLOEXEC) != 0) {
            *why = QByteArray("cannot start testVRN730: pipe: ") + QByteArray(std::strerror(errno));
            return false;
        }
        QList<QByteArray> argv{QByteArrayLiteral("testVRN730")};
        argv += arguments;
        QVector<char *> pointers;
        for (QByteArray &argument : argv)
            pointers.append(argument.data());
        pointers.append(nullptr);
        const int error = spawn(ends, pid, pointers.data());
        close(ends[1]);
        if (error != 0) {
            close(ends[0]);
            *why = "cannot start " + program_ + ": " + QByteArray(std::strerror(error));
            return false;
        }
        epoll_event event{};
        event.events = EPOLLIN;
        event.data.fd = ends[0];
        if (epoll_ctl(epoll_, EPOLL_CTL_ADD, ends[0], &event) != 0) {
            *why = QByteArray("cannot watch testVRN730's output: epoll_ctl: ") + QByteArray(std::strerror(errno));
            kill(*pid, SIGKILL);
            close(ends[0]);
            // Reaped with the others: its end is a SIGCHLD like any.
            return false;
        }
        *output = ends[0];
        return true;
    }

    void signal(pid_t pid, int signal) override
    {
        // The client is not reaped before its end is handled, so its pid is still its own.
        if (kill(pid, signal) != 0 && errno != ESRCH)
            std::fprintf(stderr, "%s: kill %d: %s\n", self, static_cast<int>(pid), std::strerror(errno));
    }

    void closeOutput(int output) override { close(output); }

private:
    // posix_spawn's error, or that of the first call preparing it.
    int spawn(const int ends[2], pid_t *pid, char *const argv[])
    {
        posix_spawn_file_actions_t actions;
        posix_spawnattr_t attributes;
        int error = posix_spawn_file_actions_init(&actions);
        if (error != 0)
            return error;
        error = posix_spawnattr_init(&attributes);
        if (error != 0) {
            posix_spawn_file_actions_destroy(&actions);
            return error;
        }
        sigset_t none;
        sigset_t defaults;
        sigemptyset(&none);
        sigemptyset(&defaults);
        for (const int signal : {SIGINT, SIGTERM, SIGHUP, SIGPIPE, SIGCHLD})
            sigaddset(&defaults, signal);
        for (const int step :
             {posix_spawn_file_actions_adddup2(&actions, ends[1], STDOUT_FILENO),
              posix_spawn_file_actions_addclose(&actions, ends[1]),
              posix_spawn_file_actions_addclose(&actions, ends[0]), posix_spawnattr_setsigmask(&attributes, &none),
              posix_spawnattr_setsigdefault(&attributes, &defaults),
              posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF)})
            if (error == 0)
                error = step;
        if (error == 0)
            error = posix_spawn(pid, program_.constData(), &actions, &attributes, argv, environ);
        posix_spawn_file_actions_destroy(&actions);
        posix_spawnattr_destroy(&attributes);
        return error;
    }

    QByteArray program_;
    int epoll_;
};

// The targets file, read again when it changes: its size, time or inode.
class TargetsFile {
public:
    explicit TargetsFile(QByteArray path) : path_(std::move(path)) {}

    // True when it changed since it was last read, or could not be looked at.
    bool changed()
    {
        struct stat now {};
        if (stat(path_.constData(), &now) != 0)
            return !missing_;
        const bool same = !missing_ && now.st_ino == seen_.st_ino && now.st_dev == seen_.st_dev &&
                          now.st_size == seen_.st_size && now.st_mtim.tv_sec == seen_.st_mtim.tv_sec &&
                          now.st_mtim.tv_nsec == seen_.st_mtim.tv_nsec;
        return !same;
    }

    // False with WHY, naming the file, when it cannot be read or holds a line that is no target.
    bool read(QList<Target> *targets, QByteArray *why)
    {
        missing_ = stat(path_.constData(), &seen_) != 0;
        QFile file(QFile::decodeName(path_));
        if (missing_ || !file.open(QIODevice::ReadOnly)) {
            missing_ = true;
            *why = path_ + ": " + (errno != 0 ? std::strerror(errno) : "cannot be read");
            return false;
        }
        const QByteArray text = file.read(targets::maxFileBytes + 1);
        if (text.size() > targets::maxFileBytes) {
            *why = path_ + ": larger than " + QByteArray::number(targets::maxFileBytes / (1024 * 1024)) + " MiB";
            return false;
        }
        if (!targets::parse(text, targets, why)) {
            *why = path_ + ": " + *why;
            return false;
        }
        return true;
    }

    const QByteArray &path() const { return path_; }

private:
    QByteArray path_;
    struct stat seen_ {};
    bool missing_ = true;
};

// Stop signals, and the clients' ends, taken as data from a descriptor.
class Signals {
public:
    bool block(QByteArray *why)
    {
        sigemptyset(&set_);
        for (const int signal : {SIGINT, SIGTERM, SIGHUP, SIGCHLD})
            sigaddset(&set_, signal);
        if (sigprocmask(SIG_BLOCK, &set_, nullptr) != 0 || std::signal(SIGPIPE, SIG_IGN) == SIG_ERR) {
            *why = QByteArray("cannot set the signals: ") + QByteArray(std::strerror(errno));
            return false;
        }
        fd_ = signalfd(-1, &set_, SFD_CLOEXEC | SFD_NONBLOCK);
        if (fd_ < 0) {
            *why = QByteArray("signalfd: ") + QByteArray(std::strerror(errno));
            return false;
        }
        return true;
    }
    int fd() const { return fd_; }
    // The signals waiting, in the order they came.
    QList<int> take()
    {
        QList<int> taken;
        signalfd_siginfo info{};
        while (read(fd_, &info, sizeof info) == static_cast<ssize_t>(sizeof info))
            taken.append(static_cast<int>(info.ssi_signo));
        return taken;
    }
    // Ends the process with SIGNAL, as its default handling would.
    [[noreturn]] void endBy(int signal)
    {
        std::signal(signal, SIG_DFL);
        sigset_t one;
        sigemptyset(&one);
        sigaddset(&one, signal);
        raise(signal);
        sigprocmask(SIG_UNBLOCK, &one, nullptr);
        std::_Exit(128 + signal);
    }

private:
    sigset_t set_{};
    int fd_ = -1;
};

// A fleet holds a pipe and a log open for each device: more than the soft limit's usual 1024.
void raiseDescriptorLimit()
{
    rlimit limit{};
    if (getrlimit(RLIMIT_NOFILE, &limit) != 0 || limit.rlim_cur >= limit.rlim_max)
        return;
    limit.rlim_cur = limit.rlim_max;
    if (setrlimit(RLIMIT_NOFILE, &limit) != 0)
        std::fprintf(stderr, "%s: cannot raise the limit on open files: %s\n", self, std::strerror(errno));
}

bool readTargets(TargetsFile &file, Supervisor &supervisor, bool first)
{
    QList<Target> targets;
    QByteArray why;
    if (!file.read(&targets, &why)) {
        if (first)
            std::fprintf(stderr, "%s: %s\n", self, why.constData());
        else
            std::fprintf(stderr, "%s: %s; watching the devices as before\n", self, why.constData());
        return false;
    }
    QSet<QByteArray> before;
    for (const metrics::Device *device : supervisor.devices())
        before.insert(device->address);
    int added = 0;
    for (const Target &target : targets)
        added += before.remove(target.address) ? 0 : 1;
    supervisor.setTargets(targets);
    if (first)
        std::fprintf(stderr, "%s: watching the %d devices of %s\n", self, static_cast<int>(targets.size()),
                     file.path().constData());
    else
        std::fprintf(stderr, "%s: %s changed: %d devices, %d added, %d removed\n", self, file.path().constData(),
                     static_cast<int>(targets.size()), added, static_cast<int>(before.size()));
    return true;
}

void reapClients(Supervisor &supervisor)
{
    int status = 0;
    pid_t pid;
    while ((pid = waitpid(-1, &status, WNOHANG)) > 0)
        supervisor.onExit(pid, status);
}

SupervisorSettings settingsFor(const WatchOptions &options, const ClientDefaults &defaults, const QByteArray &version)
{
    const bool fleet = !options.targetsPath.isEmpty();
    const QByteArray period = options.period.isEmpty() ? defaults.period : options.period;
    const QByteArray timeout = options.timeout.isEmpty() ? defaults.timeout : options.timeout;
    SupervisorSettings settings;
    settings.version = version;
    settings.clientOptions = {"-p", period, "-t", timeout};
    settings.restart = fleet;
    settings.spreadMs = fleet ? std::clamp<qint64>(period.toLongLong(), 0, 60000) : 0;
    settings.logPath = options.logPath;
    settings.logDir = fleet ? options.logDir : QByteArray();
    // The time-out is a bound, and so are the pause and the time-out together: the cycle
    // of a device that falls silent.
    const qint64 timeoutMs = std::max<qint64>(1, timeout.toLongLong());
    const qint64 silentMs = std::max<qint64>(0, period.toLongLong()) + timeoutMs;
    settings.buckets = options.buckets.isEmpty() ? metrics::defaultBuckets() : options.buckets;
    for (const qint64 boundMs : {timeoutMs, silentMs})
        settings.buckets = metrics::withBound(settings.buckets, static_cast<double>(boundMs) / 1000);
    return settings;
}

// The watch's one loop: waits on the signals, the clients' outputs (on epoll), the
// metrics' sockets and the next time something is due, and hands each to its handler.
class Loop {
public:
    Loop(Supervisor &supervisor, metricsserver::Server &server, Signals &incoming, int epoll, const Clock &clock,
         TargetsFile *targets, bool echo)
        : supervisor_(supervisor), server_(server), incoming_(incoming), epoll_(epoll), clock_(clock),
          targets_(targets), echoing_(echo), chunk_(readChunkBytes, Qt::Uninitialized)
    {
        nextTargetsCheckMs_ = clock_.monotonicMs() + targetsCheckMs;
    }

    // Until every client has ended; false when waiting itself failed.
    bool run()
    {
        int pollFailures = 0;
        while (!supervisor_.finished()) {
            fds_.clear();
            fds_.push_back({incoming_.fd(), POLLIN, 0});
            fds_.push_back({epoll_, POLLIN, 0});
            server_.addTo(&fds_);
            if (poll(fds_.data(), fds_.size(), waitMs()) < 0 && errno != EINTR) {
                std::fprintf(stderr, "%s: poll: %s; stopping\n", self, std::strerror(errno));
                if (++pollFailures > 1)
                    return false;
                supervisor_.stop(SIGTERM);
                continue;
            }
            const bool childEnded = takeSignals();
            const qint64 nowMs = clock_.monotonicMs();
            for (std::size_t i = 2; i < fds_.size(); ++i)
                server_.handle(fds_[i], nowMs);
            if (fds_[1].revents != 0)
                readOutputs();
            if (childEnded)
                reapClients(supervisor_);
            lookAtTargets(nowMs);
            server_.onTime(nowMs);
            supervisor_.onTime();
        }
        return pollFailures == 0;
    }

private:
    int waitMs() const
    {
        qint64 dueMs = targets_ ? nextTargetsCheckMs_ : -1;
        for (const qint64 due : {supervisor_.nextDueMs(), server_.nextDueMs()})
            if (due >= 0 && (dueMs < 0 || due < dueMs))
                dueMs = due;
        return dueMs < 0 ? -1 : static_cast<int>(std::clamp<qint64>(dueMs - clock_.monotonicMs(), 0, 60000));
    }

    // True when a client has ended; a stop signal stops them all, SIGHUP reads the targets
    // of a fleet again.
    bool takeSignals()
    {
        bool childEnded = false;
        for (const int signal : incoming_.take()) {
            if (signal == SIGCHLD)
                childEnded = true;
            else if (signal == SIGHUP && targets_)
                readTargets(*targets_, supervisor_, false);
            else
                supervisor_.stop(signal);
        }
        return childEnded;
    }

    void readOutputs()
    {
        epoll_event ready[256];
        const int count = epoll_wait(epoll_, ready, 256, 0);
        if (count < 0 && errno != EINTR)
            std::fprintf(stderr, "%s: epoll_wait: %s\n", self, std::strerror(errno));
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

    void lookAtTargets(qint64 nowMs)
    {
        if (!targets_ || nowMs < nextTargetsCheckMs_)
            return;
        nextTargetsCheckMs_ = nowMs + targetsCheckMs;
        if (targets_->changed())
            readTargets(*targets_, supervisor_, false);
    }

    Supervisor &supervisor_;
    metricsserver::Server &server_;
    Signals &incoming_;
    int epoll_;
    const Clock &clock_;
    TargetsFile *targets_;  // null for one device
    bool echoing_;
    QByteArray chunk_;
    std::vector<pollfd> fds_;
    qint64 nextTargetsCheckMs_ = 0;
};

// What ended the watch, on standard error; the exit status, or the end by the signal
// that stopped it.
int finish(const Supervisor &supervisor, Signals &incoming, bool fleet, bool waited)
{
    if (supervisor.skippedBytes() > 0)
        std::fprintf(stderr, "%s: %lld bytes of testVRN730's output were not cycles, and were passed over\n", self,
                     static_cast<long long>(supervisor.skippedBytes()));
    const int stopSignal = supervisor.stopSignal();
    QByteArray reason = supervisor.lastReason();
    if (fleet || reason.isEmpty())
        reason = waited ? signalName(stopSignal) : QByteArray("poll failed");
    std::fprintf(stderr, "%s: stopped (%s) after %lld cycles\n", self, reason.constData(),
                 static_cast<long long>(supervisor.cycles()));
    const int exitStatus = waited ? supervisor.exitStatus() : 1;
    if (stopSignal != 0 && exitStatus == 0)
        incoming.endBy(stopSignal);
    return exitStatus;
}

}  // namespace

int watch(const WatchOptions &options, const QByteArray &version)
{
    const QString client = findClient();
    if (client.isEmpty()) {
        std::fprintf(stderr, "%s: cannot find testVRN730 beside this program or on PATH\n", self);
        return 1;
    }
    ClientDefaults defaults;
    if (!readClientDefaults(client, &defaults)) {
        std::fprintf(stderr, "%s: %s does not print the usage text of testVRN730\n", self, qPrintable(client));
        return 1;
    }
    Signals incoming;
    QByteArray why;
    if (!incoming.block(&why)) {
        std::fprintf(stderr, "%s: %s\n", self, why.constData());
        return 1;
    }
    // The clients' outputs, however many, are waited on with epoll.
    const int epoll = epoll_create1(EPOLL_CLOEXEC);
    if (epoll < 0) {
        std::fprintf(stderr, "%s: epoll_create1: %s\n", self, std::strerror(errno));
        return 1;
    }
    const SystemClock clock;
    ProcessSpawner spawner(QFile::encodeName(client), epoll);
    Supervisor supervisor(settingsFor(options, defaults, version), clock, spawner);

    const metrics::Watch watchInfo{version, clock.wallMs()};
    metricsserver::Server server(
        [&](metrics::Format format) { return metrics::exposition(watchInfo, supervisor.devices(), format); });
    if (!options.metricsAddress.isEmpty() && !server.listen(options.metricsAddress, &why)) {
        std::fprintf(stderr, "%s: %s\n", self, why.constData());
        return 1;
    }

    const bool fleet = !options.targetsPath.isEmpty();
    TargetsFile targetsFile(options.targetsPath);
    if (fleet) {
        raiseDescriptorLimit();
        if (!readTargets(targetsFile, supervisor, true))
            return 1;
    } else if (!supervisor.setTargets({{options.ip.isEmpty() ? defaults.ip : options.ip, {}}})) {
        return 1;
    }
    supervisor.onTime();

    const bool echo = !fleet && isatty(STDOUT_FILENO) == 1;
    const bool waited = Loop(supervisor, server, incoming, epoll, clock, fleet ? &targetsFile : nullptr, echo).run();
    if (echo) {
        // The client may have stopped inside its red.
        writeAll(STDOUT_FILENO, QByteArrayLiteral("\033[0m\n"));
    }
    return finish(supervisor, incoming, fleet, waited);
}
