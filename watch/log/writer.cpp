#include "log/writer.h"

#include "os/write_all.h"

#include <cerrno>
#include <cstring>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

LogWriter::~LogWriter()
{
    if (fd_ >= 0)
        close(fd_);
}

bool LogWriter::open()
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

bool LogWriter::write(const QByteArray &lines, qint64 cycles, qint64 nowMs)
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

// Appends all of `bytes` to the file, reopened if it was moved away, or nothing: a write
// cut short is cut off again.
bool LogWriter::writeWhole(const QByteArray &bytes)
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
