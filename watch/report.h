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
struct Outage {
    qint64 startMs = 0;
    qint64 endMs = 0;
    int cycles = 0;
    bool errors = false;    // it holds a bad reply
    bool failures = false;  // it holds a failed connection

    QByteArray kinds() const;
    bool operator==(const Outage &other) const
    {
        return startMs == other.startMs && endMs == other.endMs && cycles == other.cycles && errors == other.errors &&
               failures == other.failures;
    }
};

// The outages of one run that reach into the window, cut to it; their cycles are those
// within it.
QList<Outage> outagesOf(const Run &run, const Window &window);

struct Counts {
    qint64 cycles = 0;
    qint64 errors = 0;
    qint64 failures = 0;
};

struct Summary {
    qint64 watchedMs = 0;
    int runs = 0;
    qint64 firstMs = 0;  // the watched time's bounds, within the window
    qint64 lastMs = 0;
    Counts counts;
    QList<Outage> outages;
    QMap<qint64, Counts> hours;  // by the hour's start
};

Summary summarize(const QList<Run> &runs, const Window &window);
// The cycles within the window in each interval, by the interval's start.
QMap<qint64, Counts> countsPer(qint64 intervalMs, const QList<Run> &runs, const Window &window);

// Milliseconds as seconds to the millisecond: 21.518.
QByteArray seconds(qint64 ms);

// "start\tend\tseconds\tcycles\tkinds", a line each.
QByteArray outageLines(const Summary &summary);
// The whole report, for people.
QByteArray reportText(const Summary &summary);

}  // namespace watchlog
