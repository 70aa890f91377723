// A device's log as the watch writes it.
#pragma once

#include "log/format.h"

#include <QByteArray>

// The log file, reopened when it has been moved away (rotated) or removed. A write that
// fails (a full disk, say) leaves the file as it was, and the watch goes on: the cycles
// it could not write are counted, and once writing works again one line says how many
// were lost, between which times, and why.
class LogWriter {
public:
    explicit LogWriter(QByteArray path) : path_(std::move(path)) {}
    ~LogWriter();
    LogWriter(const LogWriter &) = delete;
    LogWriter &operator=(const LogWriter &) = delete;

    // Opens the log to append to it, and holds it against any other watch; a last line
    // left unended (by a watch that was killed as it wrote) is ended first, so that no line
    // is glued to it. False with errno set, EWOULDBLOCK when another watch holds it.
    bool open();
    // The lines that begin each new file from now on: they say which run it continues.
    void setContinuedLines(QByteArray lines) { continuedLines_ = std::move(lines); }

    // Writes whole lines, after those that must come first; `cycles` of them are cycles,
    // counted as lost if the write fails. False when it failed.
    bool write(const QByteArray &lines, qint64 cycles, qint64 nowMs);

    // Lines that could not be written, and must go before any other: the run's start.
    void keepFirst(const QByteArray &lines) { pending_ += lines; }
    qint64 lostCycles() const { return lost_.cycles; }
    const QByteArray &lostWhy() const { return lost_.why; }
    const QByteArray &path() const { return path_; }

private:
    bool writeWhole(const QByteArray &bytes);

    QByteArray path_;
    QByteArray continuedLines_;
    QByteArray pending_;
    watchlog::LostSpan lost_;
    int fd_ = -1;
};
