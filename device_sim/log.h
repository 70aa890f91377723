// device_sim's log on stderr: one line per event, flushed at once.
#pragma once

#include <QByteArray>
#include <QString>

void logLine(const QString &line);
// The wall-clock time with milliseconds, as each line begins.
QString timestamp();
// The peer of a connected socket, as ADDRESS:PORT.
QString peerOf(int fd);
// Bytes from the network for a log line: printable ASCII as it is, the rest escaped.
QString escaped(const QByteArray &bytes);
