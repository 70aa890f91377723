// Runs testVRN730 and logs each cycle it finishes, until a signal stops both or the client
// ends by itself.
#pragma once

#include <QByteArray>

struct WatchOptions {
    QByteArray logPath = QByteArrayLiteral("testVRN730-watch.log");
    // Empty: the client's own default.
    QByteArray ip;
    QByteArray period;
    QByteArray timeout;
};

// Returns the exit status; a stop by signal ends the process with that signal instead.
int watch(const WatchOptions &options, const QByteArray &version);
