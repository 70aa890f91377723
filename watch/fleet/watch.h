// Runs testVRN730 for one device, or for every device a targets file names, and logs each
// cycle the clients finish, until a signal stops the watch, or the one client ends by itself.
#pragma once

#include <QByteArray>
#include <QVector>

struct WatchOptions {
    QByteArray logPath = QByteArrayLiteral("testVRN730-watch.log");
    // Empty: the client's own default.
    QByteArray ip;
    QByteArray period;
    QByteArray timeout;
    // The fleet: every device the targets file names, each logged to LOGDIR/ADDRESS.log.
    QByteArray targetsPath;
    QByteArray logDir;
    // "ADDRESS:PORT" to serve /metrics on; empty: none.
    QByteArray metricsAddress;
    QVector<double> buckets;  // empty: the default
};

// Returns the exit status; a stop by signal ends the process with that signal instead.
int watch(const WatchOptions &options, const QByteArray &version);
