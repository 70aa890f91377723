// device_sim's log on stderr: one line per event, flushed at once.
#pragma once

#include <QString>

class QTcpSocket;

void logLine(const QString &line);
QString timestamp();
QString peerOf(const QTcpSocket *socket);
