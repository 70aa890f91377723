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
QByteArray spanRow(qint64 startMs, qint64 endMs)
{
    const QByteArray start = utcStamp(startMs);
    const QByteArray end = utcStamp(endMs);
    const QByteArray shownEnd = end.left(10) == start.left(10) ? end.mid(11, 12) : end.left(10) + ' ' + end.mid(11, 12);
    return "  " + start.mid(11, 12) + " to " + padded(shownEnd, 12) + "  " +
           padded(seconds(endMs - startMs), 10, true) + " s  ";
}

// "  HH:MM:SS.mmm to HH:MM:SS.mmm  seconds s  cycles  kinds"
QByteArray outageRow(const Outage &outage)
{
    return spanRow(outage.startMs, outage.endMs) + padded(QByteArray::number(outage.cycles), 6, true) + "  " +
           outage.kinds() + '\n';
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

QList<Outage> outagesOf(const Run &run, const Window &window)
{
    QList<Outage> all;
    qint64 lastGoodMs = run.startMs;
    bool open = false;
    for (const LoggedCycle &cycle : run.cycles) {
        if (cycle.state == CycleState::Ok) {
            if (open) {
                // The good cycle began when the outage ended: its stamp is its end.
                all.last().endMs = std::max(all.last().startMs, cycle.ms - cycle.cycleMs);
                open = false;
            }
            lastGoodMs = cycle.ms;
            continue;
        }
        if (!open) {
            all.append(Outage{lastGoodMs, lastGoodMs, 0, false, false});
            open = true;
        }
        Outage &outage = all.last();
        outage.cycles += window.holds(cycle.ms) ? 1 : 0;
        (cycle.state == CycleState::Error ? outage.errors : outage.failures) = true;
    }
    if (open)
        all.last().endMs = std::max(all.last().startMs, run.endMs());

    QList<Outage> within;
    for (Outage outage : all) {
        const bool overlaps = outage.startMs < window.untilMs && outage.endMs > window.sinceMs;
        if (!overlaps && outage.cycles == 0)
            continue;
        outage.startMs = std::max(outage.startMs, window.sinceMs);
        outage.endMs = std::max(outage.startMs, std::min(outage.endMs, window.untilMs));
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
        summary.watchedMs += std::max<qint64>(0, endMs - startMs);
        for (const LostSpan &lost : run.lost)  // not watched, as far as the log can tell
            summary.watchedMs -= std::max<qint64>(0, std::min(lost.toMs, endMs) - std::max(lost.fromMs, startMs));
        summary.firstMs = any ? std::min(summary.firstMs, startMs) : startMs;
        summary.lastMs = any ? std::max(summary.lastMs, endMs) : endMs;
        any = true;
        for (const Outage &outage : outagesOf(run, window))
            if (outage.endMs - outage.startMs >= minOutageMs)
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
        lines += utcStamp(outage.startMs) + '\t' + utcStamp(outage.endMs) + '\t' +
                 seconds(outage.endMs - outage.startMs) + '\t' + QByteArray::number(outage.cycles) + '\t' +
                 outage.kinds() + '\n';
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

    const auto longest =
        std::max_element(summary.outages.begin(), summary.outages.end(),
                         [](const Outage &a, const Outage &b) { return a.endMs - a.startMs < b.endMs - b.startMs; });
    const QByteArray atLeast =
        summary.minOutageMs > 0 ? " of " + seconds(summary.minOutageMs) + " s or longer" : QByteArray();
    if (longest == summary.outages.end()) {
        text += "\nNo outages" + atLeast + ".\n";
    } else {
        text += "\nLongest outage  " + seconds(longest->endMs - longest->startMs) + " s, " +
                QByteArray::number(longest->cycles) + (longest->cycles == 1 ? " cycle, " : " cycles, ") +
                longest->kinds() + '\n' + bounds(longest->startMs, longest->endMs);
        text += "\nOutages" + atLeast + ": " + QByteArray::number(summary.outages.size()) + '\n';
        QByteArray date;
        for (const Outage &outage : summary.outages) {
            const QByteArray day = utcStamp(outage.startMs).left(10);
            if (day != date)
                text += day + '\n';
            date = day;
            text += outageRow(outage);
        }
    }

    if (!summary.unwatched.isEmpty()) {
        text += "\nUnwatched: " + QByteArray::number(summary.unwatched.size()) + '\n';
        QByteArray date;
        for (const Unwatched &span : summary.unwatched) {
            const QByteArray day = utcStamp(span.startMs).left(10);
            if (day != date)
                text += day + '\n';
            date = day;
            text += spanRow(span.startMs, span.endMs) + span.reason + '\n';
        }
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
