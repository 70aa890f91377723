// The log: tab-separated, one line per cycle, in fixed columns, with comment lines where
// a run starts, continues in a new file, or stops. Times are UTC to the millisecond.
#pragma once

#include "cycle_reader.h"

#include <QByteArray>
#include <QList>
#include <QMap>
#include <QPair>
#include <QVector>

namespace watchlog {

// The longest realTime text a line keeps; a longer one is cut at a character's start.
constexpr int maxRealTimeBytes = 256;

extern const QByteArray header;  // the column names, with the line feed

QByteArray utcStamp(qint64 msSinceEpoch);  // 2026-12-08T21:00:00.000Z
bool parseUtcStamp(const QByteArray &text, qint64 *msSinceEpoch);
// A time given on the command line: a date, a date and time to the minute, second or
// millisecond, with "T" or a blank between them, perhaps ending in "Z"; always UTC.
bool parseTimeArgument(const QByteArray &text, qint64 *msSinceEpoch);

enum class RunMark { Started, Continued };
QByteArray runLine(const QByteArray &version, RunMark mark, qint64 startMs, const QByteArray &command);
QByteArray cycleLine(qint64 ms, qint64 cycleMs, const Cycle &cycle);
QByteArray stoppedLine(qint64 ms, const QByteArray &reason);

struct LoggedCycle {
    qint64 ms = 0;
    CycleState state = CycleState::Ok;
    qint64 cycleMs = 0;
};

// Cycles the watch could not write, as its "# lost" line counts them.
struct LostSpan {
    qint64 fromMs = 0;
    qint64 toMs = 0;
    qint64 cycles = 0;
    QByteArray why;
};
QByteArray lostLine(const LostSpan &lost, const QByteArray &path);

// One run of the command: from its start line to its stop line, or to its last cycle.
// Read without its start line (the file that held it rotated away), it is known from the
// start of its first cycle that was read.
struct Run {
    qint64 startMs = 0;
    qint64 stopMs = -1;  // -1: no stop line was read
    QByteArray device;   // the -i of its command, as its start line names it; empty if none
    QVector<LoggedCycle> cycles;
    QList<LostSpan> lost;

    qint64 endMs() const;
};

// Reads logs line by line, in any order of files; the lines of one run may be spread over
// several files (a rotated log), and are joined by the run's start and device. A file whose
// lines of a run are those of a file read before (the same file twice, or a copy) is
// read once, with a warning.
class Reader {
public:
    void startFile(const QByteArray &name = QByteArray());
    void readLine(const QByteArray &line);
    // The runs, in order of their start, each with its cycles in order of time.
    QList<Run> runs();
    qint64 unreadableLines() const { return unreadable_; }
    // What was read once though given twice, a line each.
    const QList<QByteArray> &warnings() const { return warnings_; }

private:
    // What one file holds of one run.
    struct Part {
        QVector<LoggedCycle> cycles;  // until it is joined to its run
        QList<LostSpan> lost;
        qint64 count = 0;  // of its cycles
        qint64 stopMs = -1;
        QByteArray device;
        bool started = false;  // it holds the run's start line
        quint64 fingerprint = 0;

        bool sameAs(const Part &other) const
        {
            return fingerprint == other.fingerprint && count == other.count && stopMs == other.stopMs;
        }
    };
    struct Known {
        Run run;
        bool started = false;
        QList<QPair<QByteArray, Part>> parts;  // by file, their cycles joined to the run
        QList<QVector<LoggedCycle>> segments;  // each file's cycles, in the order written
    };

    // A run is known by its start and its device: a fleet's watches may start at once.
    using RunKey = QPair<qint64, QByteArray>;

    void endFile();
    Part &part() { return file_[current_]; }

    QMap<RunKey, Known> runs_;
    QMap<RunKey, Part> file_;  // the file being read, by run
    QByteArray fileName_;
    RunKey current_;
    bool inRun_ = false;
    qint64 unreadable_ = 0;
    QList<QByteArray> warnings_;
};

// Reads a log file, plain or compressed by gzip (as logrotate leaves it), into READER;
// false, with the reason, when it cannot be read.
bool readLogFile(const QByteArray &path, Reader *reader, QByteArray *error);

}  // namespace watchlog
