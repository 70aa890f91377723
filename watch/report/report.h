// What a night's log says: outages, counts, and the bad cycles per hour.
#pragma once

#include "log/format.h"
#include "report/tally.h"

#include <QByteArray>
#include <QList>
#include <QMap>

namespace watchlog {

// The outages of one run that reach into the window, cut to it; their cycles are those
// within it. WINDOW is the one the run was read with, which counted those cycles.
QList<Outage> outagesOf(const Run &run, const Window &window);

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

// MIN_OUTAGE_MS leaves shorter outages out of the list; their cycles still count. WINDOW
// is the one the runs were read with.
Summary summarize(const QList<Run> &runs, const Window &window, qint64 minOutageMs = 0);

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
