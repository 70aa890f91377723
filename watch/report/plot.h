// The logs as a picture, drawn by gnuplot: the share of good cycles per interval, with
// outages as red bands and unwatched time as grey ones, and the cycle's length as a
// median within a band from the 10th to the 90th percentile.
#pragma once

#include "log/log_set.h"
#include "report/report.h"

#include <QString>
#include <QVector>

namespace watchlog {

struct PlotRequest {
    QString output;  // a PNG file; empty: text in the terminal
    int width = 1280;
    int height = 720;
};

// Cycle lengths by a log-linear scale: 32 steps to each doubling, so a percentile read
// from it is within 1.6% of the true one.
class LengthHistogram {
public:
    static constexpr int stepsPerDoubling = 32;
    static constexpr int stepBits = 5;
    static constexpr int buckets = 40 * stepsPerDoubling;

    void add(qint64 ms);
    qint64 count() const { return count_; }
    // The length below which FRACTION of the cycles lie, as the middle of its step.
    double percentile(double fraction) const;

    static int bucketOf(qint64 ms);
    static double middleOf(int bucket);

private:
    QVector<quint32> counts_ = QVector<quint32>(buckets, 0);
    qint64 count_ = 0;
};

// What one interval of the picture holds.
struct Bin {
    Counts counts;
    LengthHistogram lengths;
};

// The intervals of the picture: from FIRST_MS, each INTERVAL_MS long; cycles outside
// them are passed over.
class Bins : public CycleSink {
public:
    Bins(qint64 firstMs, qint64 lastMs, qint64 intervalMs);
    void take(const LoggedCycle &cycle) override;

    qint64 firstMs() const { return firstMs_; }
    qint64 intervalMs() const { return intervalMs_; }
    const QVector<Bin> &bins() const { return bins_; }

private:
    qint64 firstMs_;
    qint64 intervalMs_;
    QVector<Bin> bins_;
};

// Every cycle's length, to a millisecond up to a minute: the typical cycle the intervals
// are whole multiples of.
class CycleLengths : public CycleSink {
public:
    void take(const LoggedCycle &cycle) override;
    qint64 median() const;

private:
    QVector<qint64> counts_ = QVector<qint64>(60001, 0);
    qint64 count_ = 0;
};

// The interval the picture counts in: a whole number of typical cycles, giving at most
// maxBins intervals over the span.
constexpr int maxBins = 200;
qint64 countingIntervalMs(qint64 spanMs, qint64 cycleMs);

// Draws the picture of what LOGS hold within WINDOW, SUMMARY being what they say there and
// CYCLE_MS their typical cycle. Reads the logs again to count per interval. Returns
// gnuplot's exit status, or 1 with a message on stderr when it cannot draw.
int plot(const LogSet &logs, const Summary &summary, qint64 cycleMs, const Window &window, const PlotRequest &request);

}  // namespace watchlog
