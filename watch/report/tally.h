// What one run's cycles say, tallied as they are read: a month of log takes the memory of
// its outages, not of its cycles.
#pragma once

#include "log/format.h"

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

struct LoggedCycle {
    qint64 ms = 0;
    CycleState state = CycleState::Ok;
    qint64 cycleMs = 0;
};

struct Counts {
    qint64 cycles = 0;
    qint64 errors = 0;
    qint64 failures = 0;

    void add(CycleState state)
    {
        ++cycles;
        errors += state == CycleState::Error;
        failures += state == CycleState::NoConnection;
    }
    void add(const Counts &other)
    {
        cycles += other.cycles;
        errors += other.errors;
        failures += other.failures;
    }
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
    int cycles = 0;         // within the window
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

// One run of the command: from its start line to its stop line, or to its last cycle.
// Read without its start line (the file that held it rotated away), it is known from the
// start of its first cycle that was read.
struct Run {
    qint64 startMs = 0;
    qint64 stopMs = -1;      // -1: no stop line was read
    QByteArray device;       // the -i of its command, as its start line names it; empty if none
    qint64 cycles = 0;       // all of them, within the window or not
    qint64 lastCycleMs = 0;  // the stamp of the last one
    qint64 monoMs = 0;       // the sum of their cycle_ms: the run's length on the watch's own clock
    QList<LostSpan> lost;
    QList<Outage> outages;  // whole, before the window cuts them
    QList<ClockStep> steps;
    QList<LateStamps> late;
    QMap<qint64, Counts> hours;  // the cycles within the window, by the hour's start

    qint64 endMs() const;
    bool hasCyclesWithin() const { return !hours.isEmpty(); }
};

// Takes a run's cycles in the order the watch wrote them, and keeps of them only what
// the report needs.
class RunTally {
public:
    explicit RunTally(const Window &window) : window_(window) {}

    Run &run() { return run_; }
    void add(const LoggedCycle &cycle);
    // A cycle before the window, known by its state alone: it keeps an outage open or ends
    // it, and its bounds, which the window cuts, are not needed.
    void pass(CycleState state);
    // The stamp of the last cycle passed, once the first after it is read; a step of the
    // wall clock between the two is found as between any two.
    void setPreviousMs(qint64 ms) { previousMs_ = ms; }
    // Once every line has been read: closes what the last cycles left open.
    void finish();

private:
    void joinOrStartGroup(const LoggedCycle &cycle);
    void endOutage(const LoggedCycle &cycle, bool late);
    void beginOutage();
    void rememberGood(qint64 endMs, bool late);
    Outage &badCycle(CycleState state);

    Window window_;
    Run run_;
    qint64 previousMs_ = 0;
    // The cycles that share the stamp of the one that began them; stamped late when that
    // one ended a wait longer than maxClockDriftMs and others share its stamp.
    struct Group {
        qint64 ms = 0;
        qint64 cycleMs = 0;
        int cycles = 0;
        qint64 firstIndex = 0;  // among the run's cycles
        qint64 beforeMs = 0;    // the stamp before it, or the run's start
        int endedOutage = -1;   // the outage its first cycle ended, if any
        bool late() const { return cycles > 1 && cycleMs > maxClockDriftMs; }
    } group_;
    enum class Since { RunStart, GoodCycle };
    Since since_ = Since::RunStart;
    qint64 lastGoodEndMs_ = 0;  // the earliest the last good cycle can have ended
    bool lastGoodLate_ = false;
    qint64 lastGoodIndex_ = -1;
    qint64 monoAtLastGoodMs_ = 0;
    bool steppedSinceGood_ = false;
    bool outageOpen_ = false;
    Counts *hour_ = nullptr;  // the counts of the hour the last cycle fell in
    qint64 hourMs_ = -1;
};

}  // namespace watchlog
