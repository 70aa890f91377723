// The watch's numbers as Prometheus scrapes them: the text format 0.0.4, or OpenMetrics
// 1.0 when the scraper asks for it. Knows the series and their formats, nothing of
// processes or sockets.
#pragma once

#include "client/cycle.h"
#include "fleet/targets.h"

#include <QByteArray>
#include <QList>
#include <QVector>

namespace metrics {

enum class Format { Text, OpenMetrics };

// The format an Accept header asks for.
Format formatFor(const QByteArray &accept);
QByteArray contentType(Format format);

// The default upper bounds of the cycle-time buckets, in seconds: 1 ms to 30 s.
QVector<double> defaultBuckets();
// "0.01,0.1,1": ascending, positive, at most 64 of them. False with WHY.
bool parseBuckets(const QByteArray &text, QVector<double> *bounds, QByteArray *why);
// BOUNDS with SECONDS among them, in order.
QVector<double> withBound(QVector<double> bounds, double seconds);

// Observations counted against fixed upper bounds, each counted once, in the first bucket
// that holds it; the exposition makes them cumulative.
class Histogram {
public:
    explicit Histogram(QVector<double> bounds = defaultBuckets());
    void observe(qint64 ms);
    const QVector<double> &bounds() const { return bounds_; }
    // One per bound, then the one past the last (+Inf).
    const QVector<quint64> &counts() const { return counts_; }
    qint64 sumMs() const { return sumMs_; }
    quint64 count() const { return count_; }

private:
    QVector<double> bounds_;
    QVector<quint64> counts_;
    qint64 sumMs_ = 0;
    quint64 count_ = 0;
};

// What the watch knows of one device.
struct Device {
    explicit Device(QVector<double> bounds = defaultBuckets()) : cycleSeconds(std::move(bounds)) {}

    QByteArray address;
    Labels labels;
    quint64 cycles[cycleStateCount] = {};  // by CycleState
    Histogram cycleSeconds;
    bool up = false;
    qint64 lastOkMs = -1;  // -1: none yet
    quint64 outages = 0;
    quint64 restarts = 0;
    quint64 lostCycles = 0;

    // Counts a cycle that ended at NOWMS, and the outage it begins.
    void count(CycleState state, qint64 cycleMs, qint64 nowMs);
};

struct Watch {
    QByteArray version;
    qint64 startMs = 0;
};

QByteArray exposition(const Watch &watch, const QList<const Device *> &devices, Format format);

// A label value as the formats write it: '\', '"' and line feed escaped.
QByteArray escaped(const QByteArray &value);
// A number as the formats write it: the shortest text that reads back the same.
QByteArray number(double value);

}  // namespace metrics
