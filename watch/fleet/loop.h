// The watch's one loop: waits on the signals, the clients' outputs (on epoll), the
// metrics' sockets and the next time something is due, and hands each event to the
// supervisor's handler named for it.
#pragma once

#include "fleet/supervisor.h"
#include "fleet/targets_file.h"
#include "metrics/server.h"
#include "os/clock.h"
#include "os/signals.h"

#include <QByteArray>
#include <QList>

#include <vector>

#include <poll.h>

class Loop {
public:
    // How often a fleet's targets file is looked at for a change.
    static constexpr qint64 targetsCheckMs = 1000;

    // TARGETS is null for a watch of one device; ECHO copies the clients' output to
    // standard output.
    Loop(Supervisor &supervisor, metricsserver::Server &server, const Clock &clock, TargetsFile *targets, bool echo);

    // Until every client has ended; false when waiting itself failed.
    bool run(Signals &incoming, int epoll);

    // The handlers, each for one kind of event.
    // True when a client has ended; a stop signal stops every client, SIGHUP reads a
    // fleet's targets again.
    bool takeSignals(const QList<int> &taken);
    // Reads what the clients wrote, each output that epoll found ready.
    void readOutputs(int epoll);
    // Reads the targets file again when it changed, once targetsCheckMs has passed.
    void lookAtTargets(qint64 nowMs);
    // Reads the targets file and hands it to the supervisor; FIRST at the start, when a
    // bad file ends the watch. False when the file cannot be read or is no targets file.
    bool readTargets(bool first);

private:
    int waitMs() const;

    Supervisor &supervisor_;
    metricsserver::Server &server_;
    const Clock &clock_;
    TargetsFile *targets_;
    bool echoing_;
    QByteArray chunk_;
    std::vector<pollfd> fds_;
    qint64 nextTargetsCheckMs_ = 0;
};
