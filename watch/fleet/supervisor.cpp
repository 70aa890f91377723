#include "fleet/supervisor.h"

#include "os/signals.h"

#include <algorithm>
#include <csignal>
#include <optional>

#include <sys/wait.h>

struct Supervisor::Client {
    Client(const Target &target, QByteArray logPath, const SupervisorSettings &settings)
        : address(target.address),
          record(target, std::move(logPath), settings.version, settings.buckets, !settings.logDir.isEmpty())
    {
    }

    const QByteArray address;
    DeviceRecord record;
    ClientState state = ClientState::Waiting;
    std::optional<Dues::iterator> due;  // when it starts, or is killed
    pid_t pid = 0;                      // 0: not started, or reaped
    int output = -1;                    // -1: not started, or ended
    int status = 0;                     // as waitpid gave it, once reaped
    qint64 startedMs = 0;               // on the monotonic clock
    qint64 lastBackOffMs = 0;

    bool signalled() const
    {
        return state == ClientState::Restarting || state == ClientState::Removing || state == ClientState::Stopping;
    }
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

bool Supervisor::setTargets(const QList<Target> &targets)
{
    if (stopSignal_ != 0)
        return true;
    const qint64 nowMs = clock_.monotonicMs();
    QHash<QByteArray, const Target *> wanted;
    for (const Target &target : targets)
        wanted.insert(target.address, &target);
    QList<const Target *> added;
    for (const Target &target : targets) {
        const auto found = clients_.find(target.address);
        if (found == clients_.end()) {
            added.append(&target);
            continue;
        }
        Client &client = *found->second;
        client.record.setLabels(target.labels);
        if (client.state == ClientState::Removing)
            client.state = ClientState::Restarting;  // it starts again once ended
    }
    for (auto &[address, client] : clients_) {
        if (wanted.contains(address))
            continue;
        switch (client->state) {
        case ClientState::Running:
        case ClientState::Restarting:
            signalToStop(*client, ClientState::Removing);
            break;
        case ClientState::Waiting:
        case ClientState::BackingOff:
            becomeGone(*client, true);
            break;
        case ClientState::Removing:
        case ClientState::Stopping:
        case ClientState::Gone:
            break;
        }
    }
    bool allOpened = true;
    for (int i = 0; i < added.size(); ++i) {
        const Target &target = *added[i];
        const QByteArray path =
            settings_.logDir.isEmpty() ? settings_.logPath : settings_.logDir + '/' + target.address + ".log";
        auto client = std::make_unique<Client>(target, path, settings_);
        if (!client->record.open()) {
            allOpened = false;
            continue;
        }
        Client &placed = *clients_.emplace(target.address, std::move(client)).first->second;
        setDue(placed, nowMs + settings_.spreadMs * i / added.size());
    }
    dropForgotten();
    return allOpened;
}

void Supervisor::onOutput(int output, const QByteArray &bytes)
{
    Client *client = byOutput_.value(output);
    if (client)
        cycles_ += client->record.take(bytes, clock_.wallMs(), clock_.monotonicMs());
}

void Supervisor::onOutputEnd(int output)
{
    Client *client = byOutput_.take(output);
    spawner_.closeOutput(output);
    if (!client)
        return;
    client->output = -1;
    if (client->pid == 0)
        ended(*client);
    dropForgotten();
}

void Supervisor::onExit(pid_t pid, int status)
{
    Client *client = byPid_.take(pid);
    if (!client)
        return;
    client->pid = 0;
    client->status = status;
    if (client->output < 0)
        ended(*client);
    dropForgotten();
}

void Supervisor::onTime()
{
    const qint64 nowMs = clock_.monotonicMs();
    while (!dues_.empty() && dues_.begin()->first <= nowMs) {
        Client &client = *clients_.at(dues_.begin()->second);
        setDue(client, -1);
        if (client.state == ClientState::Waiting || client.state == ClientState::BackingOff) {
            startClient(client);
        } else if (client.signalled() && client.pid != 0) {
            client.record.say("testVRN730 outlasted its " + QByteArray::number(stopGraceMs / 1000) +
                              " s to stop after SIGTERM; killing it");
            spawner_.signal(client.pid, SIGKILL);
        }
    }
    dropForgotten();
}

void Supervisor::stop(int signal)
{
    if (stopSignal_ != 0)
        return;
    stopSignal_ = signal;
    for (auto &entry : clients_) {
        Client &client = *entry.second;
        switch (client.state) {
        case ClientState::Running:
            signalToStop(client, ClientState::Stopping);
            break;
        case ClientState::Restarting:
        case ClientState::Removing:
            client.state = ClientState::Stopping;  // already sent SIGTERM, its grace running
            break;
        case ClientState::Waiting:
        case ClientState::BackingOff:
            becomeGone(client, false);
            break;
        case ClientState::Stopping:
        case ClientState::Gone:
            break;
        }
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

qint64 Supervisor::skippedBytes() const
{
    qint64 skipped = skippedBytes_;
    for (const auto &entry : clients_)
        skipped += entry.second->record.skippedBytes();
    return skipped;
}

QList<QByteArray> Supervisor::addresses() const
{
    QList<QByteArray> addresses;
    for (const auto &entry : clients_)
        addresses.append(entry.first);
    return addresses;
}

QList<const metrics::Device *> Supervisor::devices() const
{
    QList<const metrics::Device *> devices;
    for (const auto &entry : clients_)
        devices.append(&entry.second->record.numbers());
    return devices;
}

ClientState Supervisor::stateOf(const QByteArray &address) const
{
    const auto found = clients_.find(address);
    return found == clients_.end() ? ClientState::Gone : found->second->state;
}

QByteArray Supervisor::commandOf(const Client &client) const
{
    return "testVRN730 -i " + client.address + ' ' + settings_.clientOptions.join(' ');
}

void Supervisor::startClient(Client &client)
{
    const QByteArray command = commandOf(client);
    client.startedMs = clock_.monotonicMs();
    client.record.started(clock_.wallMs(), client.startedMs, command);
    QList<QByteArray> arguments{"-i", client.address};
    arguments += settings_.clientOptions;
    QByteArray why;
    client.state = ClientState::Running;
    if (!spawner_.start(arguments, &client.pid, &client.output, &why)) {
        client.pid = 0;
        client.output = -1;
        client.record.say(why);
        ended(client, why);
        return;
    }
    byOutput_.insert(client.output, &client);
    byPid_.insert(client.pid, &client);
    client.record.say("logging " + command + " to " + client.record.logPath());
}

void Supervisor::signalToStop(Client &client, ClientState state)
{
    client.state = state;
    setDue(client, clock_.monotonicMs() + stopGraceMs);
    if (client.pid != 0)
        spawner_.signal(client.pid, SIGTERM);
}

QByteArray Supervisor::whyEnded(const Client &client, const QByteArray &failure, int *status) const
{
    *status = 0;
    if (client.state == ClientState::Stopping)
        return signalName(stopSignal_);
    if (client.state == ClientState::Removing)
        return "removed from the targets";
    if (!failure.isEmpty()) {
        *status = 1;
        return failure;
    }
    if (WIFSIGNALED(client.status)) {
        *status = 128 + WTERMSIG(client.status);
        return "testVRN730 ended: killed by " + signalName(WTERMSIG(client.status));
    }
    *status = WEXITSTATUS(client.status);
    return "testVRN730 ended: exit status " + QByteArray::number(WEXITSTATUS(client.status));
}

void Supervisor::ended(Client &client, const QByteArray &failure)
{
    int status = 0;
    QByteArray reason = whyEnded(client, failure, &status);
    const bool again =
        settings_.restart && (client.state == ClientState::Running || client.state == ClientState::Restarting);
    const qint64 waitMs = again ? backOffMs(clock_.monotonicMs() - client.startedMs, client.lastBackOffMs) : 0;
    const QByteArray logged =
        again ? reason + "; starting it again in " + QByteArray::number(waitMs / 1000.0, 'f', 0) + " s" : reason;
    const bool wrote = client.record.stopped(clock_.wallMs(), logged);
    if (again) {
        client.record.countRestart();
        client.lastBackOffMs = waitMs;
        client.state = ClientState::BackingOff;
        setDue(client, clock_.monotonicMs() + waitMs);
        client.record.say(logged);
        return;
    }
    const bool forget = client.state == ClientState::Removing;
    becomeGone(client, forget);
    if (!wrote) {
        reason += client.record.lostNote();
        status = 1;
    }
    lastReason_ = reason;
    if (!settings_.restart)
        exitStatus_ = status;
    else if (!wrote)
        client.record.say(reason);
}

void Supervisor::setDue(Client &client, qint64 ms)
{
    if (client.due)
        dues_.erase(*client.due);
    client.due.reset();
    if (ms >= 0)
        client.due = dues_.insert({ms, client.address}).first;
}

void Supervisor::becomeGone(Client &client, bool forget)
{
    setDue(client, -1);
    client.state = ClientState::Gone;
    if (forget)
        forgotten_.push_back(client.address);
}

void Supervisor::dropForgotten()
{
    for (const QByteArray &address : forgotten_) {
        const auto found = clients_.find(address);
        if (found == clients_.end() || found->second->state != ClientState::Gone)
            continue;
        skippedBytes_ += found->second->record.skippedBytes();
        clients_.erase(found);
    }
    forgotten_.clear();
}
