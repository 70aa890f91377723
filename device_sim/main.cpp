// device_sim: plays the polled device on a local address. It answers every HTTP request
// with a JSON-RPC reply whose "realTime" changes, or misbehaves in one of the ways a real
// device under test does (--mode, or a seeded mix with --fault-rate), shaped by delay,
// jitter, rate and down time. One log line per request goes to stderr.

#include "device.h"
#include "event_loop.h"
#include "log.h"
#include "options.h"

#include <QCoreApplication>
#include <QSocketNotifier>

#include <algorithm>
#include <csignal>
#include <cstdio>
#include <memory>

#include <fcntl.h>
#include <sys/resource.h>
#include <unistd.h>

namespace {

int signalPipe[2];
// How long the log's last lines may take to go out when it stops.
constexpr int stopFlushMs = 500;

// The signals that end device_sim, each as SIGTERM does: its last lines logged, status 0.
struct StopSignal {
    int number;
    const char *name;
};
constexpr StopSignal stopSignals[] = {{SIGTERM, "SIGTERM"}, {SIGINT, "SIGINT"},   {SIGHUP, "SIGHUP"},
                                      {SIGUSR1, "SIGUSR1"}, {SIGUSR2, "SIGUSR2"}, {SIGALRM, "SIGALRM"}};

void onStopSignal(int number)
{
    const char byte = static_cast<char>(number);
    [[maybe_unused]] const ssize_t written = ::write(signalPipe[1], &byte, 1);
}

const char *stopSignalName(int number)
{
    for (const StopSignal &stop : stopSignals)
        if (stop.number == number)
            return stop.name;
    return "a signal";
}

// The soft limit on open descriptors raised as far as the hard limit allows; returns it.
rlim_t raiseDescriptorLimit()
{
    rlimit limit{};
    if (getrlimit(RLIMIT_NOFILE, &limit) != 0)
        return 1024;
    if (limit.rlim_cur < limit.rlim_max) {
        rlimit raised = limit;
        raised.rlim_cur = limit.rlim_max;
        if (setrlimit(RLIMIT_NOFILE, &raised) == 0)
            limit = raised;
    }
    return limit.rlim_cur;
}

// Connections the descriptor limit leaves room for, less what the process needs besides:
// standard descriptors, the listener, Qt's own, a connection accepted and waiting.
int connectionsAllowed(rlim_t descriptors)
{
    const rlim_t usable = std::min<rlim_t>(descriptors, 1000000);
    const rlim_t margin = std::min<rlim_t>(64, usable / 4);
    return static_cast<int>(std::max<rlim_t>(1, usable - margin));
}

QString describe(const Options &options, int maxConnections)
{
    const ReplySettings &replies = options.replies;
    QString text = QStringLiteral("device_sim: listening on %1 port %2, mode %3")
                       .arg(options.listen.toString())
                       .arg(options.port)
                       .arg(modeName(replies.mode));
    if (!replies.faults.isEmpty()) {
        QStringList faults;
        for (const Mode fault : replies.faults)
            faults.append(modeName(fault));
        text += QStringLiteral(", fault rate %1 from %2").arg(replies.faultRate).arg(faults.join(QLatin1Char(',')));
    }
    return text + QStringLiteral(", seed %1; at most %2, accept queue %3")
                      .arg(replies.seed)
                      .arg(counted(maxConnections, "connection"))
                      .arg(Listener::backlog());
}

}  // namespace

int main(int argc, char *argv[])
{
#ifndef DEVICE_SIM_QT_DISPATCHER  // bench/fleet's build on Qt's own, to compare
    std::unique_ptr<EpollEventDispatcher> dispatcher(new EpollEventDispatcher);
    if (!dispatcher->error().isEmpty()) {
        std::fprintf(stderr, "device_sim: cannot make its event loop: %s\n", dispatcher->error().toUtf8().constData());
        return 1;
    }
    QCoreApplication::setEventDispatcher(dispatcher.release());
#endif
    QCoreApplication app(argc, argv);

    const rlim_t descriptors = raiseDescriptorLimit();
    Options options;
    const CommandLine parsed = parseOptions(app.arguments(), &options);
    if (!parsed.error.isEmpty()) {
        std::fprintf(stderr, "device_sim: %s\n", parsed.error.toUtf8().constData());
        return 2;
    }
    if (parsed.command != Command::Run) {
        std::fputs(parsed.text.toUtf8().constData(), stdout);
        return 0;
    }

    const int allowed = connectionsAllowed(descriptors);
    if (options.maxConnections > allowed) {
        std::fprintf(stderr, "device_sim: --max-connections %d is more than the descriptor limit of %llu allows (%d)\n",
                     *options.maxConnections, static_cast<unsigned long long>(descriptors), allowed);
        return 2;
    }
    const int maxConnections = options.maxConnections.value_or(allowed);

    if (pipe2(signalPipe, O_CLOEXEC) != 0) {
        std::perror("device_sim: pipe2");
        return 1;
    }
    int stoppedBy = 0;
    QSocketNotifier stopNotifier(signalPipe[0], QSocketNotifier::Read);
    QObject::connect(&stopNotifier, &QSocketNotifier::activated, &app, [&] {
        char byte = 0;
        if (::read(signalPipe[0], &byte, 1) == 1)
            stoppedBy = byte;
        app.quit();
    });
    // A peer or a log reader that goes away shows as a failed write (EPIPE), never as a signal.
    std::signal(SIGPIPE, SIG_IGN);
    for (const StopSignal &stop : stopSignals)
        std::signal(stop.number, onStopSignal);

    Device device(options, maxConnections);
    QString error;
    if (!device.start(&error)) {
        std::fprintf(stderr, "device_sim: cannot listen on %s port %u: %s\n",
                     options.listen.toString().toUtf8().constData(), options.port, error.toUtf8().constData());
        return 1;
    }
    logLine(describe(options, maxConnections));
    const int status = app.exec();
    logLine(QStringLiteral("device_sim: stopped (%1)").arg(QLatin1String(stopSignalName(stoppedBy))));
    flushLog(stopFlushMs);
    return status;
}
