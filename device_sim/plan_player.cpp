#include "plan_player.h"

#include <algorithm>

namespace {

// --rate lets bytes go once per tick.
constexpr qint64 rateTickMs = 20;

}  // namespace

void PlanPlayer::start(Plan plan, qint64 nowMs)
{
    clear();
    plan_ = std::move(plan);
    playing_ = true;
    // The first tick's worth may go at once.
    rateOriginMs_ = nowMs - rateTickMs;
    if (plan_.delayMs > 0)
        waitFor(plan_.delayMs, Wait::Silence, nowMs);
}

PlanPlayer::Move PlanPlayer::next(qint64 nowMs, qint64 room)
{
    if (!playing_)
        return {Move::What::Done, {}, 0};
    for (;;) {
        if (wait_ != Wait::None) {
            if (nowMs < waitUntilMs_)
                return {Move::What::Wait, {}, waitUntilMs_};
            // A delay or a gap is silence, not time that --rate allows bytes for.
            if (wait_ == Wait::Silence)
                rateOriginMs_ += nowMs - waitFromMs_;
            wait_ = Wait::None;
        }
        if (step_ < 0 || sent_ == current().size()) {
            if (!advance(nowMs)) {
                playing_ = false;
                return {Move::What::Done, {}, 0};
            }
            continue;
        }
        const qint64 remaining = current().size() - sent_;
        const qint64 allowance = rate_ > 0 ? rateAllowance(nowMs) : remaining;
        const qint64 count = std::min({remaining, allowance, room});
        if (count > 0) {
            const QByteArray bytes = QByteArray::fromRawData(current().constData() + sent_, static_cast<int>(count));
            sent_ += count;
            rateSent_ += count;
            return {Move::What::Send, bytes, 0};
        }
        if (allowance == 0) {
            waitFor(rateTickMs, Wait::Rate, nowMs);
            continue;
        }
        return {Move::What::Full, {}, 0};
    }
}

// Moves to the plan's next bytes, after their gap; false when none are left.
bool PlanPlayer::advance(qint64 nowMs)
{
    sent_ = 0;
    if (inEndless_)
        return true;
    ++step_;
    if (step_ < plan_.steps.size()) {
        if (plan_.steps[step_].afterMs > 0)
            waitFor(plan_.steps[step_].afterMs, Wait::Silence, nowMs);
        return true;
    }
    if (plan_.ending == Ending::Endless && !plan_.endless.isEmpty()) {
        inEndless_ = true;
        return true;
    }
    return false;
}

void PlanPlayer::waitFor(qint64 ms, Wait kind, qint64 nowMs)
{
    wait_ = kind;
    waitFromMs_ = nowMs;
    waitUntilMs_ = nowMs + ms;
}

// --rate: what the time since the reply began allows, less what has gone. No more than a
// second's worth is saved up while the peer does not read.
qint64 PlanPlayer::rateAllowance(qint64 nowMs)
{
    qint64 allowed = rate_ * (nowMs - rateOriginMs_) / 1000 - rateSent_;
    if (allowed > rate_) {
        rateOriginMs_ = nowMs - (rateSent_ + rate_) * 1000 / rate_;
        allowed = rate_;
    }
    return std::max<qint64>(0, allowed);
}
