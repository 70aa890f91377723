// Turns testVRN730's standard output into cycles. The client writes each cycle whole and
// flushes it, so a cycle is complete when its last byte has arrived; the bytes of an
// unfinished cycle wait for the rest.
#pragma once

#include "client/cycle.h"

#include <QByteArray>
#include <QList>

class CycleReader {
public:
    // The longest status line that is waited for: the client caps a reply at 16 MiB, and
    // its realTime text at three bytes a byte. Anything longer is not the client's.
    static constexpr int maxPendingBytes = 64 * 1024 * 1024;

    // Appends the cycles that `bytes` completes to `cycles`.
    void feed(const QByteArray &bytes, QList<Cycle> *cycles);

    // Bytes of a cycle still under way.
    const QByteArray &pending() const { return pending_; }
    // Bytes passed over because they were no cycle the client writes.
    qint64 skippedBytes() const { return skipped_; }

private:
    enum class Step { Took, NeedMore, NotACycle };
    Step takeOne(QList<Cycle> *cycles);
    Step takeStatusCycle(QList<Cycle> *cycles);
    void skipToNextCycle();

    QByteArray pending_;
    int scannedTo_ = 0;  // where the search for the status line's end goes on
    qint64 skipped_ = 0;
};
