#include "fleet/watch.h"

#include "client/client_program.h"
#include "fleet/loop.h"
#include "fleet/supervisor.h"
#include "fleet/targets_file.h"
#include "metrics/server.h"
#include "os/clock.h"
#include "os/descriptor_limit.h"
#include "os/say.h"
#include "os/signals.h"
#include "os/spawner.h"
#include "os/write_all.h"

#include <QFile>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include <sys/epoll.h>
#include <unistd.h>

namespace {

SupervisorSettings settingsFor(const WatchOptions &options, const ClientDefaults &defaults, const QByteArray &version)
{
    const bool fleet = !options.targetsPath.isEmpty();
    const QByteArray period = options.period.isEmpty() ? defaults.period : options.period;
    const QByteArray timeout = options.timeout.isEmpty() ? defaults.timeout : options.timeout;
    SupervisorSettings settings;
    settings.version = version;
    settings.clientOptions = {"-p", period, "-t", timeout};
    settings.restart = fleet;
    settings.spreadMs = fleet ? std::clamp<qint64>(period.toLongLong(), 0, 60000) : 0;
    settings.logPath = options.logPath;
    settings.logDir = fleet ? options.logDir : QByteArray();
    // The time-out is a bound, and so are the pause and the time-out together: the cycle
    // of a device that falls silent.
    const qint64 timeoutMs = std::max<qint64>(1, timeout.toLongLong());
    const qint64 silentMs = std::max<qint64>(0, period.toLongLong()) + timeoutMs;
    settings.buckets = options.buckets.isEmpty() ? metrics::defaultBuckets() : options.buckets;
    for (const qint64 boundMs : {timeoutMs, silentMs})
        settings.buckets = metrics::withBound(settings.buckets, static_cast<double>(boundMs) / 1000);
    return settings;
}

// What ended the watch, on standard error; the exit status, or the end by the signal
// that stopped it.
int finish(const Supervisor &supervisor, Signals &incoming, bool fleet, bool waited)
{
    if (supervisor.skippedBytes() > 0)
        say(QByteArray::number(supervisor.skippedBytes()) +
            " bytes of testVRN730's output were not cycles, and were passed over");
    const int stopSignal = supervisor.stopSignal();
    QByteArray reason = supervisor.lastReason();
    if (fleet || reason.isEmpty())
        reason = waited ? signalName(stopSignal) : QByteArray("poll failed");
    say("stopped (" + reason + ") after " + QByteArray::number(supervisor.cycles()) + " cycles");
    const int exitStatus = waited ? supervisor.exitStatus() : 1;
    if (stopSignal != 0 && exitStatus == 0)
        incoming.endBy(stopSignal);
    return exitStatus;
}

}  // namespace

int watch(const WatchOptions &options, const QByteArray &version)
{
    const QString client = findClient();
    if (client.isEmpty()) {
        say("cannot find testVRN730 beside this program or on PATH");
        return 1;
    }
    ClientDefaults defaults;
    if (!readClientDefaults(client, &defaults)) {
        say(QFile::encodeName(client) + " does not print the usage text of testVRN730");
        return 1;
    }
    Signals incoming;
    QByteArray why;
    if (!incoming.block(&why)) {
        say(why);
        return 1;
    }
    // The clients' outputs, however many, are waited on with epoll.
    const int epoll = epoll_create1(EPOLL_CLOEXEC);
    if (epoll < 0) {
        say(QByteArray("epoll_create1: ") + QByteArray(std::strerror(errno)));
        return 1;
    }
    const SystemClock clock;
    ProcessSpawner spawner(QFile::encodeName(client), epoll);
    Supervisor supervisor(settingsFor(options, defaults, version), clock, spawner);

    const metrics::Watch watchInfo{version, clock.wallMs()};
    metricsserver::Server server(
        [&](metrics::Format format) { return metrics::exposition(watchInfo, supervisor.devices(), format); });
    if (!options.metricsAddress.isEmpty() && !server.listen(options.metricsAddress, &why)) {
        say(why);
        return 1;
    }

    const bool fleet = !options.targetsPath.isEmpty();
    TargetsFile targetsFile(options.targetsPath);
    const bool echo = !fleet && isatty(STDOUT_FILENO) == 1;
    Loop loop(supervisor, server, clock, fleet ? &targetsFile : nullptr, echo);
    if (fleet) {
        raiseDescriptorLimit();
        if (!loop.readTargets(true))
            return 1;
    } else if (!supervisor.setTargets({{options.ip.isEmpty() ? defaults.ip : options.ip, {}}})) {
        return 1;
    }
    supervisor.onTime();

    const bool waited = loop.run(incoming, epoll);
    if (echo) {
        // The client may have stopped inside its red.
        writeAll(STDOUT_FILENO, QByteArrayLiteral("\033[0m\n"));
    }
    return finish(supervisor, incoming, fleet, waited);
}
