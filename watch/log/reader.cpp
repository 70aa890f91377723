#include "log/reader.h"

#include <algorithm>
#include <cstring>

namespace watchlog {

Reader::Reader(const Window &window, CycleSink *sink)
    : window_(window),
      sinceStamp_(window.sinceMs >= 0 && window.sinceMs < year10000Ms ? utcStamp(window.sinceMs) : QByteArray()),
      sink_(sink)
{
}

void Reader::startFile()
{
    current_ = nullptr;
}

Reader::Tracked &Reader::track(const RunKey &key)
{
    auto found = runs_.find(key);
    if (found == runs_.end()) {
        found = runs_.insert(key, Tracked(window_));
        found->tally.run().startMs = key.first;
        found->tally.run().device = key.second;
    }
    return *found;
}

bool Reader::readLine(const char *line, int size)
{
    if (size == 0)
        return true;
    if (line[0] == '#')
        return readComment(QByteArray(line, size));
    if (passBeforeWindow(line, size))
        return true;
    LoggedCycle cycle;
    if (!parseCycle(line, size, &cycle)) {
        static const QByteArray names = header.mid(header.indexOf('\n') + 1);
        if (size + 1 != names.size() || std::memcmp(line, names.constData(), static_cast<std::size_t>(size)) != 0)
            ++unreadable_;
        return true;
    }
    if (!current_) {
        // Lines with no start line above them in their file: a run of their own, from them.
        current_ = &track({cycle.ms, QByteArray()});
        current_->started = true;
    }
    if (current_->passedAny) {
        qint64 passedMs = 0;
        if (parseStamp(current_->lastPassedStamp, &passedMs))
            current_->tally.setPreviousMs(passedMs);
        current_->passedAny = false;
    }
    current_->beforeWindow = false;
    Run &run = current_->tally.run();
    if (!current_->started && run.cycles == 0)  // watched from the start of its first cycle read
        run.startMs = std::max(run.startMs, cycle.ms - cycle.cycleMs);
    current_->tally.add(cycle);
    if (sink_ && window_.holds(cycle.ms))
        sink_->take(cycle);
    return true;
}

bool Reader::readComment(const QByteArray &line)
{
    if (line.startsWith(formatLineStart)) {
        bool ok = false;
        const int format = line.mid(formatLineStart.size()).toInt(&ok);
        if (ok && format > logFormat) {
            why_ = "its log format " + QByteArray::number(format) + " is newer than format " +
                   QByteArray::number(logFormat) + ", which this testVRN730-watch reads; read it with a newer one";
            return false;
        }
        unreadable_ += ok && format >= 1 ? 0 : 1;
        return true;
    }
    if (line.startsWith(runLineStart)) {
        RunStart start;
        if (!parseRunLine(line, &start)) {
            ++unreadable_;
            return true;
        }
        current_ = &track({start.startMs, start.device});
        if (start.mark == RunMark::Started && !current_->started) {
            current_->started = true;
            current_->tally.run().startMs = start.startMs;
        }
        return true;
    }
    if (line.startsWith(stoppedLineStart)) {
        qint64 stopMs = 0;
        if (!current_ || !parseStoppedLine(line, &stopMs)) {
            ++unreadable_;
            return true;
        }
        current_->tally.run().stopMs = stopMs;
        return true;
    }
    if (line.startsWith(lostLineStart)) {
        LostSpan lost;
        if (!current_ || !parseLostLine(line, &lost)) {
            ++unreadable_;
            return true;
        }
        current_->tally.run().lost.append(lost);
    }
    return true;
}

// The lines of a run before the window's start, up to its first within it, are known by
// their stamp's text and their state's first letter, and not parsed: a month read from
// its last day on reads only that day.
bool Reader::passBeforeWindow(const char *line, int size)
{
    if (sinceStamp_.isEmpty() || !current_ || !current_->beforeWindow || size < stampBytes + 2 ||
        line[stampBytes] != '\t' || std::memcmp(line, sinceStamp_.constData(), stampBytes) >= 0)
        return false;
    const char *state = line + stampBytes + 1;
    const auto *stateEnd =
        static_cast<const char *>(std::memchr(state, '\t', static_cast<std::size_t>(line + size - state)));
    CycleState passed;
    if (!stateEnd || !stateOfLogWord(state, static_cast<int>(stateEnd - state), &passed))
        return false;
    current_->tally.pass(passed);
    std::memcpy(current_->lastPassedStamp, line, stampBytes);
    current_->passedAny = true;
    return true;
}

// The log's own stamp, stampBytes long; the date, hour and minute are parsed once a minute.
bool Reader::parseStamp(const char *text, qint64 *ms)
{
    if (minuteMs_ >= 0 && std::memcmp(text, minute_, sizeof minute_) == 0) {
        const auto digit = [&](int at) { return static_cast<unsigned>(text[at] - '0'); };
        if (digit(17) > 5 || digit(18) > 9 || text[19] != '.' || digit(20) > 9 || digit(21) > 9 || digit(22) > 9 ||
            text[23] != 'Z')
            return false;
        *ms = minuteMs_ + (digit(17) * 10 + digit(18)) * 1000 + digit(20) * 100 + digit(21) * 10 + digit(22);
        return true;
    }
    if (!parseUtcStamp(QByteArray::fromRawData(text, stampBytes), ms))
        return false;
    std::memcpy(minute_, text, sizeof minute_);
    minuteMs_ = *ms - *ms % 60000;
    return true;
}

// "STAMP\tSTATE\tCYCLE_MS\tloops\tbytes\topen\tclose\trealTime": the first three are
// read, the others only counted.
bool Reader::parseCycle(const char *line, int size, LoggedCycle *cycle)
{
    if (size < stampBytes + 1 || line[stampBytes] != '\t' || !parseStamp(line, &cycle->ms))
        return false;
    const char *at = line + stampBytes + 1;
    const char *const end = line + size;
    // The field at AT, to the next tab or the line's end; AT then past that tab.
    const auto field = [&](const char **fieldEnd) {
        const char *start = at;
        const char *tab = static_cast<const char *>(std::memchr(at, '\t', static_cast<std::size_t>(end - at)));
        *fieldEnd = tab ? tab : end;
        at = tab ? tab + 1 : end + 1;
        return start;
    };
    const char *stateEnd;
    const char *state = field(&stateEnd);
    if (!stateOfLogWord(state, static_cast<int>(stateEnd - state), &cycle->state))
        return false;
    const char *cycleMsEnd;
    const char *cycleMs = field(&cycleMsEnd);
    if (cycleMs == cycleMsEnd || cycleMsEnd - cycleMs > 15)
        return false;
    cycle->cycleMs = 0;
    for (const char *digit = cycleMs; digit < cycleMsEnd; ++digit) {
        if (*digit < '0' || *digit > '9')
            return false;
        cycle->cycleMs = cycle->cycleMs * 10 + (*digit - '0');
    }
    // After cycle_ms's tab, a field begins, and another after each tab left.
    int fields = 3;
    if (at <= end) {
        ++fields;
        for (const char *tab = at;
             (tab = static_cast<const char *>(std::memchr(tab, '\t', static_cast<std::size_t>(end - tab)))); ++tab)
            ++fields;
    }
    return fields == columnCount;
}

QList<Run> Reader::runs()
{
    QList<Run> runs;
    for (Tracked &tracked : runs_) {
        tracked.tally.finish();
        Run run = tracked.tally.run();
        if (!tracked.started && run.cycles == 0) {
            if (run.stopMs < 0)
                continue;
            run.startMs = run.stopMs;
        }
        runs.append(run);
    }
    current_ = nullptr;
    return runs;
}

}  // namespace watchlog
