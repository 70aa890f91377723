#include "log/format.h"

#include <QList>

#include <cstdio>
#include <ctime>

namespace watchlog {

namespace {

QByteArray headerOf()
{
    QByteArray names;
    for (const ColumnName &column : columns)
        names += QByteArray(names.isEmpty() ? "" : "\t") + column.name;
    return formatLineStart + QByteArray::number(logFormat) + '\n' + names + '\n';
}

// The reader takes the first three columns where they stand, the rest only counted.
static_assert(columns[0].column == Column::Time && columns[1].column == Column::State &&
                  columns[2].column == Column::CycleMs,
              "a cycle line begins with its time, state and cycle_ms");

}  // namespace

const QByteArray formatLineStart = QByteArrayLiteral("# log format ");
const QByteArray runLineStart = QByteArrayLiteral("# testVRN730-watch ");
const QByteArray stoppedLineStart = QByteArrayLiteral("# stopped ");
const QByteArray lostLineStart = QByteArrayLiteral("# lost ");
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
    if (strict && at != stampBytes)
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

}  // namespace

bool parseLostLine(const QByteArray &line, LostSpan *lost)
{
    const QList<QByteArray> words = line.mid(lostLineStart.size()).split(' ');
    if (words.size() < 7 || !parseCount(words[0], &lost->cycles) || words[2] != "from" || words[4] != "to" ||
        !words[5].endsWith(':') || !parseUtcStamp(words[3], &lost->fromMs) ||
        !parseUtcStamp(words[5].chopped(1), &lost->toMs) || lost->toMs < lost->fromMs)
        return false;
    lost->why = line.mid(line.indexOf(": ") + 2);
    return true;
}

bool parseRunLine(const QByteArray &line, RunStart *run)
{
    const QList<QByteArray> words = line.mid(runLineStart.size()).split(' ');
    if (words.size() < 3 || (words[1] != "started" && words[1] != "continued") || !words[2].endsWith(':') ||
        !parseUtcStamp(words[2].chopped(1), &run->startMs))
        return false;
    run->mark = words[1] == "started" ? RunMark::Started : RunMark::Continued;
    const int device = static_cast<int>(words.indexOf("-i"));
    run->device = device > 2 && device + 1 < words.size() ? words[device + 1] : QByteArray();
    return true;
}

bool parseStoppedLine(const QByteArray &line, qint64 *stopMs)
{
    return parseUtcStamp(line.mid(stoppedLineStart.size(), stampBytes), stopMs);
}

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
    return runLineStart + version + (mark == RunMark::Started ? " started " : " continued ") + utcStamp(startMs) +
           ": " + command + '\n';
}

QByteArray runLines(const QByteArray &version, RunMark mark, qint64 startMs, const QByteArray &command)
{
    return runLine(version, mark, startMs, command) + header;
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
            line += nameOf(cycle.state).logWord;
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
    return stoppedLineStart + utcStamp(ms) + " (" + asField(reason) + ")\n";
}

QByteArray lostLine(const LostSpan &lost, const QByteArray &path)
{
    return lostLineStart + QByteArray::number(lost.cycles) + (lost.cycles == 1 ? " cycle" : " cycles") + " from " +
           utcStamp(lost.fromMs) + " to " + utcStamp(lost.toMs) + ": cannot write to " + asField(path) + ": " +
           asField(lost.why) + '\n';
}

}  // namespace watchlog
