// A connection's output that the kernel has not yet taken, given to the kernel as it takes
// it. Its clock is the caller's: each call says what time it is.
#pragma once

#include <QByteArray>

class Outbox {
public:
    enum class Flush {
        Drained,  // the kernel took all of it
        Waiting,  // the kernel's buffer is full: some is left
        Failed,   // the peer is gone, or the connection failed
    };

    void queue(const QByteArray &bytes, qint64 nowMs);
    Flush flush(int fd, qint64 nowMs);

    qint64 unsent() const { return bytes_.size() - sent_; }
    // When the kernel last took bytes, or output began waiting: the send time-out counts
    // from here.
    qint64 lastTakenMs() const { return lastTakenMs_; }

private:
    QByteArray bytes_;
    qint64 sent_ = 0;  // of bytes_, taken by the kernel
    qint64 lastTakenMs_ = 0;
};
