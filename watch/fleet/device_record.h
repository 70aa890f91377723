// Everything the watch keeps of one device: its log, the cycles read from its client's
// output, and its numbers for the metrics. The supervisor says when a run starts and
// stops and hands over the output; the record writes and counts.
#pragma once

#include "client/cycle_reader.h"
#include "fleet/targets.h"
#include "log/writer.h"
#include "metrics/exposition.h"

#include <QByteArray>
#include <QVector>

class DeviceRecord {
public:
    // NAMED puts the device's address before each of its messages, as a fleet's are.
    DeviceRecord(const Target &target, QByteArray logPath, QByteArray version, QVector<double> buckets, bool named);

    // Opens the log, held against any other watch. False, with a message, when it cannot.
    bool open();
    void setLabels(const Labels &labels) { device_.labels = labels; }

    // A run of COMMAND begins, at WALLMS and MONOMS: its start lines, and those that begin
    // each new file it continues in.
    void started(qint64 wallMs, qint64 monoMs, const QByteArray &command);
    // The client's output; logs the cycles it completes, stamped at WALLMS, and returns
    // how many it completed.
    int take(const QByteArray &bytes, qint64 wallMs, qint64 monoMs);
    // The run ends, for REASON: its stop line. False when the log could not be written.
    bool stopped(qint64 wallMs, const QByteArray &reason);
    void countRestart() { ++device_.restarts; }
    // Bytes of its runs' output that were no cycle.
    qint64 skippedBytes() const { return skipped_ + reader_.skippedBytes(); }
    // "; cannot write to PATH: WHY; N cycles lost", when the log is not being written.
    QByteArray lostNote() const;

    // "TEXT" on standard error, after the device's address when it is named.
    void say(const QByteArray &text) const;
    const metrics::Device &numbers() const { return device_; }
    const QByteArray &logPath() const { return log_.path(); }

private:
    bool write(const QByteArray &lines, qint64 cycles, qint64 wallMs);
    void sayCannotWrite() const;

    QByteArray version_;
    bool named_;
    LogWriter log_;
    CycleReader reader_;
    metrics::Device device_;
    qint64 lastCycleMonoMs_ = 0;  // when the last cycle ended, or the run started
    qint64 skipped_ = 0;          // by the runs before this one
};
