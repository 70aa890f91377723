// One peer's connection: the requests read off it, and the plans that answer them, played
// in turn. Serving it is one loop that runs until the connection is blocked: it needs
// input, waits on a timer, or its output is full. Events only start that loop again.
#pragma once

#include "options.h"
#include "outbox.h"
#include "plan_player.h"
#include "replies.h"
#include "request_side.h"

#include <QByteArray>
#include <QElapsedTimer>
#include <QObject>
#include <QString>
#include <QTimer>

#include <deque>
#include <functional>

class QSocketNotifier;

// What all connections share: the settings, the replies and the bound on unsent output.
struct ServeContext {
    const Options &options;
    Replies &replies;
    qint64 outputBound;
    QElapsedTimer clock;
};

class Connection : public QObject {
public:
    enum class State {
        Reading,    // no plan playing: takes requests
        Playing,    // plays a plan: its bytes, delays, gaps and --rate
        Closing,    // writes what is left, then closes
        Lingering,  // writes what is left, shuts its write side, drops what still comes
        Closed,
    };

    // Takes the connected, non-blocking socket `fd`; `closed` is called once it is closed.
    Connection(int fd, ServeContext &context, std::function<void(Connection *)> closed);
    ~Connection() override;

    void start();
    // Closes at once, as a device that goes down.
    void drop();

    State state() const { return state_; }
    const QString &peer() const { return peer_; }

private:
    enum class Deadline { None, Request, Idle, Send, Linger };

    void serve();
    bool serveStep();
    bool play();
    void takeRequests();
    bool mayRead() const;
    void finishPlan();
    bool flushOutput();
    void updateNotifiers();
    void armDeadline();
    void armAt(Deadline kind, qint64 dueMs, qint64 nowMs);
    void deadlinePassed();
    void resetAndClose();
    bool dropWhileLingering();
    void closeNow(const char *why = nullptr);
    void logRequest(const Request &request, const QString &label);
    qint64 now() const { return context_.clock.elapsed(); }

    ServeContext &context_;
    std::function<void(Connection *)> closed_;
    int fd_;
    QString peer_;
    State state_ = State::Reading;
    QSocketNotifier *readNotifier_;
    QSocketNotifier *writeNotifier_;
    QTimer pause_;     // the plan's delay, a gap, or the next --rate tick
    QTimer deadline_;  // the request, idle, send or linger time-out
    QTimer resume_;    // the next turn, after a turn's share of work
    Deadline deadlineKind_ = Deadline::None;
    qint64 deadlineDueMs_ = 0;

    RequestSide input_;
    std::deque<Plan> queue_;  // read ahead, answered in order
    PlanPlayer player_;
    Outbox output_;

    qint64 requestSinceMs_ = -1;  // when the request being read began
    qint64 lastRequestMs_ = 0;    // when the last request was taken, or the connection accepted
    qint64 lingerSinceMs_ = -1;   // Lingering: when the write side was shut
    qint64 lingerDropped_ = 0;    // Lingering: bytes read and dropped
    bool held_ = false;           // kept open on purpose: never idle
    bool throttled_ = false;      // left unread for its unsent output; logged once
    int readsThisTurn_ = 0;
    qint64 sentThisTurn_ = 0;
};
