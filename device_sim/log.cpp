#include "log.h"

#include <QDateTime>
#include <QHostAddress>

#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>

#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

class LogWriter {
public:
    LogWriter()
    {
        std::thread([this] { writeForEver(); }).detach();
    }

    void add(QByteArray line)
    {
        const std::lock_guard<std::mutex> lock(mutex_);
        if (queued_.size() + line.size() > maxQueuedLogBytes) {
            ++dropped_;
            return;
        }
        queued_ += line;
        wake_.notify_one();
    }

    bool flush(int timeoutMs)
    {
        std::unique_lock<std::mutex> lock(mutex_);
        return drained_.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                                 [this] { return queued_.isEmpty() && !writing_; });
    }

private:
    void writeForEver()
    {
        std::unique_lock<std::mutex> lock(mutex_);
        for (;;) {
            wake_.wait(lock, [this] { return !queued_.isEmpty(); });
            QByteArray lines;
            lines.swap(queued_);
            writing_ = true;
            lock.unlock();
            const qsizetype written = writeAll(lines);
            lock.lock();
            writing_ = false;
            // Lines the log would not take (its reader gone, a full disk) are dropped and
            // counted, as those that find the queue full.
            dropped_ += lines.mid(written).count('\n');
            if (written == lines.size() && dropped_ > 0) {
                queued_.prepend(timestamp().toUtf8() + " device_sim: " + QByteArray::number(dropped_) +
                                " log lines dropped: the log was not read\n");
                dropped_ = 0;
            }
            drained_.notify_all();
        }
    }

    // Blocks for as long as the log's reader makes it; only this thread waits. Returns how
    // many bytes the log took.
    static qsizetype writeAll(const QByteArray &bytes)
    {
        qsizetype at = 0;
        while (at < bytes.size()) {
            const ssize_t written =
                ::write(STDERR_FILENO, bytes.constData() + at, static_cast<std::size_t>(bytes.size() - at));
            if (written < 0 && errno == EINTR)
                continue;
            if (written <= 0)
                break;
            at += written;
        }
        return at;
    }

    std::mutex mutex_;
    std::condition_variable wake_;
    std::condition_variable drained_;
    QByteArray queued_;
    qint64 dropped_ = 0;
    bool writing_ = false;
};

// Never destroyed: its thread may still be waiting on the log's reader as the process ends.
LogWriter &writer()
{
    static LogWriter *const writer = new LogWriter;
    return *writer;
}

}  // namespace

void logLine(const QString &line)
{
    writer().add(line.toUtf8() + '\n');
}

bool flushLog(int timeoutMs)
{
    return writer().flush(timeoutMs);
}

QString timestamp()
{
    return QDateTime::currentDateTime().toString(QStringLiteral("yyyy-MM-dd HH:mm:ss.zzz"));
}

QString counted(long long count, const char *noun)
{
    QString text = QString::number(count) + QLatin1Char(' ') + QLatin1String(noun);
    if (count != 1)
        text += QLatin1Char('s');
    return text;
}

QString peerOf(int fd)
{
    sockaddr_storage peer{};
    socklen_t size = sizeof peer;
    if (getpeername(fd, reinterpret_cast<sockaddr *>(&peer), &size) != 0)
        return QStringLiteral("?");
    const QHostAddress address(reinterpret_cast<const sockaddr *>(&peer));
    const auto port = peer.ss_family == AF_INET6 ? reinterpret_cast<const sockaddr_in6 *>(&peer)->sin6_port
                                                 : reinterpret_cast<const sockaddr_in *>(&peer)->sin_port;
    const QString format = peer.ss_family == AF_INET6 ? QStringLiteral("[%1]:%2") : QStringLiteral("%1:%2");
    return format.arg(address.toString()).arg(ntohs(port));
}

QString escaped(const QByteArray &bytes)
{
    QString text;
    for (const char byte : bytes) {
        const auto c = static_cast<unsigned char>(byte);
        if (c == '\\')
            text += QLatin1String("\\\\");
        else if (c == '\r')
            text += QLatin1String("\\r");
        else if (c == '\n')
            text += QLatin1String("\\n");
        else if (c == '\t')
            text += QLatin1String("\\t");
        else if (c >= 0x20 && c < 0x7f)
            text += QLatin1Char(byte);
        else
            text += QStringLiteral("\\x%1").arg(c, 2, 16, QLatin1Char('0'));
    }
    return text;
}
