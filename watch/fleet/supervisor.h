// The clients of a watch, one per device: started (spread over the first period),
// restarted with a back-off when they end by themselves, and stopped when their device is
// dropped or the watch stops. It decides a client's lifecycle alone; each device's record
// (its log and numbers) is the DeviceRecord's. The loop around it waits on the clients'
// output, their ends, the clock and the signals, and hands each event to the handler
// named for it.
#pragma once

#include "fleet/device_record.h"
#include "fleet/targets.h"
#include "metrics/exposition.h"
#include "os/clock.h"
#include "os/spawner.h"

#include <QByteArray>
#include <QHash>
#include <QList>

#include <map>
#include <memory>
#include <set>
#include <utility>
#include <vector>

#include <sys/types.h>

enum class ClientState {
    Waiting,     // for its start, spread over the first period
    Running,     // its output open or its process not yet reaped
    BackingOff,  // ended by itself; started again when its back-off is over
    // Sent SIGTERM, and killed if it outlasts the grace; then, once ended:
    Restarting,  // started again: it was named again while it was being removed
    Removing,    // forgotten: it is no longer among the targets
    Stopping,    // gone: the watch stops
    Gone,        // ended, and not to start again
};

struct SupervisorSettings {
    QByteArray version;
    QList<QByteArray> clientOptions;  // given to every client besides its -i
    qint64 spreadMs = 0;              // new clients' starts are spread over this
    bool restart = false;             // a client that ends is started again, or ends the watch
    QByteArray logPath;               // the one device's log, or
    QByteArray logDir;                // where each device's ADDRESS.log goes
    QVector<double> buckets = metrics::defaultBuckets();
};

class Supervisor {
public:
    static constexpr qint64 stopGraceMs = 5000;
    static constexpr qint64 firstBackOffMs = 1000;
    static constexpr qint64 lastBackOffMs = 60000;
    // A client that ran this long before it ended starts again after the first back-off.
    static constexpr qint64 steadyMs = 60000;

    Supervisor(SupervisorSettings settings, const Clock &clock, Spawner &spawner);
    ~Supervisor();

    // Watches TARGETS: starts those new and stops those no longer named. False when a new
    // device's log cannot be opened; it is left out, and a message says why. Once the
    // watch stops, it changes nothing.
    bool setTargets(const QList<Target> &targets);

    void onOutput(int output, const QByteArray &bytes);
    void onOutputEnd(int output);
    void onExit(pid_t pid, int status);
    // Starts the clients due to start, and kills those that outlast their grace.
    void onTime();
    // Stops every client, for SIGNAL.
    void stop(int signal);

    // When onTime() next has something to do; -1: nothing is due.
    qint64 nextDueMs() const;
    // Every client is gone: after a stop, or when the one client of a watch that does not
    // restart has ended.
    bool finished() const;
    // The status the watch ends with when no signal stopped it.
    int exitStatus() const { return exitStatus_; }
    int stopSignal() const { return stopSignal_; }
    qint64 cycles() const { return cycles_; }
    qint64 skippedBytes() const;
    // Why the last client to end for good ended, as its stop line says.
    const QByteArray &lastReason() const { return lastReason_; }
    // The devices watched now, in the order of their addresses.
    QList<QByteArray> addresses() const;
    QList<const metrics::Device *> devices() const;
    ClientState stateOf(const QByteArray &address) const;

    // The wait before a client that ended after running RANMS starts again, the last one
    // having waited LASTMS (0: none).
    static qint64 backOffMs(qint64 ranMs, qint64 lastMs);

private:
    struct Client;
    using ClientMap = std::map<QByteArray, std::unique_ptr<Client>>;
    // What is due, soonest first, then by address: an event costs the same however many
    // clients there are.
    using Dues = std::set<std::pair<qint64, QByteArray>>;

    void startClient(Client &client);
    void signalToStop(Client &client, ClientState state);
    // Once its output has ended and its process has been reaped, or it could not start.
    void ended(Client &client, const QByteArray &failure = QByteArray());
    // Why CLIENT ended, as its stop line says, and *STATUS, the one a watch of it alone
    // ends with.
    QByteArray whyEnded(const Client &client, const QByteArray &failure, int *status) const;
    // Sets when onTime() next has something to do for CLIENT; -1: nothing.
    void setDue(Client &client, qint64 ms);
    void becomeGone(Client &client, bool forget);
    // Forgets the clients no longer among the targets once they have ended.
    void dropForgotten();
    QByteArray commandOf(const Client &client) const;

    SupervisorSettings settings_;
    const Clock &clock_;
    Spawner &spawner_;
    ClientMap clients_;
    Dues dues_;
    std::vector<QByteArray> forgotten_;  // gone, and no longer among the targets
    QHash<int, Client *> byOutput_;
    QHash<pid_t, Client *> byPid_;
    int stopSignal_ = 0;
    int exitStatus_ = 0;
    qint64 cycles_ = 0;
    qint64 skippedBytes_ = 0;  // by the clients forgotten
    QByteArray lastReason_;
};
