#include "connection.h"

#include "log.h"

#include <QSocketNotifier>

#include <algorithm>
#include <cerrno>

#include <sys/socket.h>
#include <unistd.h>

namespace {

constexpr int rateTickMs = 20;
// What one read takes off a connection; the rest waits in the kernel.
constexpr qint64 readChunkBytes = 64 * 1024;
// Reads in one turn on one connection, so that a fast peer does not starve the others.
constexpr int maxReadsPerTurn = 4;
// Requests read ahead of the one being answered on one connection: each is a plan built.
constexpr std::size_t maxQueuedPlans = 1;
// Plans one turn may finish on one connection before the others have their turn.
constexpr int maxPlansPerTurn = 32;
// Bytes one turn may hand to one connection's output.
constexpr qint64 maxBytesPerTurn = 1024 * 1024;
// After a refusal: how long, and how much of what the peer still sends, is read and dropped
// before the close.
constexpr int lingerMs = 5000;
constexpr qint64 maxLingerBytes = 1024 * 1024;

}  // namespace

Connection::Connection(int fd, ServeContext &context, std::function<void(Connection *)> closed)
    : context_(context), closed_(std::move(closed)), fd_(fd), peer_(peerOf(fd)),
      readNotifier_(new QSocketNotifier(fd, QSocketNotifier::Read, this)),
      writeNotifier_(new QSocketNotifier(fd, QSocketNotifier::Write, this)), reader_(context.options.maxBodyBytes)
{
    writeNotifier_->setEnabled(false);
    connect(readNotifier_, &QSocketNotifier::activated, this, [this] { serve(); });
    connect(writeNotifier_, &QSocketNotifier::activated, this, [this] {
        if (flushOutput())
            serve();
    });
    for (QTimer *timer : {&pause_, &deadline_, &resume_})
        timer->setSingleShot(true);
    resume_.setInterval(0);
    connect(&pause_, &QTimer::timeout, this, [this] {
        resumeAfterPause();
        serve();
    });
    connect(&deadline_, &QTimer::timeout, this, [this] { deadlinePassed(); });
    connect(&resume_, &QTimer::timeout, this, [this] { serve(); });
}

Connection::~Connection()
{
    if (fd_ >= 0) {
        readNotifier_->setEnabled(false);
        writeNotifier_->setEnabled(false);
        ::close(fd_);
    }
}

void Connection::start()
{
    lastRequestMs_ = context_.clock.elapsed();  // idle counts from the accept until a request comes
    serve();
}

void Connection::drop()
{
    closeNow("device_sim went down");
}

// The serve loop: steps until the connection is blocked, or has had its share of the turn.
void Connection::serve()
{
    readsThisTurn_ = 0;
    sentThisTurn_ = 0;
    int plansFinished = 0;
    while (state_ != State::Closed) {
        const State before = state_;
        if (!serveStep())
            break;
        const bool planFinished = before == State::Sending && state_ == State::Reading;
        if ((planFinished && ++plansFinished == maxPlansPerTurn) || sentThisTurn_ >= maxBytesPerTurn) {
            resume_.start();
            break;
        }
    }
    if (state_ == State::Closed || !flushOutput())
        return;
    if (!mayRead() && !ending_ && !inputEnded_ && !throttled_ && unsent() >= context_.outputBound) {
        throttled_ = true;
        logLine(QStringLiteral("%1 %2 %3 bytes unsent: not reading from it until it reads")
                    .arg(timestamp(), peer_)
                    .arg(unsent()));
    }
    updateNotifiers();
    armDeadline();
}

// One step of the loop; false when the connection is blocked.
bool Connection::serveStep()
{
    switch (state_) {
    case State::Reading:
        takeRequests();
        if (broken_) {
            closeNow("the peer reset the connection");
            return false;
        }
        if (!queue_.empty()) {
            startPlan();
            return true;
        }
        if (inputEnded_) {  // all that came before the peer's FIN has been answered
            state_ = State::Closing;
            return true;
        }
        return false;
    case State::Sending:
        switch (sendCurrent()) {
        case Sent::All:
            nextStep();
            return true;
        case Sent::Some:
            return true;
        case Sent::Blocked:
            return false;
        }
        return false;
    case State::Closing:
        if (flushOutput() && unsent() == 0)
            closeNow();
        return false;
    case State::Lingering:
        if (flushOutput() && unsent() == 0 && !dropWhileLingering())
            closeNow();
        return false;
    case State::Delaying:
    case State::RateWaiting:
    case State::Closed:
        return false;
    }
    return false;
}

// Requests are read between plans, a few ahead, while the peer takes what it is sent.
bool Connection::mayRead() const
{
    return state_ == State::Reading && !inputEnded_ && !ending_ && queue_.size() < maxQueuedPlans &&
           unsent() < context_.outputBound;
}

// Parses what has arrived into plans, reading more while there is room for it.
void Connection::takeRequests()
{
    while (queue_.size() < maxQueuedPlans && !ending_) {
        ParseResult parsed = reader_.next();
        if (parsed.state == Parse::Incomplete) {
            // The peer waits for this before it sends the body; after the replies ahead of it.
            if (queue_.empty() && reader_.takeContinue())
                queueOutput(QByteArrayLiteral("HTTP/1.1 100 Continue\r\n\r\n"));
            if (!mayRead() || readsThisTurn_ == maxReadsPerTurn || !readInput())
                return;
            continue;
        }
        requestSinceMs_ = -1;
        if (parsed.state == Parse::Rejected) {
            logLine(
                QStringLiteral("%1 %2 %3: %4, closing")
                    .arg(timestamp(), peer_, QString::fromLatin1(parsed.status), QString::fromLatin1(parsed.reason)));
            queue_.push_back(Replies::refusal(parsed.status));
            ending_ = true;
            return;
        }
        lastRequestMs_ = context_.clock.elapsed();
        Plan plan = context_.replies.planFor(parsed.request, context_.options.close || parsed.request.wantsClose);
        logRequest(parsed.request, plan.label);
        ending_ = plan.ending != Ending::KeepOpen;  // nothing more is read on a connection that is ending
        queue_.push_back(std::move(plan));
    }
}

// Reads one chunk; true when bytes came.
bool Connection::readInput()
{
    ++readsThisTurn_;
    const qint64 wanted = std::min(reader_.room(), readChunkBytes);
    if (wanted <= 0)
        return false;
    // One buffer for every connection: the reader copies what it keeps, and no more.
    static char chunk[readChunkBytes];
    const ssize_t got = ::recv(fd_, chunk, static_cast<std::size_t>(wanted), 0);
    if (got > 0) {
        reader_.append(QByteArray::fromRawData(chunk, static_cast<int>(got)));
        return true;
    }
    if (got < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR))
        return false;
    inputEnded_ = true;  // the peer's FIN
    broken_ = got < 0;   // reset, or another failure: nothing more goes either way
    return false;
}

void Connection::logRequest(const Request &request, const QString &label)
{
    logLine(QStringLiteral("%1 %2 %3 %4 body %5 bytes: %6")
                .arg(timestamp(), peer_, escaped(request.method), escaped(request.target))
                .arg(request.bodySize)
                .arg(label));
    if (!context_.options.dump)
        return;
    QString dump = QStringLiteral("  ") + escaped(request.raw);
    if (request.bodySize > request.body.size())
        dump += QStringLiteral(" ... (the first %1 bytes of a %2-byte body)")
                    .arg(request.body.size())
                    .arg(request.bodySize);
    logLine(dump);
}

void Connection::startPlan()
{
    plan_ = std::move(queue_.front());
    queue_.pop_front();
    step_ = -1;
    sent_ = 0;
    inEndless_ = false;
    // The first tick's worth may go at once.
    rateOriginMs_ = context_.clock.elapsed() - rateTickMs;
    rateSent_ = 0;
    if (plan_.delayMs > 0)
        pauseFor(plan_.delayMs, State::Delaying);
    else
        nextStep();
}

// Moves to the plan's next bytes: to send now, after their gap, or none left.
void Connection::nextStep()
{
    sent_ = 0;
    if (inEndless_) {
        state_ = State::Sending;
        return;
    }
    ++step_;
    if (step_ < plan_.steps.size()) {
        const int afterMs = plan_.steps[step_].afterMs;
        if (afterMs > 0)
            pauseFor(afterMs, State::Delaying);
        else
            state_ = State::Sending;
        return;
    }
    if (plan_.ending == Ending::Endless && !plan_.endless.isEmpty()) {
        inEndless_ = true;
        state_ = State::Sending;
        return;
    }
    finishPlan();
}

void Connection::finishPlan()
{
    switch (plan_.ending) {
    case Ending::KeepOpen:
    case Ending::Endless:  // with nothing to send for ever: as KeepOpen
        held_ = held_ || plan_.holds;
        plan_ = Plan();
        state_ = State::Reading;
        break;
    case Ending::Close:
        state_ = State::Closing;
        break;
    case Ending::Linger:
        state_ = State::Lingering;
        break;
    case Ending::Reset:
        resetAndClose();
        break;
    }
}

// Hands the current bytes to the output, as far as the output bound and --rate allow.
Connection::Sent Connection::sendCurrent()
{
    const QByteArray &bytes = inEndless_ ? plan_.endless : plan_.steps[step_].bytes;
    const qint64 remaining = bytes.size() - sent_;
    const qint64 allowance = context_.options.rate > 0 ? rateAllowance() : remaining;
    const qint64 room = context_.outputBound - unsent();
    const qint64 count = std::min({remaining, allowance, room});
    if (count > 0) {
        queueOutput(QByteArray::fromRawData(bytes.constData() + sent_, static_cast<int>(count)));
        sent_ += static_cast<int>(count);
        rateSent_ += count;
        sentThisTurn_ += count;
    }
    if (count == remaining)
        return Sent::All;
    if (count == allowance) {
        pauseFor(rateTickMs, State::RateWaiting);
        return Sent::Blocked;
    }
    // The output is full: on when the kernel takes some of it now, else when it can.
    if (!flushOutput() || unsent() >= context_.outputBound)
        return Sent::Blocked;
    return Sent::Some;
}

// --rate: what the time since the reply began allows, less what has gone. No more than a
// second's worth is saved up while the peer does not read.
qint64 Connection::rateAllowance()
{
    const qint64 rate = context_.options.rate;
    const qint64 now = context_.clock.elapsed();
    qint64 allowed = rate * (now - rateOriginMs_) / 1000 - rateSent_;
    if (allowed > rate) {
        rateOriginMs_ = now - (rateSent_ + rate) * 1000 / rate;
        allowed = rate;
    }
    return std::max<qint64>(0, allowed);
}

void Connection::pauseFor(int ms, State state)
{
    state_ = state;
    pausedAtMs_ = context_.clock.elapsed();
    pause_.start(ms);
}

void Connection::resumeAfterPause()
{
    if (state_ == State::Delaying) {
        // A delay or a gap is silence, not time that --rate allows bytes for.
        rateOriginMs_ += context_.clock.elapsed() - pausedAtMs_;
        if (step_ < 0)
            nextStep();
        else
            state_ = State::Sending;
    } else if (state_ == State::RateWaiting) {
        state_ = State::Sending;
    }
}

void Connection::queueOutput(const QByteArray &bytes)
{
    if (unsent() == 0)
        lastSendMs_ = context_.clock.elapsed();  // the send time-out counts from here
    outbox_.append(bytes);
}

// Gives the kernel what it takes. False when the connection failed, and is closed.
bool Connection::flushOutput()
{
    while (unsent() > 0) {
        const ssize_t written = ::send(fd_, outbox_.constData() + outboxSent_, static_cast<std::size_t>(unsent()),
                                       MSG_NOSIGNAL | MSG_DONTWAIT);
        if (written > 0) {
            outboxSent_ += written;
            lastSendMs_ = context_.clock.elapsed();
            continue;
        }
        if (written < 0 && errno == EINTR)
            continue;
        if (written < 0 && (errno == EAGAIN || errno == EWOULDBLOCK))
            break;
        closeNow("the peer is gone");
        return false;
    }
    if (unsent() == 0) {
        outbox_.clear();
        outboxSent_ = 0;
    } else if (outboxSent_ >= readChunkBytes) {
        outbox_.remove(0, static_cast<int>(outboxSent_));
        outboxSent_ = 0;
    }
    if (state_ != State::Closed)
        writeNotifier_->setEnabled(unsent() > 0);
    return true;
}

// All is sent: shuts the write side, then reads and drops what the peer still sends. False
// once the peer has closed its side, failed, or sent more than a lingering close takes.
bool Connection::dropWhileLingering()
{
    if (lingerSinceMs_ < 0) {
        lingerSinceMs_ = context_.clock.elapsed();
        if (::shutdown(fd_, SHUT_WR) != 0)
            return false;
    }
    static char dropped[readChunkBytes];
    for (int reads = 0; reads < maxReadsPerTurn; ++reads) {
        const ssize_t got = ::recv(fd_, dropped, sizeof dropped, 0);
        if (got < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR))
            return true;
        if (got <= 0)
            return false;
        lingerDropped_ += got;
        if (lingerDropped_ > maxLingerBytes)
            return false;
    }
    resume_.start();  // more may wait: the next turn reads on
    return true;
}

void Connection::updateNotifiers()
{
    readNotifier_->setEnabled(mayRead() || (state_ == State::Lingering && lingerSinceMs_ >= 0));
    writeNotifier_->setEnabled(unsent() > 0);
}

// Unsent output must be taken within --send-timeout-ms; a request, once begun, must arrive
// whole in time; a connection with nothing to do is closed after a while. One that plays
// a plan, or that a fault holds on purpose, has neither of the last two.
void Connection::armDeadline()
{
    const qint64 now = context_.clock.elapsed();
    const Options &options = context_.options;
    const bool readingRequest = mayRead() && !reader_.isEmpty();
    if (!readingRequest)
        requestSinceMs_ = -1;
    if (state_ == State::Lingering && lingerSinceMs_ >= 0) {
        deadlineKind_ = Deadline::Linger;
        deadline_.start(static_cast<int>(std::max<qint64>(0, lingerSinceMs_ + lingerMs - now)));
    } else if (unsent() > 0) {
        deadlineKind_ = Deadline::Send;
        deadline_.start(static_cast<int>(std::max<qint64>(0, lastSendMs_ + options.sendTimeoutMs - now)));
    } else if (readingRequest) {
        if (requestSinceMs_ < 0)
            requestSinceMs_ = now;
        deadlineKind_ = Deadline::Request;
        deadline_.start(static_cast<int>(std::max<qint64>(0, requestSinceMs_ + options.requestTimeoutMs - now)));
    } else if (state_ == State::Reading && mayRead() && queue_.empty() && !held_) {
        // Idle since the last request began to be answered, or the last byte went out.
        const qint64 idleSinceMs = std::max(lastRequestMs_, lastSendMs_);
        deadlineKind_ = Deadline::Idle;
        deadline_.start(static_cast<int>(std::max<qint64>(0, idleSinceMs + options.idleTimeoutMs - now)));
    } else {
        deadlineKind_ = Deadline::None;
        deadline_.stop();
    }
}

void Connection::deadlinePassed()
{
    const Options &options = context_.options;
    QString what;
    switch (deadlineKind_) {
    case Deadline::Request:
        what = QStringLiteral("request not whole %1 ms after it began (--request-timeout-ms)")
                   .arg(options.requestTimeoutMs);
        break;
    case Deadline::Idle:
        what = QStringLiteral("idle for %1 ms (--idle-timeout-ms)").arg(options.idleTimeoutMs);
        break;
    case Deadline::Send:
        what = QStringLiteral("took none of %1 unsent bytes for %2 ms (--send-timeout-ms)")
                   .arg(unsent())
                   .arg(options.sendTimeoutMs);
        break;
    case Deadline::Linger:
        closeNow();  // the reply has had its time: a reset now loses nothing
        return;
    case Deadline::None:
        return;
    }
    logLine(QStringLiteral("%1 %2 %3, closing").arg(timestamp(), peer_, what));
    closeNow();
}

void Connection::resetAndClose()
{
    if (!flushOutput())
        return;
    const linger abortive{1, 0};
    setsockopt(fd_, SOL_SOCKET, SO_LINGER, &abortive, sizeof abortive);
    closeNow();
}

// However a connection ends, it ends here; the device deletes it once the event is done.
// A reply cut short, or a request left unanswered, is logged with `why`: the request's own
// line named only what it was to get.
void Connection::closeNow(const char *why)
{
    if (state_ == State::Closed)
        return;
    const bool replying =
        state_ == State::Delaying || state_ == State::Sending || state_ == State::RateWaiting || unsent() > 0;
    const int unanswered = static_cast<int>(queue_.size()) + (replying && !inEndless_ ? 1 : 0);
    if (why && unanswered > 0)
        logLine(QStringLiteral("%1 %2 closed with %3 not sent whole: %4")
                    .arg(timestamp(), peer_,
                         unanswered == 1 ? QStringLiteral("a reply") : QStringLiteral("%1 replies").arg(unanswered),
                         QLatin1String(why)));
    state_ = State::Closed;
    pause_.stop();
    deadline_.stop();
    resume_.stop();
    // Given up before the descriptor goes, which a new connection may take at once.
    readNotifier_->setEnabled(false);
    writeNotifier_->setEnabled(false);
    ::close(fd_);
    fd_ = -1;
    closed_(this);
}
