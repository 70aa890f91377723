// Reads a device's log back, line by line, into the tally of each run it holds.
#pragma once

#include "log/format.h"
#include "report/tally.h"

#include <QByteArray>
#include <QList>
#include <QMap>
#include <QPair>

namespace watchlog {

// Where each cycle read within the window goes besides its run's tally.
class CycleSink {
public:
    virtual ~CycleSink() = default;
    virtual void take(const LoggedCycle &cycle) = 0;
};

// Reads logs line by line and tallies each run as its lines arrive, so that memory grows
// with the runs and their outages, not with the cycles. The lines of one run may be
// spread over several files (a rotated log); they must come in the order written, which
// LogSet sees to. A run is known by its start and its device: a fleet's watches may start
// at once.
class Reader {
public:
    explicit Reader(const Window &window = Window(), CycleSink *sink = nullptr);
    // Lines before a file's first start line are a run of their own.
    void startFile();
    // False when the line says the file is in a format newer than logFormat, which the
    // reader then cannot read; why() says so.
    bool readLine(const char *line, int size);
    bool readLine(const QByteArray &line) { return readLine(line.constData(), static_cast<int>(line.size())); }
    const QByteArray &why() const { return why_; }
    // The runs, in order of their start; ends the reading.
    QList<Run> runs();
    qint64 unreadableLines() const { return unreadable_; }

private:
    using RunKey = QPair<qint64, QByteArray>;
    struct Tracked {
        explicit Tracked(const Window &window = Window()) : tally(window) {}
        RunTally tally;
        bool started = false;  // its start line was read
        // Its cycles so far are all before the window; the stamp of the last, unparsed.
        bool beforeWindow = true;
        char lastPassedStamp[stampBytes] = {};
        bool passedAny = false;
    };

    bool readComment(const QByteArray &line);
    bool parseCycle(const char *line, int size, LoggedCycle *cycle);
    bool parseStamp(const char *text, qint64 *ms);
    Tracked &track(const RunKey &key);

    bool passBeforeWindow(const char *line, int size);

    Window window_;
    QByteArray sinceStamp_;  // the window's start as the log writes it; empty: no start
    CycleSink *sink_;
    QMap<RunKey, Tracked> runs_;
    Tracked *current_ = nullptr;  // the run the file's last start line named
    qint64 unreadable_ = 0;
    QByteArray why_;
    // The last stamp's date, hour and minute, and their time: a month's stamps share them
    // hundreds at a time.
    char minute_[17] = {};
    qint64 minuteMs_ = -1;
};

}  // namespace watchlog
