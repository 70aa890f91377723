// The log: tab-separated, one line per cycle, in fixed columns, with comment lines where
// a run starts, continues in a new file, or stops. Times are UTC to the millisecond.
#pragma once

#include "tally.h"

#include <QByteArray>
#include <QList>
#include <QMap>
#include <QPair>
#include <QTemporaryFile>

#include <memory>
#include <vector>

namespace watchlog {

// The longest realTime text a line keeps; a longer one is cut at a character's start.
constexpr int maxRealTimeBytes = 256;

// The format of the lines below a start line. A reader takes every format up to its own
// and refuses a newer one; a run without a format line, as the first watches wrote
// them, is format 1.
constexpr int logFormat = 1;

// A cycle line's columns: the format's table, which makes the header, the line and the
// reading of it.
enum class Column { Time, State, CycleMs, Loops, Bytes, Open, Close, RealTime };
struct ColumnName {
    Column column;
    const char *name;
};
constexpr ColumnName columns[] = {{Column::Time, "time"},        {Column::State, "state"},
                                  {Column::CycleMs, "cycle_ms"}, {Column::Loops, "loops"},
                                  {Column::Bytes, "bytes"},      {Column::Open, "open"},
                                  {Column::Close, "close"},      {Column::RealTime, "realTime"}};
constexpr int columnCount = static_cast<int>(sizeof columns / sizeof columns[0]);

// "# log format N" and the column names, each with its line feed: what follows a start line.
extern const QByteArray header;

QByteArray utcStamp(qint64 msSinceEpoch);  // 2026-12-08T21:00:00.000Z
bool parseUtcStamp(const QByteArray &text, qint64 *msSinceEpoch);
// A time given on the command line: a date, a date and time to the minute, second or
// millisecond, with "T" or a blank between them, perhaps ending in "Z"; always UTC.
bool parseTimeArgument(const QByteArray &text, qint64 *msSinceEpoch);

enum class RunMark { Started, Continued };
QByteArray runLine(const QByteArray &version, RunMark mark, qint64 startMs, const QByteArray &command);
QByteArray cycleLine(qint64 ms, qint64 cycleMs, const Cycle &cycle);
QByteArray stoppedLine(qint64 ms, const QByteArray &reason);

QByteArray lostLine(const LostSpan &lost, const QByteArray &path);

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
        char lastPassedStamp[24] = {};
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

// The logs a report reads: plain or compressed by gzip (as logrotate leaves them), given
// in any order, read in the order of their first stamps. A file that holds what another
// holds (the same file twice, or a copy) is read once, with a warning. A log that is no
// regular file (a pipe, say) is copied to a temporary file first, as it is read more than
// once.
class LogSet {
public:
    // False, with a message per file, when a file cannot be read.
    bool open(const QList<QByteArray> &paths, QList<QByteArray> *messages);
    // Reads the files into READER; false, with a message per file, when one cannot be read
    // to its end. Lines that are not the log's are counted per file, in MESSAGES too.
    bool readInto(Reader *reader, QList<QByteArray> *messages) const;
    const QList<QByteArray> &warnings() const { return warnings_; }

private:
    struct File {
        QByteArray path;  // where it is read from
        QByteArray name;  // as given, for messages
        qint64 firstMs = 0;
        QByteArray head;  // its first bytes, uncompressed
        quint64 wholeHash = 0;
        bool hashed = false;
    };
    bool holdsTheSame(File *file, File *other, QList<QByteArray> *messages);
    bool spool(File *file, QList<QByteArray> *messages);

    QList<File> files_;
    QList<QByteArray> warnings_;
    // Logs read from a pipe or a terminal, which cannot be read twice, kept until the end.
    std::vector<std::unique_ptr<QTemporaryFile>> spooled_;
};

}  // namespace watchlog
