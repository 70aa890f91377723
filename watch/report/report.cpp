#include "report/report.h"

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

QList<Outage> outagesOf(const Run &run, const Window &window)
{
    QList<Outage> within;
    for (Outage outage : run.outages) {
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
        if (endMs <= startMs && !run.hasCyclesWithin())
            continue;
        ++summary.runs;
        const bool whole = startMs == run.startMs && endMs == run.endMs();
        if (!run.steps.isEmpty() && whole && run.cycles > 0)  // by the watch's own clock
            summary.watchedMs += run.monoMs + std::max<qint64>(0, run.endMs() - run.lastCycleMs);
        else
            summary.watchedMs += std::max<qint64>(0, endMs - startMs);
        for (const ClockStep &step : run.steps)
            if (window.holds(step.atMs))
                summary.steps.append(step);
        for (const LateStamps &late : run.late)
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
        for (auto hour = run.hours.cbegin(); hour != run.hours.cend(); ++hour)
            summary.hours[hour.key()].add(*hour);
    }
    summary.unwatched = unwatchedOf(runs, window);
    if (!runs.isEmpty() && runs.last().stopMs < 0 && runs.last().cycles > 0 && window.holds(runs.last().endMs()))
        summary.unstoppedMs = runs.last().endMs();
    for (const Counts &hour : summary.hours)
        summary.counts.add(hour);
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
