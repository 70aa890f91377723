#include "log/log_set.h"

#include <QHash>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <limits>

#include <sys/stat.h>
#include <zlib.h>

namespace watchlog {

namespace {

// A log file, plain or compressed: zlib reads a file that is not compressed as it is.
class GzipFile {
public:
    explicit GzipFile(const QByteArray &path)
    {
        errno = 0;
        file_ = gzopen(path.constData(), "rb");
        if (!file_)
            error_ = std::strerror(errno ? errno : ENOMEM);
        else
            gzbuffer(file_, 256 * 1024);
    }
    ~GzipFile()
    {
        if (file_)
            gzclose(file_);
    }
    GzipFile(const GzipFile &) = delete;
    GzipFile &operator=(const GzipFile &) = delete;

    bool isOpen() const { return file_ != nullptr; }
    // Up to SIZE bytes; 0 at the end, -1 on an error.
    int read(char *into, int size)
    {
        const int got = gzread(file_, into, static_cast<unsigned>(size));
        if (got > 0)
            return got;
        // At the end, or a compressed file cut short: zlib tells which.
        int code = Z_OK;
        const char *message = gzerror(file_, &code);
        if (got == 0 && (code == Z_OK || code == Z_STREAM_END))
            return 0;
        error_ = code == Z_ERRNO ? QByteArray(std::strerror(errno)) : QByteArray(message);
        return -1;
    }
    const QByteArray &error() const { return error_; }

private:
    gzFile file_ = nullptr;
    QByteArray error_;
};

constexpr int chunkBytes = 1 << 20;
constexpr int headBytes = 64 * 1024;
// A line longer than this is no line the watch writes: its realTime field is capped.
constexpr int maxLineBytes = 64 * 1024;

// The first time a log's head names: a cycle's stamp, a start, a stop or a lost span.
// A "continued" line names its run's start, not the file's, and is passed over.
qint64 firstMsOf(const QByteArray &head)
{
    for (const QByteArray &line : head.split('\n')) {
        qint64 ms = 0;
        RunStart start;
        if (line.startsWith(runLineStart)) {
            if (parseRunLine(line, &start) && start.mark == RunMark::Started)
                return start.startMs;
        } else if (line.startsWith(stoppedLineStart)) {
            if (parseStoppedLine(line, &ms))
                return ms;
        } else if (line.startsWith(lostLineStart)) {
            LostSpan lost;
            if (parseLostLine(line, &lost))
                return lost.fromMs;
        } else if (parseUtcStamp(line.left(stampBytes), &ms)) {
            return ms;
        }
    }
    return std::numeric_limits<qint64>::max();
}

}  // namespace

bool LogSet::open(const QList<QByteArray> &paths, QList<QByteArray> *messages)
{
    bool ok = true;
    for (const QByteArray &path : paths) {
        File file;
        file.path = file.name = path;
        struct stat info;
        if (stat(path.constData(), &info) == 0 && !S_ISREG(info.st_mode) && !S_ISDIR(info.st_mode) &&
            !spool(&file, messages)) {
            ok = false;
            continue;
        }
        GzipFile log(file.path);
        file.head.resize(headBytes);
        const int got = log.isOpen() ? log.read(file.head.data(), headBytes) : -1;
        if (got < 0) {
            messages->append("cannot read " + path + ": " + log.error());
            ok = false;
            continue;
        }
        file.head.truncate(got);
        file.firstMs = firstMsOf(file.head);
        files_.append(file);
    }
    std::stable_sort(files_.begin(), files_.end(), [](const File &a, const File &b) { return a.firstMs < b.firstMs; });
    for (int i = 1; i < files_.size(); ++i)
        for (int j = 0; j < i; ++j)
            if (holdsTheSame(&files_[i], &files_[j], messages)) {
                warnings_.append(files_[i].name + " holds what " + files_[j].name + " holds; it is read once");
                files_.removeAt(i--);
                break;
            }
    for (File &file : files_)
        file.head.clear();
    return ok;
}

// Copies what FILE's path gives, uncompressed, to a temporary file, and reads that from
// then on.
bool LogSet::spool(File *file, QList<QByteArray> *messages)
{
    auto copy = std::make_unique<QTemporaryFile>();
    GzipFile log(file->path);
    QByteArray chunk(chunkBytes, Qt::Uninitialized);
    int got = log.isOpen() ? 0 : -1;
    if (!copy->open()) {
        messages->append("cannot copy " + file->name + " to a temporary file: " + copy->errorString().toUtf8());
        return false;
    }
    while (log.isOpen() && (got = log.read(chunk.data(), chunkBytes)) > 0)
        if (copy->write(chunk.constData(), got) != got) {
            messages->append("cannot copy " + file->name + " to a temporary file: " + copy->errorString().toUtf8());
            return false;
        }
    if (got < 0 || !copy->flush()) {
        messages->append("cannot read " + file->name + ": " + (got < 0 ? log.error() : copy->errorString().toUtf8()));
        return false;
    }
    file->path = QFile::encodeName(copy->fileName());
    spooled_.push_back(std::move(copy));
    return true;
}

// Files that begin alike are read whole to see whether they hold the same.
bool LogSet::holdsTheSame(File *file, File *other, QList<QByteArray> *messages)
{
    if (file->firstMs != other->firstMs || file->head != other->head)
        return false;
    for (File *each : {file, other}) {
        if (each->hashed)
            continue;
        GzipFile log(each->path);
        QByteArray chunk(chunkBytes, Qt::Uninitialized);
        quint64 hash = 0;
        int got;
        while (log.isOpen() && (got = log.read(chunk.data(), chunkBytes)) > 0)
            hash = hash * 1099511628211ULL + qHashBits(chunk.constData(), static_cast<std::size_t>(got), 0);
        if (!log.isOpen() || !log.error().isEmpty()) {
            messages->append("cannot read " + each->name + ": " + log.error());
            return false;
        }
        each->wholeHash = hash;
        each->hashed = true;
    }
    return file->wholeHash == other->wholeHash;
}

bool LogSet::readInto(Reader *reader, QList<QByteArray> *messages) const
{
    bool ok = true;
    QByteArray buffer(chunkBytes + maxLineBytes, Qt::Uninitialized);
    for (const File &file : files_) {
        GzipFile log(file.path);
        reader->startFile();
        const qint64 before = reader->unreadableLines();
        int kept = 0;           // bytes of a line not yet ended, at the buffer's start
        bool skipping = false;  // in a line too long to be the log's
        bool refused = false;   // in a format newer than the reader's
        int got = log.isOpen() ? 0 : -1;
        while (!refused && log.isOpen() && (got = log.read(buffer.data() + kept, chunkBytes)) > 0) {
            const char *at = buffer.constData();
            const char *end = at + kept + got;
            while (const char *newline =
                       static_cast<const char *>(std::memchr(at, '\n', static_cast<std::size_t>(end - at)))) {
                refused = !skipping && !reader->readLine(at, static_cast<int>(newline - at));
                if (refused)
                    break;
                skipping = false;
                at = newline + 1;
            }
            kept = static_cast<int>(end - at);
            if (kept > maxLineBytes) {
                if (!skipping)
                    reader->readLine("?", 1);  // counted as not the log's
                skipping = true;
                kept = 0;
            }
            std::memmove(buffer.data(), at, static_cast<std::size_t>(kept));
        }
        refused = refused || (got == 0 && kept > 0 && !skipping && !reader->readLine(buffer.constData(), kept));
        if (refused || got < 0) {
            messages->append("cannot read " + file.name + ": " + (refused ? reader->why() : log.error()));
            ok = false;
        }
        const qint64 unreadable = reader->unreadableLines() - before;
        if (unreadable > 0)
            messages->append(file.name + ": " + QByteArray::number(unreadable) +
                             (unreadable == 1 ? " line is" : " lines are") + " not the log's, and " +
                             (unreadable == 1 ? "was" : "were") + " passed over");
    }
    return ok;
}

}  // namespace watchlog
