#include "log.h"

#include <QHash>

#include <limits>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>

#include <sys/stat.h>
#include <zlib.h>

namespace watchlog {

namespace {

const QByteArray formatStart = QByteArrayLiteral("# log format ");
// The first time that a stamp's four-digit year cannot hold: 10000-01-01.
constexpr qint64 year10000Ms = 253402300800000;

QByteArray headerOf()
{
    QByteArray names;
    for (const ColumnName &column : columns)
        names += QByteArray(names.isEmpty() ? "" : "\t") + column.name;
    return formatStart + QByteArray::number(logFormat) + '\n' + names + '\n';
}

// The reader takes the first three columns where they stand, the rest only counted.
static_assert(columns[0].column == Column::Time && columns[1].column == Column::State &&
                  columns[2].column == Column::CycleMs,
              "a cycle line begins with its time, state and cycle_ms");

}  // namespace

const QByteArray header = headerOf();

namespace {

constexpr qint64 msPerDay = 86400000;

// Days since 1970-01-01 of a date in the proleptic Gregorian calendar.
qint64 daysFromCivil(qint64 year, unsigned month, unsigned day)
{
    year -= month <= 2;
    const qint64 era = (year >= 0 ? year : year - 399) / 400;
    const auto yearOfEra = static_cast<unsigned>(year - era * 400);
    const unsigned dayOfYear = (153 * (month + (month > 2 ? -3 : 9)) + 2) / 5 + day - 1;
    const unsigned dayOfEra = yearOfEra * 365 + yearOfEra / 4 - yearOfEra / 100 + dayOfYear;
    return era * 146097 + static_cast<qint64>(dayOfEra) - 719468;
}

// Reads `width` digits at `at`; false unless all are digits.
bool digitsAt(const QByteArray &text, int at, int width, int *value)
{
    if (at + width > text.size())
        return false;
    *value = 0;
    for (int i = at; i < at + width; ++i) {
        if (text[i] < '0' || text[i] > '9')
            return false;
        *value = *value * 10 + (text[i] - '0');
    }
    return true;
}

// The byte at `at`, or 0 past the end.
char byteAt(const QByteArray &text, int at)
{
    return at < text.size() ? text[at] : '\0';
}

bool isLeapYear(int year)
{
    return (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
}

bool validDate(int year, int month, int day)
{
    static constexpr int days[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    return year >= 1970 && month >= 1 && month <= 12 && day >= 1 &&
           day <= days[month - 1] + (month == 2 && isLeapYear(year) ? 1 : 0);
}

// "YYYY-MM-DD", then optionally [T ]HH:MM, :SS, .mmm, then optionally Z; `strict` asks for
// the log's own form, every part present.
bool parseStamp(const QByteArray &text, bool strict, qint64 *ms)
{
    int year, month, day, hour = 0, minute = 0, second = 0, milli = 0;
    if (!digitsAt(text, 0, 4, &year) || byteAt(text, 4) != '-' || !digitsAt(text, 5, 2, &month) ||
        byteAt(text, 7) != '-' || !digitsAt(text, 8, 2, &day) || !validDate(year, month, day))
        return false;
    int at = 10;
    if (at < text.size() && (text[at] == 'T' || (!strict && text[at] == ' '))) {
        if (!digitsAt(text, at + 1, 2, &hour) || byteAt(text, at + 3) != ':' || !digitsAt(text, at + 4, 2, &minute))
            return false;
        at += 6;
        if (byteAt(text, at) == ':') {
            if (!digitsAt(text, at + 1, 2, &second))
                return false;
            at += 3;
            if (byteAt(text, at) == '.') {
                if (!digitsAt(text, at + 1, 3, &milli))
                    return false;
                at += 4;
            }
        }
    }
    if (byteAt(text, at) == 'Z')
        ++at;
    if (at != text.size() || hour > 23 || minute > 59 || second > 59)
        return false;
    if (strict && at != 24)
        return false;
    *ms = daysFromCivil(year, static_cast<unsigned>(month), static_cast<unsigned>(day)) * msPerDay +
          ((hour * 60 + minute) * 60 + second) * 1000 + milli;
    return true;
}

// The realTime text as a field: no control byte, and not longer than the cap.
QByteArray asField(const QByteArray &text)
{
    QByteArray field = text.left(maxRealTimeBytes);
    if (text.size() > maxRealTimeBytes) {
        int cut = field.size();
        while (cut > 0 && (static_cast<unsigned char>(text[cut]) & 0xc0) == 0x80)
            --cut;
        field.truncate(cut);
    }
    for (char &c : field)
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f)
            c = '?';
    return field;
}

bool parseCount(const QByteArray &text, qint64 *value)
{
    bool ok = false;
    *value = text.toLongLong(&ok);
    return ok && *value >= 0;
}

bool stateNamed(const char *text, int size, CycleState *state)
{
    for (const CycleState candidate : {CycleState::Ok, CycleState::Error, CycleState::NoConnection}) {
        const char *name = stateName(candidate);
        if (std::strlen(name) == static_cast<std::size_t>(size) &&
            std::memcmp(text, name, static_cast<std::size_t>(size)) == 0) {
            *state = candidate;
            return true;
        }
    }
    return false;
}

const QByteArray commentStart = QByteArrayLiteral("# testVRN730-watch ");
const QByteArray stoppedStart = QByteArrayLiteral("# stopped ");
const QByteArray lostStart = QByteArrayLiteral("# lost ");

// "# lost N cycle[s] from START to END: WHY"
bool parseLostLine(const QByteArray &line, LostSpan *lost)
{
    const QList<QByteArray> words = line.mid(lostStart.size()).split(' ');
    if (words.size() < 7 || !parseCount(words[0], &lost->cycles) || words[2] != "from" || words[4] != "to" ||
        !words[5].endsWith(':') || !parseUtcStamp(words[3], &lost->fromMs) ||
        !parseUtcStamp(words[5].chopped(1), &lost->toMs) || lost->toMs < lost->fromMs)
        return false;
    lost->why = line.mid(line.indexOf(": ") + 2);
    return true;
}

// "# testVRN730-watch VERSION started|continued START: testVRN730 -i ADDRESS -p N -t N"
struct RunStart {
    RunMark mark = RunMark::Started;
    qint64 startMs = 0;
    QByteArray device;  // empty when the command names none
};
bool parseRunLine(const QByteArray &line, RunStart *run)
{
    const QList<QByteArray> words = line.mid(commentStart.size()).split(' ');
    if (words.size() < 3 || (words[1] != "started" && words[1] != "continued") || !words[2].endsWith(':') ||
        !parseUtcStamp(words[2].chopped(1), &run->startMs))
        return false;
    run->mark = words[1] == "started" ? RunMark::Started : RunMark::Continued;
    const int device = static_cast<int>(words.indexOf("-i"));
    run->device = device > 2 && device + 1 < words.size() ? words[device + 1] : QByteArray();
    return true;
}

// "# stopped STAMP (REASON)"
bool parseStoppedLine(const QByteArray &line, qint64 *stopMs)
{
    return parseUtcStamp(line.mid(stoppedStart.size(), 24), stopMs);
}

}  // namespace

QByteArray utcStamp(qint64 msSinceEpoch)
{
    const std::time_t seconds = static_cast<std::time_t>(msSinceEpoch / 1000);
    std::tm utc{};
    gmtime_r(&seconds, &utc);
    char text[32];
    const int size =
        std::snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02d.%03dZ", utc.tm_year + 1900, utc.tm_mon + 1,
                      utc.tm_mday, utc.tm_hour, utc.tm_min, utc.tm_sec, static_cast<int>(msSinceEpoch % 1000));
    return QByteArray(text, size);
}

bool parseUtcStamp(const QByteArray &text, qint64 *msSinceEpoch)
{
    return parseStamp(text, true, msSinceEpoch);
}

bool parseTimeArgument(const QByteArray &text, qint64 *msSinceEpoch)
{
    return parseStamp(text, false, msSinceEpoch);
}

QByteArray runLine(const QByteArray &version, RunMark mark, qint64 startMs, const QByteArray &command)
{
    return commentStart + version + (mark == RunMark::Started ? " started " : " continued ") + utcStamp(startMs) +
           ": " + command + '\n';
}

QByteArray cycleLine(qint64 ms, qint64 cycleMs, const Cycle &cycle)
{
    QByteArray line;
    for (const ColumnName &column : columns) {
        if (!line.isEmpty())
            line += '\t';
        switch (column.column) {
        case Column::Time:
            line += utcStamp(ms);
            break;
        case Column::State:
            line += stateName(cycle.state);
            break;
        case Column::CycleMs:
            line += QByteArray::number(cycleMs);
            break;
        case Column::Loops:
            line += asField(cycle.loops);
            break;
        case Column::Bytes:
            line += asField(cycle.bytes);
            break;
        case Column::Open:
            line += asField(cycle.open);
            break;
        case Column::Close:
            line += asField(cycle.close);
            break;
        case Column::RealTime:
            line += asField(cycle.realTime);
            break;
        }
    }
    return line + '\n';
}

QByteArray stoppedLine(qint64 ms, const QByteArray &reason)
{
    return stoppedStart + utcStamp(ms) + " (" + asField(reason) + ")\n";
}

QByteArray lostLine(const LostSpan &lost, const QByteArray &path)
{
    return lostStart + QByteArray::number(lost.cycles) + (lost.cycles == 1 ? " cycle" : " cycles") + " from " +
           utcStamp(lost.fromMs) + " to " + utcStamp(lost.toMs) + ": cannot write to " + asField(path) + ": " +
           asField(lost.why) + '\n';
}

Reader::Reader(const Window &window, CycleSink *sink)
    : window_(window),
      sinceStamp_(window.sinceMs >= 0 && window.sinceMs < year10000Ms ? utcStamp(window.sinceMs) : QByteArray()),
      sink_(sink)
{
}

void Reader::startFile()
{
    current_ = nullptr;
}

Reader::Tracked &Reader::track(const RunKey &key)
{
    auto found = runs_.find(key);
    if (found == runs_.end()) {
        found = runs_.insert(key, Tracked(window_));
        found->tally.run().startMs = key.first;
        found->tally.run().device = key.second;
    }
    return *found;
}

bool Reader::readLine(const char *line, int size)
{
    if (size == 0)
        return true;
    if (line[0] == '#')
        return readComment(QByteArray(line, size));
    if (passBeforeWindow(line, size))
        return true;
    LoggedCycle cycle;
    if (!parseCycle(line, size, &cycle)) {
        static const QByteArray names = header.mid(header.indexOf('\n') + 1);
        if (size + 1 != names.size() || std::memcmp(line, names.constData(), static_cast<std::size_t>(size)) != 0)
            ++unreadable_;
        return true;
    }
    if (!current_) {
        // Lines with no start line above them in their file: a run of their own, from them.
        current_ = &track({cycle.ms, QByteArray()});
        current_->started = true;
    }
    if (current_->passedAny) {
        qint64 passedMs = 0;
        if (parseStamp(current_->lastPassedStamp, &passedMs))
            current_->tally.setPreviousMs(passedMs);
        current_->passedAny = false;
    }
    current_->beforeWindow = false;
    Run &run = current_->tally.run();
    if (!current_->started && run.cycles == 0)  // watched from the start of its first cycle read
        run.startMs = std::max(run.startMs, cycle.ms - cycle.cycleMs);
    current_->tally.add(cycle);
    if (sink_ && window_.holds(cycle.ms))
        sink_->take(cycle);
    return true;
}

bool Reader::readComment(const QByteArray &line)
{
    if (line.startsWith(formatStart)) {
        bool ok = false;
        const int format = line.mid(formatStart.size()).toInt(&ok);
        if (ok && format > logFormat) {
            why_ = "its log format " + QByteArray::number(format) + " is newer than format " +
                   QByteArray::number(logFormat) + ", which this testVRN730-watch reads; read it with a newer one";
            return false;
        }
        unreadable_ += ok && format >= 1 ? 0 : 1;
        return true;
    }
    if (line.startsWith(commentStart)) {
        RunStart start;
        if (!parseRunLine(line, &start)) {
            ++unreadable_;
            return true;
        }
        current_ = &track({start.startMs, start.device});
        if (start.mark == RunMark::Started && !current_->started) {
            current_->started = true;
            current_->tally.run().startMs = start.startMs;
        }
        return true;
    }
    if (line.startsWith(stoppedStart)) {
        qint64 stopMs = 0;
        if (!current_ || !parseStoppedLine(line, &stopMs)) {
            ++unreadable_;
            return true;
        }
        current_->tally.run().stopMs = stopMs;
        return true;
    }
    if (line.startsWith(lostStart)) {
        LostSpan lost;
        if (!current_ || !parseLostLine(line, &lost)) {
            ++unreadable_;
            return true;
        }
        current_->tally.run().lost.append(lost);
    }
    return true;
}

// The lines of a run before the window's start, up to its first within it, are known by
// their stamp's text and their state's first letter, and not parsed: a month read from
// its last day on reads only that day.
bool Reader::passBeforeWindow(const char *line, int size)
{
    constexpr int stampSize = 24;
    if (sinceStamp_.isEmpty() || !current_ || !current_->beforeWindow || size < stampSize + 2 ||
        line[stampSize] != '\t' || std::memcmp(line, sinceStamp_.constData(), stampSize) >= 0)
        return false;
    CycleState state;
    switch (line[stampSize + 1]) {
    case 'o':
        state = CycleState::Ok;
        break;
    case 'e':
        state = CycleState::Error;
        break;
    case 'n':
        state = CycleState::NoConnection;
        break;
    default:
        return false;
    }
    current_->tally.pass(state);
    std::memcpy(current_->lastPassedStamp, line, stampSize);
    current_->passedAny = true;
    return true;
}

// The log's own stamp, 24 bytes; the date, hour and minute are parsed once a minute.
bool Reader::parseStamp(const char *text, qint64 *ms)
{
    if (minuteMs_ >= 0 && std::memcmp(text, minute_, sizeof minute_) == 0) {
        const auto digit = [&](int at) { return static_cast<unsigned>(text[at] - '0'); };
        if (digit(17) > 5 || digit(18) > 9 || text[19] != '.' || digit(20) > 9 || digit(21) > 9 || digit(22) > 9 ||
            text[23] != 'Z')
            return false;
        *ms = minuteMs_ + (digit(17) * 10 + digit(18)) * 1000 + digit(20) * 100 + digit(21) * 10 + digit(22);
        return true;
    }
    if (!parseUtcStamp(QByteArray::fromRawData(text, 24), ms))
        return false;
    std::memcpy(minute_, text, sizeof minute_);
    minuteMs_ = *ms - *ms % 60000;
    return true;
}

// "STAMP\tSTATE\tCYCLE_MS\tloops\tbytes\topen\tclose\trealTime": the first three are
// read, the others only counted.
bool Reader::parseCycle(const char *line, int size, LoggedCycle *cycle)
{
    constexpr int stampSize = 24;
    if (size < stampSize + 1 || line[stampSize] != '\t' || !parseStamp(line, &cycle->ms))
        return false;
    const char *at = line + stampSize + 1;
    const char *const end = line + size;
    // The field at AT, to the next tab or the line's end; AT then past that tab.
    const auto field = [&](const char **fieldEnd) {
        const char *start = at;
        const char *tab = static_cast<const char *>(std::memchr(at, '\t', static_cast<std::size_t>(end - at)));
        *fieldEnd = tab ? tab : end;
        at = tab ? tab + 1 : end + 1;
        return start;
    };
    const char *stateEnd;
    const char *state = field(&stateEnd);
    if (!stateNamed(state, static_cast<int>(stateEnd - state), &cycle->state))
        return false;
    const char *cycleMsEnd;
    const char *cycleMs = field(&cycleMsEnd);
    if (cycleMs == cycleMsEnd || cycleMsEnd - cycleMs > 15)
        return false;
    cycle->cycleMs = 0;
    for (const char *digit = cycleMs; digit < cycleMsEnd; ++digit) {
        if (*digit < '0' || *digit > '9')
            return false;
        cycle->cycleMs = cycle->cycleMs * 10 + (*digit - '0');
    }
    // After cycle_ms's tab, a field begins, and another after each tab left.
    int fields = 3;
    if (at <= end) {
        ++fields;
        for (const char *tab = at;
             (tab = static_cast<const char *>(std::memchr(tab, '\t', static_cast<std::size_t>(end - tab)))); ++tab)
            ++fields;
    }
    return fields == columnCount;
}

QList<Run> Reader::runs()
{
    QList<Run> runs;
    for (Tracked &tracked : runs_) {
        tracked.tally.finish();
        Run run = tracked.tally.run();
        if (!tracked.started && run.cycles == 0) {
            if (run.stopMs < 0)
                continue;
            run.startMs = run.stopMs;
        }
        runs.append(run);
    }
    current_ = nullptr;
    return runs;
}

namespace {

// A log file, plain or compressed: zlib reads a file that is not compressed as it is.
class LogFile {
public:
    explicit LogFile(const QByteArray &path)
    {
        errno = 0;
        file_ = gzopen(path.constData(), "rb");
        if (!file_)
            error_ = std::strerror(errno ? errno : ENOMEM);
        else
            gzbuffer(file_, 256 * 1024);
    }
    ~LogFile()
    {
        if (file_)
            gzclose(file_);
    }
    LogFile(const LogFile &) = delete;
    LogFile &operator=(const LogFile &) = delete;

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
        if (line.startsWith(commentStart)) {
            if (parseRunLine(line, &start) && start.mark == RunMark::Started)
                return start.startMs;
        } else if (line.startsWith(stoppedStart)) {
            if (parseStoppedLine(line, &ms))
                return ms;
        } else if (line.startsWith(lostStart)) {
            LostSpan lost;
            if (parseLostLine(line, &lost))
                return lost.fromMs;
        } else if (parseUtcStamp(line.left(24), &ms)) {
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
        LogFile log(file.path);
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
    LogFile log(file->path);
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
        LogFile log(each->path);
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
        LogFile log(file.path);
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
