// One peer's connection: the requests read off it, and the plans that answer them, played
// in turn. Serving it is one loop that runs until the connection is blocked: it needs
// input, waits on a timer, or its output is full. Events only start that loop again.
#pragma once

#include "http.h"
#include "options.h"
#include "replies.h"

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
        Reading,      // no plan playing: reads and parses requests
        Delaying,     // waits out the plan's delay or a gap before its next bytes
        Sending,      // writes the current bytes
        RateWaiting,  // --rate allows no more bytes yet
        Closing,      // writes what is left, then closes
        Lingering,    // writes what is left, shuts its write side, drops what still comes
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
    enum class Sent { All, Some, Blocked };

    void serve();
    bool serveStep();
    bool readInput();
    void takeRequests();
    bool mayRead() const;
    void startPlan();
    void nextStep();
    void finishPlan();
    Sent sendCurrent();
    qint64 rateAllowance();
    void pauseFor(int ms, State state);
    void resumeAfterPause();
    void queueOutput(const QByteArray &bytes);
    bool flushOutput();
    qint64 unsent() const { return outbox_.size() - outboxSent_; }
    void updateNotifiers();
    void armDeadline();
    void deadlinePassed();
    void resetAndClose();
    bool dropWhileLingering();
    void closeNow(const char *why = nullptr);
    void logRequest(const Request &request, const QString &label);

    ServeContext &context_;
    std::function<void(Connection *)> closed_;
    int fd_;
    QString peer_;
    State state_ = State::Reading;
    QSocketNotifier *readNotifier_;
    QSocketNotifier *writeNotifier_;
    QTimer pause_;     // the plan's delay, a gap, or the next --rate tick
    QTimer deadline_;  // the request, idle or send time-out
    QTimer resume_;    // the next turn, after a turn's share of work
    Deadline deadlineKind_ = Deadline::None;

    RequestReader reader_;
    qint64 requestSinceMs_ = -1;  // when the request being read began
    qint64 lastRequestMs_ = 0;    // when the last request was taken, or the connection accepted
    qint64 lingerSinceMs_ = -1;   // Lingering: when the write side was shut
    qint64 lingerDropped_ = 0;    // Lingering: bytes read and dropped
    bool inputEnded_ = false;     // the peer sent its FIN, or the connection failed
    bool ending_ = false;         // the last request it will answer has been read
    bool held_ = false;           // kept open on purpose: never idle
    bool throttled_ = false;      // left unread for its unsent output; logged once
    bool broken_ = false;         // reset by the peer: nothing more goes either way
    int readsThisTurn_ = 0;
    qint64 sentThisTurn_ = 0;
    std::deque<Plan> queue_;  // read ahead, answered in order

    Plan plan_;
    int step_ = -1;
    int sent_ = 0;  // of the current bytes
    bool inEndless_ = false;
    qint64 rateOriginMs_ = 0;  // --rate: when the reply began, less its pauses
    qint64 rateSent_ = 0;      // bytes of the reply sent under --rate
    qint64 pausedAtMs_ = 0;

    QByteArray outbox_;  // written, not yet taken by the kernel
    qint64 outboxSent_ = 0;
    qint64 lastSendMs_ = 0;  // when the kernel last took bytes, or output began waiting
};
