// The clients of a watch, one per device, each with its own log and numbers: started
// (spread over the first period), restarted with a back-off when they end by themselves,
// and stopped, with their logs' stop lines, when their device is dropped or the watch
// stops. It decides; the loop around it waits on the clients' output, their ends, the
// clock and the signals, and hands each event to the handler named for it.
#pragma once

#include "cycle_reader.h"
#include "log_file.h"
#include "metrics.h"
#include "targets.h"

#include <QByteArray>
#include <QHash>
#include <QList>

#include <map>
#include <memory>
#include <set>
#include <utility>

#include <sys/types.h>

class Clock {
public:
    virtual ~Clock() = default;
    virtual qint64 monotonicMs() const = 0;
    virtual qint64 wallMs() const = 0;
};

class Spawner {
public:
    virtual ~Spawner() = default;
    // Starts testVRN730 with ARGUMENTS, its standard output the write end of a pipe whose
    // read end is *OUTPUT. False, with *WHY, when it cannot.
    virtual bool start(const QList<QByteArray> &arguments, pid_t *pid, int *output, QByteArray *why) = 0;
    virtual void signal(pid_t pid, int signal) = 0;
    // Closes a client's output once it has ended.
    virtual void closeOutput(int output) = 0;
};

enum class ClientState {
    Waiting,     // for its start, spread over the first period
    Running,     // its output open or its process not yet reaped
    BackingOff,  // ended by itself; started again when its back-off is over
    Stopping,    // sent SIGTERM; killed if it outlasts the grace
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
    // device's log cannot be opened; it is left out, and a message says why.
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
    qint64 skippedBytes() const { return skippedBytes_; }
    // Why the last client to end for good ended, as its stop line says.
    const QByteArray &lastReason() const { return lastReason_; }
    // The devices watched now, by address.
    QList<const metrics::Device *> devices() const;

    // The wait before a client that ended after running RANMS starts again, the last one
    // having waited LASTMS (0: none).
    static qint64 backOffMs(qint64 ranMs, qint64 lastMs);

private:
    struct Client;
    using ClientMap = std::map<QByteArray, std::unique_ptr<Client>>;

    void startClient(Client &client);
    void stopClient(Client &client);
    // Once its output has ended and its process has been reaped, or it could not start.
    void ended(Client &client, const QByteArray &failure = QByteArray());
    // Sets when onTime() next has something to do for CLIENT; -1: nothing.
    void setDue(Client &client, qint64 ms);
    void becomeGone(Client &client);
    // Forgets the clients no longer among the targets once they have ended.
    void dropGone();
    void say(const Client &client, const QByteArray &text) const;
    void sayCannotWrite(const Client &client) const;
    void logCycles(Client &client, const QList<Cycle> &cycles);
    bool writeLog(Client &client, const QByteArray &lines, qint64 cycles);
    Client *clientWithOutput(int output) const;
    QByteArray commandOf(const Client &client) const;

    SupervisorSettings settings_;
    const Clock &clock_;
    Spawner &spawner_;
    ClientMap clients_;
    // What is due, soonest first, then by address: an event costs the same however many
    // clients there are.
    std::set<std::pair<qint64, QByteArray>> dues_;
    bool dropPending_ = false;
    QHash<int, Client *> byOutput_;
    QHash<pid_t, Client *> byPid_;
    int stopSignal_ = 0;
    int exitStatus_ = 0;
    qint64 cycles_ = 0;
    qint64 skippedBytes_ = 0;
    QByteArray lastReason_;
};

// "SIGTERM", or "signal 34" for one without a name here.
QByteArray signalName(int signal);
