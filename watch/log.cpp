#include "log.h"

#include <QHash>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>

#include <zlib.h>

namespace watchlog {

const QByteArray header = QByteArrayLiteral("time\tstate\tcycle_ms\tloops\tbytes\topen\tclose\trealTime\n");

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

bool parseState(const QByteArray &text, CycleState *state)
{
    for (const CycleState candidate : {CycleState::Ok, CycleState::Error, CycleState::NoConnection})
        if (text == stateName(candidate)) {
            *state = candidate;
            return true;
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
    QByteArray line = utcStamp(ms);
    line += '\t';
    line += stateName(cycle.state);
    line += '\t';
    line += QByteArray::number(cycleMs);
    for (const QByteArray *field : {&cycle.loops, &cycle.bytes, &cycle.open, &cycle.close}) {
        line += '\t';
        line += asField(*field);
    }
    line += '\t';
    line += asField(cycle.realTime);
    line += '\n';
    return line;
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

qint64 Run::endMs() const
{
    if (stopMs >= 0)
        return stopMs;
    return cycles.isEmpty() ? startMs : std::max(startMs, cycles.last().ms);
}

void Reader::startFile(const QByteArray &name)
{
    endFile();
    fileName_ = name;
    inRun_ = false;
}

void Reader::readLine(const QByteArray &line)
{
    if (line.isEmpty() || line + '\n' == header)
        return;
    if (line.startsWith(commentStart)) {
        // "# testVRN730-watch VERSION started|continued START: COMMAND"
        const QList<QByteArray> words = line.mid(commentStart.size()).split(' ');
        qint64 startMs = 0;
        if (words.size() < 3 || (words[1] != "started" && words[1] != "continued") || !words[2].endsWith(':') ||
            !parseUtcStamp(words[2].chopped(1), &startMs)) {
            ++unreadable_;
            return;
        }
        // "testVRN730 -i ADDRESS -p N -t N"
        const int device = static_cast<int>(words.indexOf("-i"));
        current_ = {startMs, device > 2 && device + 1 < words.size() ? words[device + 1] : QByteArray()};
        inRun_ = true;
        part().started = part().started || words[1] == "started";
        part().device = current_.second;
        return;
    }
    if (line.startsWith(stoppedStart)) {
        qint64 stopMs = 0;
        if (!inRun_ || !parseUtcStamp(line.mid(stoppedStart.size(), 24), &stopMs)) {
            ++unreadable_;
            return;
        }
        part().stopMs = stopMs;
        return;
    }
    if (line.startsWith(lostStart)) {
        LostSpan lost;
        if (!inRun_ || !parseLostLine(line, &lost)) {
            ++unreadable_;
            return;
        }
        part().lost.append(lost);
        return;
    }
    if (line.startsWith('#'))
        return;
    const QList<QByteArray> fields = line.split('\t');
    LoggedCycle cycle;
    if (fields.size() != 8 || !parseUtcStamp(fields[0], &cycle.ms) || !parseState(fields[1], &cycle.state) ||
        !parseCount(fields[2], &cycle.cycleMs)) {
        ++unreadable_;
        return;
    }
    if (!inRun_) {
        // Lines with no start line above them in their file: a run of their own, from them.
        current_ = {cycle.ms, QByteArray()};
        inRun_ = true;
        part().started = true;
    }
    Part &into = part();
    into.cycles.append(cycle);
    ++into.count;
    into.fingerprint = into.fingerprint * 1099511628211ULL + qHash(line);
}

// Joins what the file held of each run to the runs read before, unless another file
// held the same.
void Reader::endFile()
{
    for (auto read = file_.begin(); read != file_.end(); ++read) {
        Known &known = runs_[read.key()];
        known.run.startMs = read.key().first;
        const auto same = std::find_if(known.parts.cbegin(), known.parts.cend(),
                                       [&](const QPair<QByteArray, Part> &part) { return part.second.sameAs(*read); });
        if (same != known.parts.cend() && (read->count > 0 || read->stopMs >= 0)) {
            warnings_.append(fileName_ + " holds what " + same->first + " holds of the run started " +
                             utcStamp(read.key().first) + "; it is read once");
            continue;
        }
        known.started = known.started || read->started;
        if (!read->device.isEmpty())
            known.run.device = read->device;
        if (!read->cycles.isEmpty())
            known.segments.append(read->cycles);
        known.run.lost += read->lost;
        if (read->stopMs >= 0)
            known.run.stopMs = read->stopMs;
        read->cycles.clear();
        known.parts.append({fileName_, *read});
    }
    file_.clear();
}

QList<Run> Reader::runs()
{
    endFile();
    QList<Run> runs;
    for (Known &known : runs_) {
        // A file's cycles are in the order the watch wrote them, whatever a step of the wall
        // clock did to their stamps; the files of a rotated run follow each other in time.
        std::stable_sort(known.segments.begin(), known.segments.end(),
                         [](const QVector<LoggedCycle> &a, const QVector<LoggedCycle> &b) {
                             return a.first().ms < b.first().ms;
                         });
        for (const QVector<LoggedCycle> &segment : known.segments)
            known.run.cycles += segment;
        known.segments.clear();
        Run run = known.run;
        if (!known.started) {
            // Its start line is not among the files read: it is watched from its first cycle read.
            if (!run.cycles.isEmpty())
                run.startMs = std::max(run.startMs, run.cycles.first().ms - run.cycles.first().cycleMs);
            else if (run.stopMs >= 0)
                run.startMs = run.stopMs;
        }
        if (run.cycles.isEmpty() && run.stopMs < 0 && !known.started)
            continue;
        runs.append(run);
    }
    return runs;
}

bool readLogFile(const QByteArray &path, Reader *reader, QByteArray *error)
{
    // zlib reads a file that is not compressed as it is.
    gzFile file = gzopen(path.constData(), "rb");
    if (!file) {
        *error = std::strerror(errno ? errno : ENOMEM);
        return false;
    }
    gzbuffer(file, 128 * 1024);
    reader->startFile(path);
    QByteArray line;
    char chunk[4096];
    while (gzgets(file, chunk, sizeof chunk)) {
        const std::size_t size = std::strlen(chunk);
        line.append(chunk, static_cast<int>(size));
        if (size == 0 || chunk[size - 1] != '\n')
            continue;  // the rest of a long line follows
        line.chop(1);
        reader->readLine(line);
        line.clear();
    }
    if (!line.isEmpty())
        reader->readLine(line);
    int code = Z_OK;
    const char *message = gzerror(file, &code);
    const bool ok = code == Z_OK || code == Z_STREAM_END;
    if (!ok)
        *error = code == Z_ERRNO ? QByteArray(std::strerror(errno)) : QByteArray(message);
    gzclose(file);
    return ok;
}

}  // namespace watchlog
