#include "report.h"

#include <algorithm>
#include <cstdio>

namespace watchlog {

namespace {

constexpr qint64 msPerHour = 3600000;

// 9:05:03.250, hours unbounded.
QByteArray duration(qint64 ms)
{
    char text[48];
    const int size = std::snprintf(text, sizeof text, "%lld:%02lld:%02lld.%03lld",
                                   static_cast<long long>(ms / msPerHour), static_cast<long long>(ms / 60000 % 60),
                                   static_cast<long long>(ms / 1000 % 60), static_cast<long long>(ms % 1000));
    return QByteArray(text, size);
}

QByteArray padded(const QByteArray &text, int width, bool right = false)
{
    const QByteArray pad(std::max(0, width - static_cast<int>(text.size())), ' ');
    return right ? pad + text : text + pad;
}

QByteArray percent(qint64 part, qint64 whole)
{
    char text[32];
    const int size = std::snprintf(text, sizeof text, "%.3f%%", whole ? 100.0 * part / whole : 0.0);
    return QByteArray(text, size);
}

// Under a line with its date: "  HH:MM:SS.mmm to HH:MM:SS.mmm  seconds s  "; an end on a
// later date is given whole.
QByteArray spanRow(qint64 startMs, qint64 endMs, qint64 lengthMs = -1)
{
    const QByteArray start = utcStamp(startMs);
    const QByteArray end = utcStamp(endMs);
    const QByteArray shownEnd = end.left(10) == start.left(10) ? end.mid(11, 12) : end.left(10) + ' ' + end.mid(11, 12);
    return "  " + start.mid(11, 12) + " to " + padded(shownEnd, 12) + "  " +
           padded(seconds(lengthMs >= 0 ? lengthMs : endMs - startMs), 10, true) + " s  ";
}

// "  HH:MM:SS.mmm to HH:MM:SS.mmm  seconds s  cycles  kinds", "(approximate)" after a bound
// on a late stamp.
QByteArray outageRow(const Outage &outage)
{
    return spanRow(outage.startMs, outage.endMs, outage.length()) + padded(QByteArray::number(outage.cycles), 6, true) +
           "  " + outage.kinds() + (outage.approximate ? " (approximate)" : "") + '\n';
}

struct DatedRow {
    qint64 ms;
    QByteArray text;
};

// The rows, in their order, each day's under a line with its date.
QByteArray underTheirDates(const QList<DatedRow> &rows)
{
    QByteArray text;
    QByteArray date;
    for (const DatedRow &row : rows) {
        const QByteArray day = utcStamp(row.ms).left(10);
        if (day != date)
            text += day + '\n';
        date = day;
        text += row.text;
    }
    return text;
}

QByteArray bounds(qint64 fromMs, qint64 toMs)
{
    return "  from " + utcStamp(fromMs) + "\n  to   " + utcStamp(toMs) + '\n';
}

}  // namespace

QByteArray seconds(qint64 ms)
{
    char text[32];
    const int size = std::snprintf(text, sizeof text, "%lld.%03lld", static_cast<long long>(ms / 1000),
                                   static_cast<long long>(ms % 1000));
    return QByteArray(text, size);
}

QByteArray Outage::kinds() const
{
    if (errors && failures)
        return "error,no-connection";
    return errors ? "error" : "no-connection";
}

namespace {

// A run's cycles on the watch's own clock: where each ends by the sum of cycle_ms, where
// the wall clock stepped, and which stamps are late.
struct Timeline {
    QVector<qint64> monoEndMs;  // since the run's start
    QVector<bool> stepBefore;   // the wall clock stepped between this cycle and the one before
    QVector<int> lateGroup;     // for a cycle stamped late, the index of its group's first; else -1
    QList<ClockStep> steps;
    QList<LateStamps> late;
};

Timeline timelineOf(const Run &run)
{
    const QVector<LoggedCycle> &cycles = run.cycles;
    Timeline timeline;
    timeline.monoEndMs.resize(cycles.size());
    timeline.stepBefore.fill(false, cycles.size());
    timeline.lateGroup.fill(-1, cycles.size());
    qint64 mono = 0;
    for (int i = 0; i < cycles.size(); ++i) {
        mono += cycles[i].cycleMs;
        timeline.monoEndMs[i] = mono;
        if (i == 0)
            continue;
        const qint64 drift = cycles[i].ms - cycles[i - 1].ms - cycles[i].cycleMs;
        if (qAbs(drift) > maxClockDriftMs) {
            timeline.stepBefore[i] = true;
            timeline.steps.append({cycles[i].ms, drift});
        }
    }
    // A group: a cycle that ended a long wait, and those read with it (cycle_ms 0, its stamp).
    for (int first = 0; first < cycles.size();) {
        int last = first;
        while (last + 1 < cycles.size() && cycles[last + 1].cycleMs == 0 && cycles[last + 1].ms == cycles[first].ms)
            ++last;
        if (last > first && cycles[first].cycleMs > maxClockDriftMs) {
            for (int i = first; i <= last; ++i)
                timeline.lateGroup[i] = first;
            timeline.late.append({cycles[first].ms, last - first + 1, cycles[first].cycleMs});
        }
        first = last + 1;
    }
    return timeline;
}

}  // namespace

QList<Outage> outagesOf(const Run &run, const Window &window)
{
    const QVector<LoggedCycle> &cycles = run.cycles;
    const Timeline timeline = timelineOf(run);
    // The earliest a cycle can have ended: its stamp, or for one stamped late, the stamp
    // before its group.
    const auto earliestEndMs = [&](int i) {
        const int group = timeline.lateGroup[i];
        if (group < 0)
            return cycles[i].ms;
        return group > 0 ? cycles[group - 1].ms : run.startMs;
    };
    const auto steppedWithin = [&](int after, int upTo) {
        for (int i = std::max(after + 1, 1); i <= upTo; ++i)
            if (timeline.stepBefore[i])
                return true;
        return false;
    };
    QList<Outage> all;
    int lastGood = -1;  // -1: the run's start
    bool open = false;
    for (int i = 0; i < cycles.size(); ++i) {
        const LoggedCycle &cycle = cycles[i];
        if (cycle.state == CycleState::Ok) {
            if (open) {
                // The good cycle began when the outage ended: its stamp less its cycle_ms.
                Outage &outage = all.last();
                outage.endMs = std::max(outage.startMs, cycle.ms - cycle.cycleMs);
                outage.approximate = outage.approximate || timeline.lateGroup[i] >= 0;
                if (timeline.lateGroup[i] >= 0)
                    outage.endMs = std::max(outage.startMs, cycle.ms);  // as late as it can have been
                if (steppedWithin(lastGood, i))
                    outage.lengthMs =
                        timeline.monoEndMs[i] - cycle.cycleMs - (lastGood < 0 ? 0 : timeline.monoEndMs[lastGood]);
                open = false;
            }
            lastGood = i;
            continue;
        }
        if (!open) {
            const qint64 startMs = lastGood < 0 ? run.startMs : earliestEndMs(lastGood);
            Outage outage;
            outage.startMs = outage.endMs = startMs;
            outage.approximate = lastGood >= 0 && timeline.lateGroup[lastGood] >= 0;
            all.append(outage);
            open = true;
        }
        Outage &outage = all.last();
        outage.cycles += window.holds(cycle.ms) ? 1 : 0;
        (cycle.state == CycleState::Error ? outage.errors : outage.failures) = true;
    }
    if (open) {
        Outage &outage = all.last();
        outage.endMs = std::max(outage.startMs, run.endMs());
        const int last = static_cast<int>(cycles.size()) - 1;
        if (steppedWithin(lastGood, last))
            outage.lengthMs = timeline.monoEndMs[last] - (lastGood < 0 ? 0 : timeline.monoEndMs[lastGood]) +
                              std::max<qint64>(0, run.endMs() - cycles[last].ms);
    }

    QList<Outage> within;
    for (Outage outage : all) {
        const bool overlaps = outage.startMs < window.untilMs && outage.endMs > window.sinceMs;
        if (!overlaps && outage.cycles == 0)
            continue;
        const bool cut = outage.startMs < window.sinceMs || outage.endMs > window.untilMs;
        outage.startMs = std::max(outage.startMs, window.sinceMs);
        outage.endMs = std::max(outage.startMs, std::min(outage.endMs, window.untilMs));
        if (cut)
            outage.lengthMs = -1;  // what the window holds of it, by its bounds
        within.append(outage);
    }
    return within;
}

QMap<qint64, Counts> countsPer(qint64 intervalMs, const QList<Run> &runs, const Window &window)
{
    QMap<qint64, Counts> intervals;
    for (const Run &run : runs)
        for (const LoggedCycle &cycle : run.cycles) {
            if (!window.holds(cycle.ms))
                continue;
            Counts &counts = intervals[cycle.ms - cycle.ms % intervalMs];
            ++counts.cycles;
            counts.errors += cycle.state == CycleState::Error;
            counts.failures += cycle.state == CycleState::NoConnection;
        }
    return intervals;
}

namespace {

// The spans between runs, and those of cycles that were lost, cut to the window.
QList<Unwatched> unwatchedOf(const QList<Run> &runs, const Window &window)
{
    QList<Unwatched> spans;
    for (int i = 0; i < runs.size(); ++i) {
        const Run &run = runs[i];
        for (const LostSpan &lost : run.lost)
            spans.append({lost.fromMs, lost.toMs,
                          QByteArray::number(lost.cycles) + (lost.cycles == 1 ? " cycle" : " cycles") +
                              " not written: " + lost.why});
        if (i + 1 < runs.size() && runs[i + 1].startMs > run.endMs())
            spans.append({run.endMs(), runs[i + 1].startMs,
                          run.stopMs >= 0 ? QByteArray("no watch ran")
                                          : QByteArray("the run before has no stop line: the watch was killed, or "
                                                       "the machine stopped")});
    }
    QList<Unwatched> within;
    for (Unwatched span : spans) {
        span.startMs = std::max(span.startMs, window.sinceMs);
        span.endMs = std::min(span.endMs, window.untilMs);
        if (span.endMs > span.startMs)
            within.append(span);
    }
    std::stable_sort(within.begin(), within.end(),
                     [](const Unwatched &a, const Unwatched &b) { return a.startMs < b.startMs; });
    return within;
}

}  // namespace

Summary summarize(const QList<Run> &runs, const Window &window, qint64 minOutageMs)
{
    Summary summary;
    summary.minOutageMs = minOutageMs;
    bool any = false;
    for (const Run &run : runs) {
        const qint64 startMs = std::max(run.startMs, window.sinceMs);
        const qint64 endMs = std::min(run.endMs(), window.untilMs);
        const bool hasCycles = std::any_of(run.cycles.begin(), run.cycles.end(),
                                           [&](const LoggedCycle &cycle) { return window.holds(cycle.ms); });
        if (endMs <= startMs && !hasCycles)
            continue;
        ++summary.runs;
        const Timeline timeline = timelineOf(run);
        const bool whole = startMs == run.startMs && endMs == run.endMs();
        if (!timeline.steps.isEmpty() && whole && !run.cycles.isEmpty())  // by the watch's own clock
            summary.watchedMs += timeline.monoEndMs.last() + std::max<qint64>(0, run.endMs() - run.cycles.last().ms);
        else
            summary.watchedMs += std::max<qint64>(0, endMs - startMs);
        for (const ClockStep &step : timeline.steps)
            if (window.holds(step.atMs))
                summary.steps.append(step);
        for (const LateStamps &late : timeline.late)
            if (window.holds(late.atMs))
                summary.late.append(late);
        for (const LostSpan &lost : run.lost)  // not watched, as far as the log can tell
            summary.watchedMs -= std::max<qint64>(0, std::min(lost.toMs, endMs) - std::max(lost.fromMs, startMs));
        summary.firstMs = any ? std::min(summary.firstMs, startMs) : startMs;
        summary.lastMs = any ? std::max(summary.lastMs, endMs) : endMs;
        any = true;
        for (const Outage &outage : outagesOf(run, window))
            if (outage.length() >= minOutageMs)
                summary.outages.append(outage);
    }
    summary.unwatched = unwatchedOf(runs, window);
    if (!runs.isEmpty() && runs.last().stopMs < 0 && !runs.last().cycles.isEmpty() && window.holds(runs.last().endMs()))
        summary.unstoppedMs = runs.last().endMs();
    summary.hours = countsPer(msPerHour, runs, window);
    for (const Counts &hour : summary.hours) {
        summary.counts.cycles += hour.cycles;
        summary.counts.errors += hour.errors;
        summary.counts.failures += hour.failures;
    }
    return summary;
}

QByteArray outageLines(const Summary &summary)
{
    QByteArray lines;
    for (const Outage &outage : summary.outages)
        lines += utcStamp(outage.startMs) + '\t' + utcStamp(outage.endMs) + '\t' + seconds(outage.length()) + '\t' +
                 QByteArray::number(outage.cycles) + '\t' + outage.kinds() + '\n';
    return lines;
}

QByteArray unwatchedLines(const Summary &summary)
{
    QByteArray lines;
    for (const Unwatched &span : summary.unwatched)
        lines += utcStamp(span.startMs) + '\t' + utcStamp(span.endMs) + '\t' + seconds(span.endMs - span.startMs) +
                 '\t' + span.reason + '\n';
    return lines;
}

QByteArray reportText(const Summary &summary)
{
    if (summary.runs == 0)
        return "No cycles in the logs read.\n";
    const Counts &counts = summary.counts;
    const qint64 good = counts.cycles - counts.errors - counts.failures;
    QByteArray text;
    text += "Watched " + duration(summary.watchedMs) + " in " + QByteArray::number(summary.runs) +
            (summary.runs == 1 ? " run" : " runs") + " (UTC)\n" + bounds(summary.firstMs, summary.lastMs) + '\n';
    text += "cycles              " + padded(QByteArray::number(counts.cycles), 10, true) + '\n';
    text += "good                " + padded(QByteArray::number(good), 10, true) + "  (" + percent(good, counts.cycles) +
            ")\n";
    text += "bad replies         " + padded(QByteArray::number(counts.errors), 10, true) + '\n';
    text += "failed connections  " + padded(QByteArray::number(counts.failures), 10, true) + '\n';

    const auto longest = std::max_element(summary.outages.begin(), summary.outages.end(),
                                          [](const Outage &a, const Outage &b) { return a.length() < b.length(); });
    const QByteArray atLeast =
        summary.minOutageMs > 0 ? " of " + seconds(summary.minOutageMs) + " s or longer" : QByteArray();
    if (longest == summary.outages.end()) {
        text += "\nNo outages" + atLeast + ".\n";
    } else {
        text += "\nLongest outage  " + seconds(longest->length()) + " s, " + QByteArray::number(longest->cycles) +
                (longest->cycles == 1 ? " cycle, " : " cycles, ") + longest->kinds() + '\n' +
                bounds(longest->startMs, longest->endMs);
        text += "\nOutages" + atLeast + ": " + QByteArray::number(summary.outages.size()) + '\n';
        QList<DatedRow> rows;
        for (const Outage &outage : summary.outages)
            rows.append({outage.startMs, outageRow(outage)});
        text += underTheirDates(rows);
    }

    if (!summary.unwatched.isEmpty()) {
        text += "\nUnwatched: " + QByteArray::number(summary.unwatched.size()) + '\n';
        QList<DatedRow> rows;
        for (const Unwatched &span : summary.unwatched)
            rows.append({span.startMs, spanRow(span.startMs, span.endMs) + span.reason + '\n'});
        text += underTheirDates(rows);
    }
    if (!summary.steps.isEmpty()) {
        text += "\nClock steps: " + QByteArray::number(summary.steps.size()) +
                "; the outages across them are as long as cycle_ms says\n";
        for (const ClockStep &step : summary.steps)
            text += "  before " + utcStamp(step.atMs) + ", the wall clock went " +
                    (step.byMs < 0 ? "back " : "forward ") + seconds(qAbs(step.byMs)) + " s\n";
    }
    if (!summary.late.isEmpty()) {
        text += "\nStamped late: the watch was held up, then read these cycles together;\n"
                "the outage bounds next to them are approximate\n";
        for (const LateStamps &late : summary.late)
            text += "  " + utcStamp(late.atMs) + "  " + QByteArray::number(late.cycles) + " cycles, held up to " +
                    seconds(late.heldMs) + " s\n";
    }
    if (summary.unstoppedMs >= 0)
        text += "\nThe last run has no stop line after " + utcStamp(summary.unstoppedMs) +
                ":\n  the watch was killed, or the machine stopped.\n";

    text += "\nPer hour (UTC)   cycles  bad replies  failed connections\n";
    for (auto hour = summary.hours.cbegin(); hour != summary.hours.cend(); ++hour)
        text += utcStamp(hour.key()).left(13) + ":00  " + padded(QByteArray::number(hour->cycles), 7, true) + "  " +
                padded(QByteArray::number(hour->errors), 11, true) + "  " +
                padded(QByteArray::number(hour->failures), 18, true) + '\n';
    return text;
}

QByteArray reportOf(const QList<Run> &runs, const Window &window, qint64 minOutageMs, Listing listing)
{
    QMap<QByteArray, QList<Run>> byDevice;
    for (const Run &run : runs)
        byDevice[run.device].append(run);
    const auto text = [&](const QList<Run> &of) {
        const Summary summary = summarize(of, window, minOutageMs);
        switch (listing) {
        case Listing::Outages:
            return outageLines(summary);
        case Listing::Unwatched:
            return unwatchedLines(summary);
        case Listing::Report:
            break;
        }
        return reportText(summary);
    };
    if (byDevice.size() <= 1)
        return text(runs);
    QByteArray all;
    for (auto device = byDevice.cbegin(); device != byDevice.cend(); ++device) {
        const QByteArray name = device.key().isEmpty() ? QByteArray("(not named)") : device.key();
        const QByteArray part = text(device.value());
        if (listing == Listing::Report) {
            all += (all.isEmpty() ? "" : "\n") + QByteArray("Device ") + name + "\n\n" + part;
            continue;
        }
        for (const QByteArray &line : part.split('\n'))
            if (!line.isEmpty())
                all += name + '\t' + line + '\n';
    }
    return all;
}

}  // namespace watchlog
