// device_sim: plays the polled device on a local address. It answers every HTTP request
// with a JSON-RPC reply whose "realTime" changes, or misbehaves in one of the ways a real
// device under test does (--mode, or a seeded mix with --fault-rate), shaped by delay,
// jitter, rate and down time. One log line per request goes to stderr.

#include "device.h"
#include "log.h"
#include "options.h"

#include <QCoreApplication>
#include <QSocketNotifier>

#include <csignal>
#include <cstdio>

#include <fcntl.h>
#include <unistd.h>

namespace {

int signalPipe[2];

void onStopSignal(int)
{
    const char byte = 1;
    [[maybe_unused]] const ssize_t written = ::write(signalPipe[1], &byte, 1);
}

QString describe(const Options &options)
{
    QString text = QStringLiteral("device_sim: listening on %1 port %2, mode %3")
                       .arg(options.listen.toString())
                       .arg(options.port)
                       .arg(modeName(options.mode));
    if (!options.faults.isEmpty()) {
        QStringList faults;
        for (const Mode fault : options.faults)
            faults.append(modeName(fault));
        text += QStringLiteral(", fault rate %1 from %2").arg(options.faultRate).arg(faults.join(QLatin1Char(',')));
    }
    return text + QStringLiteral(", seed %1").arg(options.seed);
}

}  // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);

    Options options;
    const ParseResult parsed = parseOptions(app.arguments(), &options);
    if (!parsed.error.isEmpty()) {
        std::fprintf(stderr, "device_sim: %s\n", parsed.error.toUtf8().constData());
        return 2;
    }
    if (parsed.command != Command::Run) {
        std::fputs(parsed.text.toUtf8().constData(), stdout);
        return 0;
    }

    if (pipe2(signalPipe, O_CLOEXEC) != 0)
        return 1;
    QSocketNotifier stopNotifier(signalPipe[0], QSocketNotifier::Read);
    QObject::connect(&stopNotifier, &QSocketNotifier::activated, &app, &QCoreApplication::quit);
    std::signal(SIGINT, onStopSignal);
    std::signal(SIGTERM, onStopSignal);

    Device device(options);
    QString error;
    if (!device.start(&error)) {
        std::fprintf(stderr, "device_sim: cannot listen on %s port %u: %s\n",
                     options.listen.toString().toUtf8().constData(), options.port, error.toUtf8().constData());
        return 1;
    }
    logLine(describe(options));
    const int status = app.exec();
    logLine(QStringLiteral("device_sim: stopped"));
    return status;
}
