#include "supervisor.h"

#include "log.h"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>

#include <sys/wait.h>

namespace {

const char *const self = "testVRN730-watch";

}  // namespace

QByteArray signalName(int signal)
{
    switch (signal) {
    case SIGINT:
        return "SIGINT";
    case SIGTERM:
        return "SIGTERM";
    case SIGHUP:
        return "SIGHUP";
    case SIGKILL:
        return "SIGKILL";
    case SIGPIPE:
        return "SIGPIPE";
    case SIGSEGV:
        return "SIGSEGV";
    case SIGABRT:
        return "SIGABRT";
    default:
        return "signal " + QByteArray::number(signal);
    }
}

struct Supervisor::Client {
    Client(const Target &target, QByteArray logPath, QVector<double> buckets)
        : log(std::move(logPath)), device(std::move(buckets))
    {
        device.address = target.address;
        device.labels = target.labels;
    }

    LogFile log;
    metrics::Device device;
    ClientState state = ClientState::Waiting;
    qint64 dueMs = -1;  // when it starts, or is killed; -1: nothing due
    pid_t pid = 0;
    int output = -1;
    bool exited = false;
    int status = 0;
    CycleReader reader;
    qint64 startedMs = 0;    // on the monotonic clock
    qint64 lastCycleMs = 0;  // the same
    qint64 lastBackOffMs = 0;
    bool removed = false;  // no longer among the targets
};

Supervisor::Supervisor(SupervisorSettings settings, const Clock &clock, Spawner &spawner)
    : settings_(std::move(settings)), clock_(clock), spawner_(spawner)
{
}

Supervisor::~Supervisor() = default;

qint64 Supervisor::backOffMs(qint64 ranMs, qint64 lastMs)
{
    if (ranMs >= steadyMs || lastMs <= 0)
        return firstBackOffMs;
    return std::min(lastMs * 2, lastBackOffMs);
}

void Supervisor::say(const Client &client, const QByteArray &text) const
{
    if (settings_.logDir.isEmpty())
        std::fprintf(stderr, "%s: %s\n", self, text.constData());
    else
        std::fprintf(stderr, "%s: %s: %s\n", self, client.device.address.constData(), text.constData());
}

void Supervisor::sayCannotWrite(const Client &client) const
{
    say(client, "cannot write to " + client.log.path() + ": " + client.log.lostWhy() +
                    "; watching on, and counting the cycles lost");
}

bool Supervisor::setTargets(const QList<Target> &targets)
{
    const qint64 nowMs = clock_.monotonicMs();
    QHash<QByteArray, const Target *> wanted;
    for (const Target &target : targets)
        wanted.insert(target.address, &target);
    for (auto &[address, client] : clients_) {
        if (wanted.contains(address) || client->removed)
            continue;
        client->removed = true;
        if (client->state == ClientState::Running)
            stopClient(*client);
        else if (client->state != ClientState::Stopping)
            becomeGone(*client);
    }
    QList<const Target *> added;
    for (const Target &target : targets) {
        const auto found = clients_.find(target.address);
        if (found == clients_.end()) {
            added.append(&target);
            continue;
        }
        Client &client = *found->second;
        client.device.labels = target.labels;
        client.removed = false;  // named again while it stops: it starts again once ended
    }
    bool allOpened = true;
    for (int i = 0; i < added.size(); ++i) {
        const Target &target = *added[i];
        const QByteArray path =
            settings_.logDir.isEmpty() ? settings_.logPath : settings_.logDir + '/' + target.address + ".log";
        auto client = std::make_unique<Client>(target, path, settings_.buckets);
        if (!client->log.open()) {
            if (errno == EWOULDBLOCK)
                say(*client, "another watch is writing to " + path + "; two would mix their runs in it");
            else
                say(*client, "cannot write to " + path + ": " + QByteArray(std::strerror(errno)));
            allOpened = false;
            continue;
        }
        Client &placed = *clients_.emplace(target.address, std::move(client)).first->second;
        setDue(placed, nowMs + settings_.spreadMs * i / added.size());
    }
    dropGone();
    return allOpened;
}

void Supervisor::onOutput(int output, const QByteArray &bytes)
{
    Client *client = byOutput_.value(output);
    if (!client)
        return;
    QList<Cycle> finished;
    client->reader.feed(bytes, &finished);
    if (!finished.isEmpty())
        logCycles(*client, finished);
}

void Supervisor::onOutputEnd(int output)
{
    Client *client = byOutput_.take(output);
    spawner_.closeOutput(output);
    if (!client)
        return;
    client->output = -1;
    if (client->exited)
        ended(*client);
    dropGone();
}

void Supervisor::onExit(pid_t pid, int status)
{
    Client *client = byPid_.take(pid);
    if (!client)
        return;
    client->exited = true;
    client->status = status;
    if (client->output < 0)
        ended(*client);
    dropGone();
}

void Supervisor::onTime()
{
    const qint64 nowMs = clock_.monotonicMs();
    while (!dues_.empty() && dues_.begin()->first <= nowMs) {
        Client &client = *clients_.at(dues_.begin()->second);
        setDue(client, -1);
        switch (client.state) {
        case ClientState::Waiting:
        case ClientState::BackingOff:
            startClient(client);
            break;
        case ClientState::Stopping:
            if (!client.exited) {
                say(client, "testVRN730 outlasted its " + QByteArray::number(stopGraceMs / 1000) +
                                " s to stop after SIGTERM; killing it");
                spawner_.signal(client.pid, SIGKILL);
            }
            break;
        case ClientState::Running:
        case ClientState::Gone:
            break;
        }
    }
    dropGone();
}

void Supervisor::stop(int signal)
{
    if (stopSignal_ != 0)
        return;
    stopSignal_ = signal;
    for (auto &entry : clients_) {
        Client &client = *entry.second;
        if (client.state == ClientState::Running)
            stopClient(client);
        else if (client.state != ClientState::Stopping)
            becomeGone(client);
    }
}

qint64 Supervisor::nextDueMs() const
{
    return dues_.empty() ? -1 : dues_.begin()->first;
}

bool Supervisor::finished() const
{
    if (stopSignal_ == 0 && settings_.restart)
        return false;
    return std::all_of(clients_.begin(), clients_.end(),
                       [](const auto &entry) { return entry.second->state == ClientState::Gone; });
}

QList<const metrics::Device *> Supervisor::devices() const
{
    QList<const metrics::Device *> devices;
    for (const auto &entry : clients_)
        devices.append(&entry.second->device);
    return devices;
}

QByteArray Supervisor::commandOf(const Client &client) const
{
    return "testVRN730 -i " + client.device.address + ' ' + settings_.clientOptions.join(' ');
}

void Supervisor::startClient(Client &client)
{
    const qint64 startMs = clock_.wallMs();
    const QByteArray command = commandOf(client);
    client.log.setContinuedLines(watchlog::runLine(settings_.version, watchlog::RunMark::Continued, startMs, command) +
                                 watchlog::header);
    const QByteArray startLines =
        watchlog::runLine(settings_.version, watchlog::RunMark::Started, startMs, command) + watchlog::header;
    if (!client.log.write(startLines, 0, startMs)) {
        // A full disk, say: the client starts all the same, and the lines wait for room.
        client.log.keepFirst(startLines);
        sayCannotWrite(client);
    }
    QList<QByteArray> arguments{"-i", client.device.address};
    arguments += settings_.clientOptions;
    QByteArray why;
    client.exited = false;
    client.reader = CycleReader();
    client.startedMs = clock_.monotonicMs();
    if (!spawner_.start(arguments, &client.pid, &client.output, &why)) {
        say(client, why);
        client.exited = true;
        ended(client, why);
        return;
    }
    client.state = ClientState::Running;
    client.lastCycleMs = client.startedMs;
    byOutput_.insert(client.output, &client);
    byPid_.insert(client.pid, &client);
    say(client, "logging " + command + " to " + client.log.path());
}

void Supervisor::stopClient(Client &client)
{
    client.state = ClientState::Stopping;
    setDue(client, clock_.monotonicMs() + stopGraceMs);
    if (!client.exited)
        spawner_.signal(client.pid, SIGTERM);
}

void Supervisor::ended(Client &client, const QByteArray &failure)
{
    skippedBytes_ += client.reader.skippedBytes();
    // Why it ended, as its stop line says, and the status a watch of it alone ends with.
    QByteArray reason;
    int status = 0;
    if (stopSignal_ != 0) {
        reason = signalName(stopSignal_);
    } else if (client.removed) {
        reason = "removed from the targets";
    } else if (!failure.isEmpty()) {
        reason = failure;
        status = 1;
    } else if (WIFSIGNALED(client.status)) {
        reason = "testVRN730 ended: killed by " + signalName(WTERMSIG(client.status));
        status = 128 + WTERMSIG(client.status);
    } else {
        reason = "testVRN730 ended: exit status " + QByteArray::number(WEXITSTATUS(client.status));
        status = WEXITSTATUS(client.status);
    }

    const qint64 ranMs = clock_.monotonicMs() - client.startedMs;
    const bool again = settings_.restart && stopSignal_ == 0 && !client.removed;
    const qint64 waitMs = again ? backOffMs(ranMs, client.lastBackOffMs) : 0;
    const QByteArray logged =
        again ? reason + "; starting it again in " + QByteArray::number(waitMs / 1000.0, 'f', 0) + " s" : reason;
    const bool wrote = writeLog(client, watchlog::stoppedLine(clock_.wallMs(), logged), 0);
    if (again) {
        ++client.device.restarts;
        client.lastBackOffMs = waitMs;
        client.state = ClientState::BackingOff;
        setDue(client, clock_.monotonicMs() + waitMs);
        say(client, logged);
        return;
    }
    becomeGone(client);
    if (!wrote) {
        reason += "; cannot write to " + client.log.path() + ": " + client.log.lostWhy() + "; " +
                  QByteArray::number(client.log.lostCycles()) + " cycles lost";
        status = 1;
    }
    lastReason_ = reason;
    if (!settings_.restart)
        exitStatus_ = status;
    else if (!wrote)
        say(client, reason);
}

void Supervisor::logCycles(Client &client, const QList<Cycle> &cycles)
{
    const qint64 nowMs = clock_.wallMs();
    const qint64 sinceLastMs = clock_.monotonicMs() - client.lastCycleMs;
    client.lastCycleMs += sinceLastMs;
    QByteArray lines;
    for (int i = 0; i < cycles.size(); ++i) {
        const qint64 cycleMs = i == 0 ? sinceLastMs : 0;
        lines += watchlog::cycleLine(nowMs, cycleMs, cycles[i]);
        client.device.count(cycles[i].state, cycleMs, nowMs);
    }
    cycles_ += cycles.size();
    writeLog(client, lines, cycles.size());
}

bool Supervisor::writeLog(Client &client, const QByteArray &lines, qint64 cycles)
{
    const qint64 lostBefore = client.log.lostCycles();
    if (client.log.write(lines, cycles, clock_.wallMs())) {
        if (lostBefore > 0)
            say(client,
                "writing to " + client.log.path() + " again; " + QByteArray::number(lostBefore) + " cycles were lost");
        return true;
    }
    client.device.lostCycles += static_cast<quint64>(cycles);
    if (lostBefore == 0 && cycles > 0)
        sayCannotWrite(client);
    return false;
}

void Supervisor::setDue(Client &client, qint64 ms)
{
    if (client.dueMs >= 0)
        dues_.erase({client.dueMs, client.device.address});
    client.dueMs = ms;
    if (ms >= 0)
        dues_.insert({ms, client.device.address});
}

void Supervisor::becomeGone(Client &client)
{
    setDue(client, -1);
    client.state = ClientState::Gone;
    dropPending_ = dropPending_ || client.removed;
}

void Supervisor::dropGone()
{
    if (!dropPending_)
        return;
    dropPending_ = false;
    for (auto at = clients_.begin(); at != clients_.end();) {
        if (at->second->removed && at->second->state == ClientState::Gone)
            at = clients_.erase(at);
        else
            ++at;
    }
}
