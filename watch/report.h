// What a night's log says: outages, counts, and the bad cycles per hour.
#pragma once

#include "log.h"

#include <QByteArray>
#include <QList>
#include <QMap>

#include <limits>

namespace watchlog {

// The part of the logs a report looks at: [sinceMs, untilMs).
struct Window {
    qint64 sinceMs = std::numeric_limits<qint64>::min();
    qint64 untilMs = std::numeric_limits<qint64>::max();

    bool holds(qint64 ms) const { return ms >= sinceMs && ms < untilMs; }
};

// Consecutive bad cycles of one run. It lasts from the end of the last good cycle before
// them (or the run's start) to the start of the first good one after them, which is that
// cycle's stamp less its cycle_ms (or to the run's end): a single bad cycle lasts exactly
// its own cycle.
// Across a step of the wall clock, its length comes from the cycle_ms of its cycles, not
// from its bounds. A bound that rests on a cycle stamped late (read together with others
// after the watch was held up) is taken as far out as the stamps allow, and approximate.
struct Outage {
    qint64 startMs = 0;
    qint64 endMs = 0;
    int cycles = 0;
    bool errors = false;    // it holds a bad reply
    bool failures = false;  // it holds a failed connection
    qint64 lengthMs = -1;   // from cycle_ms across a clock step; -1: endMs - startMs
    bool approximate = false;

    qint64 length() const { return lengthMs >= 0 ? lengthMs : endMs - startMs; }
    QByteArray kinds() const;
};

// Where the wall time between two lines of a run differs from the cycle_ms the second
// records by more than maxClockDriftMs: the wall clock was set.
constexpr qint64 maxClockDriftMs = 2000;
struct ClockStep {
    qint64 atMs = 0;  // the stamp of the first line after it
    qint64 byMs = 0;  // forward, or back when negative
};

// Cycles the watch stamped at once, reading them together after it was held up for more
// than maxClockDriftMs: each may have ended up to heldMs before its stamp.
struct LateStamps {
    qint64 atMs = 0;
    int cycles = 0;
    qint64 heldMs = 0;
};

// The outages of one run that reach into the window, cut to it; their cycles are those
// within it.
QList<Outage> outagesOf(const Run &run, const Window &window);

struct Counts {
    qint64 cycles = 0;
    qint64 errors = 0;
    qint64 failures = 0;
};

// Time within the watched span that the logs do not cover: between two runs, or cycles
// the watch could not write.
struct Unwatched {
    qint64 startMs = 0;
    qint64 endMs = 0;
    QByteArray reason;
};

struct Summary {
    qint64 watchedMs = 0;
    int runs = 0;
    qint64 firstMs = 0;  // the watched time's bounds, within the window
    qint64 lastMs = 0;
    Counts counts;
    QList<Outage> outages;
    QList<Unwatched> unwatched;
    QList<ClockStep> steps;
    QList<LateStamps> late;
    qint64 unstoppedMs = -1;     // the last run's last cycle, when it has no stop line
    qint64 minOutageMs = 0;      // shorter outages are left out of the list
    QMap<qint64, Counts> hours;  // by the hour's start
};

// MIN_OUTAGE_MS leaves shorter outages out of the list; their cycles still count.
Summary summarize(const QList<Run> &runs, const Window &window, qint64 minOutageMs = 0);
// The cycles within the window in each interval, by the interval's start.
QMap<qint64, Counts> countsPer(qint64 intervalMs, const QList<Run> &runs, const Window &window);

// Milliseconds as seconds to the millisecond: 21.518.
QByteArray seconds(qint64 ms);

// "start\tend\tseconds\tcycles\tkinds", a line each.
QByteArray outageLines(const Summary &summary);
// "start\tend\tseconds\treason", a line each.
QByteArray unwatchedLines(const Summary &summary);
// The whole report, for people.
QByteArray reportText(const Summary &summary);

// What `report` prints of the runs: the report, or one of its lists. Runs of several
// devices are reported device by device, each section headed "Device ADDRESS", and each
// line of a list then begins with its device and a tab.
enum class Listing { Report, Outages, Unwatched };
QByteArray reportOf(const QList<Run> &runs, const Window &window, qint64 minOutageMs, Listing listing);

}  // namespace watchlog
