#include "report/tally.h"

#include <algorithm>

namespace watchlog {

namespace {

constexpr qint64 msPerHour = 3600000;

qint64 hourOf(qint64 ms)
{
    return ms - ((ms % msPerHour) + msPerHour) % msPerHour;
}

}  // namespace

QByteArray Outage::kinds() const
{
    const QByteArray error = nameOf(CycleState::Error).logWord;
    const QByteArray failure = nameOf(CycleState::NoConnection).logWord;
    if (errors && failures)
        return error + ',' + failure;
    return errors ? error : failure;
}

qint64 Run::endMs() const
{
    if (stopMs >= 0)
        return stopMs;
    return cycles == 0 ? startMs : std::max(startMs, lastCycleMs);
}

void RunTally::add(const LoggedCycle &cycle)
{
    const bool first = run_.cycles == 0;
    run_.monoMs += cycle.cycleMs;
    const qint64 drift = cycle.ms - previousMs_ - cycle.cycleMs;
    if (!first && qAbs(drift) > maxClockDriftMs) {
        run_.steps.append({cycle.ms, drift});
        steppedSinceGood_ = true;
    }
    joinOrStartGroup(cycle);
    const bool late = group_.cycles > 1 && group_.late();  // one read with those before it
    if (cycle.state == CycleState::Ok) {
        if (outageOpen_)
            endOutage(cycle, late);
        rememberGood(late ? group_.beforeMs : cycle.ms, late);
    } else {
        badCycle(cycle.state).cycles += window_.holds(cycle.ms) ? 1 : 0;
    }
    if (window_.holds(cycle.ms)) {
        const qint64 hour = hourOf(cycle.ms);
        if (hour != hourMs_) {
            hour_ = &run_.hours[hour];
            hourMs_ = hour;
        }
        hour_->add(cycle.state);
    }
    previousMs_ = cycle.ms;
    run_.lastCycleMs = cycle.ms;
    ++run_.cycles;
}

void RunTally::pass(CycleState state)
{
    const qint64 beforeWindowMs = window_.sinceMs - 1;
    group_ = Group();
    if (state == CycleState::Ok) {
        if (outageOpen_) {
            Outage &outage = run_.outages.last();
            outage.endMs = std::max(outage.startMs, beforeWindowMs);
            outageOpen_ = false;
        }
        rememberGood(beforeWindowMs, false);
    } else {
        Outage &outage = badCycle(state);
        outage.startMs = std::min(outage.startMs, beforeWindowMs);
    }
    ++run_.cycles;
}

// The last good cycle, which may have ended as early as END_MS: an outage after it
// begins there.
void RunTally::rememberGood(qint64 endMs, bool late)
{
    since_ = Since::GoodCycle;
    lastGoodEndMs_ = endMs;
    lastGoodLate_ = late;
    lastGoodIndex_ = run_.cycles;
    monoAtLastGoodMs_ = run_.monoMs;
    steppedSinceGood_ = false;
}

// A bad cycle begins an outage or goes on with one, and adds its kind.
Outage &RunTally::badCycle(CycleState state)
{
    if (!outageOpen_)
        beginOutage();
    Outage &outage = run_.outages.last();
    (state == CycleState::Error ? outage.errors : outage.failures) = true;
    return outage;
}

// A cycle with cycle_ms 0 and the stamp of the one before joins that one's group; any
// other begins its own. The group's first cycle is known to be late only once a second
// joins it, so what was decided on its stamp is mended then.
void RunTally::joinOrStartGroup(const LoggedCycle &cycle)
{
    if (run_.cycles > 0 && cycle.cycleMs == 0 && cycle.ms == group_.ms) {
        ++group_.cycles;
        if (group_.cycles == 2 && group_.late()) {
            if (group_.endedOutage >= 0) {
                Outage &outage = run_.outages[group_.endedOutage];
                outage.endMs = std::max(outage.startMs, group_.ms);
                outage.approximate = true;
            }
            if (since_ == Since::GoodCycle && lastGoodIndex_ == group_.firstIndex) {
                lastGoodEndMs_ = group_.beforeMs;
                lastGoodLate_ = true;
            }
        }
        return;
    }
    if (group_.late())
        run_.late.append({group_.ms, group_.cycles, group_.cycleMs});
    group_ = Group();
    group_.ms = cycle.ms;
    group_.cycleMs = cycle.cycleMs;
    group_.cycles = 1;
    group_.firstIndex = run_.cycles;
    group_.beforeMs = run_.cycles > 0 ? previousMs_ : run_.startMs;
}

// The good cycle began when the outage ended: its stamp less its cycle_ms, or, stamped
// late, as late as it can have been.
void RunTally::endOutage(const LoggedCycle &cycle, bool late)
{
    Outage &outage = run_.outages.last();
    outage.endMs = std::max(outage.startMs, late ? cycle.ms : cycle.ms - cycle.cycleMs);
    outage.approximate = outage.approximate || late;
    if (steppedSinceGood_)
        outage.lengthMs = run_.monoMs - cycle.cycleMs - monoAtLastGoodMs_;
    if (group_.cycles == 1)
        group_.endedOutage = static_cast<int>(run_.outages.size()) - 1;
    outageOpen_ = false;
}

void RunTally::beginOutage()
{
    Outage outage;
    outage.startMs = outage.endMs = since_ == Since::RunStart ? run_.startMs : lastGoodEndMs_;
    outage.approximate = since_ == Since::GoodCycle && lastGoodLate_;
    run_.outages.append(outage);
    outageOpen_ = true;
}

void RunTally::finish()
{
    if (group_.late())
        run_.late.append({group_.ms, group_.cycles, group_.cycleMs});
    group_ = Group();
    hour_ = nullptr;
    hourMs_ = -1;
    if (!outageOpen_)
        return;
    Outage &outage = run_.outages.last();
    outage.endMs = std::max(outage.startMs, run_.endMs());
    if (steppedSinceGood_)
        outage.lengthMs = run_.monoMs - monoAtLastGoodMs_ + std::max<qint64>(0, run_.endMs() - run_.lastCycleMs);
    outageOpen_ = false;
}

}  // namespace watchlog
