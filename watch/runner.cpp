#include "runner.h"

#include "cycle_reader.h"
#include "log.h"

#include <QByteArray>
#include <QFileInfo>
#include <QList>
#include <QProcess>
#include <QStandardPaths>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <ctime>

#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/file.h>
#include <sys/signalfd.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

extern char **environ;

namespace {

const char *const self = "testVRN730-watch";
// How long the client has to end after SIGTERM before it is killed.
constexpr int clientStopMs = 5000;
constexpr int readChunkBytes = 64 * 1024;

qint64 wallClockMs()
{
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    return qint64{now.tv_sec} * 1000 + now.tv_nsec / 1000000;
}

qint64 monotonicMs()
{
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return qint64{now.tv_sec} * 1000 + now.tv_nsec / 1000000;
}

bool writeAll(int fd, const QByteArray &bytes)
{
    const char *at = bytes.constData();
    std::size_t left = static_cast<std::size_t>(bytes.size());
    while (left > 0) {
        const ssize_t written = write(fd, at, left);
        if (written < 0 && errno == EINTR)
            continue;
        if (written <= 0)
            return false;
        at += written;
        left -= static_cast<std::size_t>(written);
    }
    return true;
}

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

QByteArray signalName(int signal)
{
    switch (signal) {
    case SIGINT:
        return "SIGINT";
    case SIGTERM:
        return "SIGTERM";
    case SIGHUP:
        return "SIGHUP";
    case SIGKILL:
        return "SIGKILL";
    case SIGPIPE:
        return "SIGPIPE";
    case SIGSEGV:
        return "SIGSEGV";
    case SIGABRT:
        return "SIGABRT";
    default:
        return "signal " + QByteArray::number(signal);
    }
}

// The log file, reopened when it has been moved away (rotated) or removed. A write that
// fails (a full disk, say) leaves the file as it was, and the watch goes on: the cycles
// it could not write are counted, and once writing works again one line says how many
// were lost, between which times, and why.
class LogFile {
public:
    // `continuedLines` begin each new file: they say which run it continues.
    LogFile(QByteArray path, QByteArray continuedLines)
        : path_(std::move(path)), continuedLines_(std::move(continuedLines))
    {
    }
    ~LogFile()
    {
        if (fd_ >= 0)
            close(fd_);
    }

    // Opens the log to append to it, and holds it against any other watch; a last line
    // left unended (by a watch that was killed as it wrote) is ended first, so that no line
    // is glued to it. False with errno set, EWOULDBLOCK when another watch holds it.
    bool open()
    {
        fd_ = ::open(path_.constData(), O_RDWR | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
        if (fd_ < 0)
            return false;
        if (flock(fd_, LOCK_EX | LOCK_NB) != 0) {
            const int error = errno;
            close(fd_);
            fd_ = -1;
            errno = error;
            return false;
        }
        struct stat info {};
        char last = '\n';
        if (fstat(fd_, &info) == 0 && info.st_size > 0 && pread(fd_, &last, 1, info.st_size - 1) == 1 && last != '\n')
            pending_ = "\n";
        return true;
    }

    // Writes whole lines, after those that must come first; `cycles` of them are cycles,
    // counted as lost if the write fails. False when it failed.
    bool write(const QByteArray &lines, qint64 cycles, qint64 nowMs)
    {
        QByteArray whole = pending_;
        if (lost_.cycles > 0)
            whole += watchlog::lostLine(lost_, path_);
        whole += lines;
        if (writeWhole(whole)) {
            pending_.clear();
            lost_ = watchlog::LostSpan();
            return true;
        }
        if (lost_.cycles == 0)
            lost_.fromMs = nowMs;
        lost_.toMs = nowMs;
        lost_.cycles += cycles;
        lost_.why = std::strerror(errno);
        return false;
    }

    // Lines that could not be written, and must go before any other: the run's start.
    void keepFirst(const QByteArray &lines) { pending_ += lines; }
    qint64 lostCycles() const { return lost_.cycles; }
    const QByteArray &lostWhy() const { return lost_.why; }
    const QByteArray &path() const { return path_; }

private:
    // Appends all of `bytes` to the file, reopened if it was moved away, or nothing: a
    // write cut short is cut off again.
    bool writeWhole(const QByteArray &bytes)
    {
        struct stat named {};
        struct stat open {};
        QByteArray all = bytes;
        if (stat(path_.constData(), &named) != 0 || fstat(fd_, &open) != 0 || named.st_ino != open.st_ino ||
            named.st_dev != open.st_dev) {
            if (fd_ >= 0)
                close(fd_);
            if (!this->open()) {
                fd_ = -1;
                return false;
            }
            all = continuedLines_ + bytes;
            if (fstat(fd_, &open) != 0)
                return false;
        }
        if (writeAll(fd_, all))
            return true;
        const int error = errno;
        [[maybe_unused]] const int truncated = ftruncate(fd_, open.st_size);
        errno = error;
        return false;
    }

    QByteArray path_;
    QByteArray continuedLines_;
    QByteArray pending_;
    watchlog::LostSpan lost_;
    int fd_ = -1;
};

bool spawnClient(const QString &client, const QList<QByteArray> &arguments, int outputFd, int readEnd, pid_t *pid)
{
    posix_spawn_file_actions_t actions;
    posix_spawnattr_t attributes;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, outputFd, STDOUT_FILENO);
    posix_spawn_file_actions_addclose(&actions, outputFd);
    posix_spawn_file_actions_addclose(&actions, readEnd);
    posix_spawnattr_init(&attributes);
    sigset_t none;
    sigemptyset(&none);
    sigset_t defaults;
    sigemptyset(&defaults);
    for (const int signal : {SIGINT, SIGTERM, SIGHUP, SIGPIPE})
        sigaddset(&defaults, signal);
    posix_spawnattr_setsigmask(&attributes, &none);
    posix_spawnattr_setsigdefault(&attributes, &defaults);
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);

    const QByteArray program = QFile::encodeName(client);
    QList<QByteArray> argv{QByteArrayLiteral("testVRN730")};
    argv += arguments;
    QVector<char *> pointers;
    for (QByteArray &argument : argv)
        pointers.append(argument.data());
    pointers.append(nullptr);
    const int error = posix_spawn(pid, program.constData(), &actions, &attributes, pointers.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attributes);
    if (error != 0)
        std::fprintf(stderr, "%s: cannot start %s: %s\n", self, program.constData(), std::strerror(error));
    return error == 0;
}

// What ended the watch: a signal to this program, or else the client's end.
struct Stop {
    int signal = 0;
};

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
    const QByteArray ip = options.ip.isEmpty() ? defaults.ip : options.ip;
    const QByteArray period = options.period.isEmpty() ? defaults.period : options.period;
    const QByteArray timeout = options.timeout.isEmpty() ? defaults.timeout : options.timeout;
    const QList<QByteArray> arguments{"-i", ip, "-p", period, "-t", timeout};
    const QByteArray command = "testVRN730 " + arguments.join(' ');

    // Signals are taken as data, from a descriptor; the client gets the default handling.
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    for (const int signal : {SIGINT, SIGTERM, SIGHUP})
        sigaddset(&stopSignals, signal);
    sigprocmask(SIG_BLOCK, &stopSignals, nullptr);
    std::signal(SIGPIPE, SIG_IGN);
    const int signalFd = signalfd(-1, &stopSignals, SFD_CLOEXEC | SFD_NONBLOCK);
    if (signalFd < 0) {
        std::fprintf(stderr, "%s: signalfd: %s\n", self, std::strerror(errno));
        return 1;
    }

    const qint64 startMs = wallClockMs();
    LogFile log(options.logPath,
                watchlog::runLine(version, watchlog::RunMark::Continued, startMs, command) + watchlog::header);
    if (!log.open()) {
        if (errno == EWOULDBLOCK)
            std::fprintf(stderr, "%s: another watch is writing to %s; two would mix their runs in it\n", self,
                         log.path().constData());
        else
            std::fprintf(stderr, "%s: cannot write to %s: %s\n", self, log.path().constData(), std::strerror(errno));
        return 1;
    }
    const QByteArray startLines =
        watchlog::runLine(version, watchlog::RunMark::Started, startMs, command) + watchlog::header;
    if (!log.write(startLines, 0, startMs)) {
        // A full disk, say: the watch starts all the same, and the lines wait for room.
        log.keepFirst(startLines);
        std::fprintf(stderr, "%s: cannot write to %s: %s; watching on, and counting the cycles lost\n", self,
                     log.path().constData(), log.lostWhy().constData());
    }

    int output[2];
    if (pipe2(output, O_CLOEXEC) != 0) {
        std::fprintf(stderr, "%s: pipe: %s\n", self, std::strerror(errno));
        return 1;
    }
    pid_t pid = 0;
    if (!spawnClient(client, arguments, output[1], output[0], &pid))
        return 1;
    close(output[1]);
    std::fprintf(stderr, "%s: logging %s to %s\n", self, command.constData(), log.path().constData());

    const bool echo = isatty(STDOUT_FILENO) == 1;
    bool echoing = echo;
    CycleReader reader;
    qint64 lastCycleMs = monotonicMs();
    qint64 cycles = 0;
    Stop stop;
    qint64 killAtMs = -1;
    QByteArray chunk(readChunkBytes, Qt::Uninitialized);
    for (;;) {
        pollfd watched[] = {{output[0], POLLIN, 0}, {signalFd, POLLIN, 0}};
        const int timeoutMs = killAtMs < 0 ? -1 : static_cast<int>(std::max<qint64>(0, killAtMs - monotonicMs()));
        const int ready = poll(watched, 2, timeoutMs);
        if (ready < 0 && errno != EINTR) {
            std::fprintf(stderr, "%s: poll: %s\n", self, std::strerror(errno));
            kill(pid, SIGKILL);
            break;
        }
        if (killAtMs >= 0 && monotonicMs() >= killAtMs) {
            kill(pid, SIGKILL);
            killAtMs = -1;
        }
        signalfd_siginfo info{};
        if (read(signalFd, &info, sizeof info) == static_cast<ssize_t>(sizeof info) && stop.signal == 0) {
            stop.signal = static_cast<int>(info.ssi_signo);
            kill(pid, SIGTERM);
            killAtMs = monotonicMs() + clientStopMs;
        }
        if (!(watched[0].revents & (POLLIN | POLLHUP | POLLERR)))
            continue;
        const ssize_t got = read(output[0], chunk.data(), static_cast<std::size_t>(chunk.size()));
        if (got < 0 && errno == EINTR)
            continue;
        if (got <= 0)
            break;
        const QByteArray bytes = chunk.left(static_cast<int>(got));
        if (echoing)
            echoing = writeAll(STDOUT_FILENO, bytes);
        QList<Cycle> finished;
        reader.feed(bytes, &finished);
        if (finished.isEmpty())
            continue;
        const qint64 nowMs = wallClockMs();
        const qint64 sinceLastMs = monotonicMs() - lastCycleMs;
        lastCycleMs += sinceLastMs;
        QByteArray lines;
        for (int i = 0; i < finished.size(); ++i)
            lines += watchlog::cycleLine(nowMs, i == 0 ? sinceLastMs : 0, finished[i]);
        cycles += finished.size();
        const qint64 lostBefore = log.lostCycles();
        if (log.write(lines, finished.size(), nowMs)) {
            if (lostBefore > 0)
                std::fprintf(stderr, "%s: writing to %s again; %lld cycles were lost\n", self, log.path().constData(),
                             static_cast<long long>(lostBefore));
        } else if (lostBefore == 0) {
            std::fprintf(stderr, "%s: cannot write to %s: %s; watching on, and counting the cycles lost\n", self,
                         log.path().constData(), log.lostWhy().constData());
        }
    }
    close(output[0]);

    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    // A stop signal to the whole process group reaches the client too, and may end it
    // before this program has read its own.
    signalfd_siginfo info{};
    if (stop.signal == 0 && read(signalFd, &info, sizeof info) == static_cast<ssize_t>(sizeof info))
        stop.signal = static_cast<int>(info.ssi_signo);

    QByteArray reason;
    int exitStatus = 0;
    if (stop.signal != 0) {
        reason = signalName(stop.signal);
    } else if (WIFSIGNALED(status)) {
        reason = "testVRN730 ended: killed by " + signalName(WTERMSIG(status));
        exitStatus = 128 + WTERMSIG(status);
    } else {
        reason = "testVRN730 ended: exit status " + QByteArray::number(WEXITSTATUS(status));
        exitStatus = WEXITSTATUS(status);
    }
    if (!log.write(watchlog::stoppedLine(wallClockMs(), reason), 0, wallClockMs())) {
        reason += "; cannot write to " + log.path() + ": " + log.lostWhy() + "; " +
                  QByteArray::number(log.lostCycles()) + " cycles lost";
        exitStatus = 1;
    }
    if (echo) {
        // The client may have stopped inside its red.
        writeAll(STDOUT_FILENO, QByteArrayLiteral("\033[0m\n"));
    }
    if (reader.skippedBytes() > 0)
        std::fprintf(stderr, "%s: %lld bytes of testVRN730's output were not cycles, and were passed over\n", self,
                     static_cast<long long>(reader.skippedBytes()));
    std::fprintf(stderr, "%s: stopped (%s) after %lld cycles\n", self, reason.constData(),
                 static_cast<long long>(cycles));
    if (stop.signal != 0 && exitStatus == 0) {
        std::signal(stop.signal, SIG_DFL);
        sigprocmask(SIG_UNBLOCK, &stopSignals, nullptr);
        raise(stop.signal);
    }
    return exitStatus;
}
