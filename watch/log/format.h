// The log's format, owned here alone: tab-separated, one line per cycle, in fixed
// columns, with comment lines where a run starts, continues in a new file, stops, or lost
// cycles it could not write. Times are UTC to the millisecond. Each line's writer stands
// beside its parser.
#pragma once

#include "client/cycle.h"

#include <QByteArray>

namespace watchlog {

// The longest realTime text a line keeps; a longer one is cut at a character's start.
constexpr int maxRealTimeBytes = 256;

// The format of the lines below a start line. A reader takes every format up to its own
// and refuses a newer one; a run without a format line, as the first watches wrote
// them, is format 1.
constexpr int logFormat = 1;

// A cycle line's columns: the format's table, which makes the header, the line and the
// reading of it.
enum class Column { Time, State, CycleMs, Loops, Bytes, Open, Close, RealTime };
struct ColumnName {
    Column column;
    const char *name;
};
constexpr ColumnName columns[] = {{Column::Time, "time"},        {Column::State, "state"},
                                  {Column::CycleMs, "cycle_ms"}, {Column::Loops, "loops"},
                                  {Column::Bytes, "bytes"},      {Column::Open, "open"},
                                  {Column::Close, "close"},      {Column::RealTime, "realTime"}};
constexpr int columnCount = static_cast<int>(sizeof columns / sizeof columns[0]);

// "# log format N" and the column names, each with its line feed: what follows a start line.
extern const QByteArray header;
// What begins each kind of comment line.
extern const QByteArray formatLineStart;
extern const QByteArray runLineStart;
extern const QByteArray stoppedLineStart;
extern const QByteArray lostLineStart;

// The bytes of a stamp as the log writes it: 2026-12-08T21:00:00.000Z.
constexpr int stampBytes = 24;
// The first time that a stamp's four-digit year cannot hold: 10000-01-01.
constexpr qint64 year10000Ms = 253402300800000;

QByteArray utcStamp(qint64 msSinceEpoch);
bool parseUtcStamp(const QByteArray &text, qint64 *msSinceEpoch);
// A time given on the command line: a date, a date and time to the minute, second or
// millisecond, with "T" or a blank between them, perhaps ending in "Z"; always UTC.
bool parseTimeArgument(const QByteArray &text, qint64 *msSinceEpoch);

// "# testVRN730-watch VERSION started|continued START: testVRN730 -i ADDRESS -p N -t N"
enum class RunMark { Started, Continued };
QByteArray runLine(const QByteArray &version, RunMark mark, qint64 startMs, const QByteArray &command);
// The run line and the header below it: what begins a run, or each file it continues in.
QByteArray runLines(const QByteArray &version, RunMark mark, qint64 startMs, const QByteArray &command);
struct RunStart {
    RunMark mark = RunMark::Started;
    qint64 startMs = 0;
    QByteArray device;  // empty when the command names none
};
bool parseRunLine(const QByteArray &line, RunStart *run);

QByteArray cycleLine(qint64 ms, qint64 cycleMs, const Cycle &cycle);

// "# stopped STAMP (REASON)"
QByteArray stoppedLine(qint64 ms, const QByteArray &reason);
bool parseStoppedLine(const QByteArray &line, qint64 *stopMs);

// Cycles the watch could not write, as its "# lost" line counts them:
// "# lost N cycle[s] from START to END: cannot write to PATH: WHY"
struct LostSpan {
    qint64 fromMs = 0;
    qint64 toMs = 0;
    qint64 cycles = 0;
    QByteArray why;
};
QByteArray lostLine(const LostSpan &lost, const QByteArray &path);
bool parseLostLine(const QByteArray &line, LostSpan *lost);

}  // namespace watchlog
