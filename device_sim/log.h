// device_sim's log on stderr: one line per event. A thread of its own writes the lines, so
// that a log nobody reads never holds up service: a line that finds the queue full is
// dropped and counted, and the count is logged once lines go out again.
#pragma once

#include <QByteArray>
#include <QString>

// Lines the queue holds at most, waiting to be written.
constexpr int maxQueuedLogBytes = 1024 * 1024;

void logLine(const QString &line);
// Waits up to timeoutMs for the queued lines to be written; false if some are left.
bool flushLog(int timeoutMs);
// The wall-clock time with milliseconds, as each line begins.
QString timestamp();
// A count and its noun, singular for one: "1 connection", "2 connections".
QString counted(long long count, const char *noun);
// The peer of a connected socket, as ADDRESS:PORT.
QString peerOf(int fd);
// Bytes from the network for a log line: printable ASCII as it is, the rest escaped.
QString escaped(const QByteArray &bytes);
