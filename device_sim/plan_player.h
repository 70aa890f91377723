// Plays one plan: its delay, its steps with their gaps, its endless bytes, at --rate when
// one is set. It keeps no clock of its own: each call says what time it is, and what room
// the output has, and it answers with its next move.
#pragma once

#include "replies.h"

#include <QByteArray>

class PlanPlayer {
public:
    struct Move {
        enum class What {
            Send,  // hand `bytes` to the output now
            Wait,  // silence, or --rate, until `untilMs`
            Full,  // bytes are due, but the output has no room
            Done,  // every byte is sent: the plan's ending follows
        };
        What what;
        QByteArray bytes;  // Send: a view of the plan's bytes, valid while the plan plays
        qint64 untilMs = 0;
    };

    // `rate` in bytes per second; 0 sends as fast as the output takes.
    explicit PlanPlayer(qint64 rate) : rate_(rate) {}

    void start(Plan plan, qint64 nowMs);
    Move next(qint64 nowMs, qint64 room);
    // Forgets the plan, once its ending is acted on.
    void clear() { *this = PlanPlayer(rate_); }

    const Plan &plan() const { return plan_; }
    // Sending the endless bytes after the steps: no reply is left unsent.
    bool inEndless() const { return inEndless_; }

private:
    enum class Wait { None, Silence, Rate };

    bool advance(qint64 nowMs);
    void waitFor(qint64 ms, Wait kind, qint64 nowMs);
    qint64 rateAllowance(qint64 nowMs);
    const QByteArray &current() const { return inEndless_ ? plan_.endless : plan_.steps[step_].bytes; }

    qint64 rate_;
    Plan plan_;
    bool playing_ = false;
    int step_ = -1;
    qint64 sent_ = 0;  // of the current bytes
    bool inEndless_ = false;
    Wait wait_ = Wait::None;
    qint64 waitUntilMs_ = 0;
    qint64 waitFromMs_ = 0;
    qint64 rateOriginMs_ = 0;  // --rate: when the reply began, less its silences
    qint64 rateSent_ = 0;      // bytes of the reply sent under --rate
};
