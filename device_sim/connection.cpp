#include "connection.h"

#include "log.h"

#include <QSocketNotifier>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include <sys/socket.h>
#include <unistd.h>

namespace {

// Reads in one turn on one connection, so that a fast peer does not starve the others.
constexpr int maxReadsPerTurn = 4;
// Requests read ahead of the one being answered on one connection: each is a plan built.
constexpr std::size_t maxQueuedPlans = 1;
// Plans one turn may finish on one connection before the others have their turn.
constexpr int maxPlansPerTurn = 32;
// Bytes one turn may hand to one connection's output.
constexpr qint64 maxBytesPerTurn = 1024 * 1024;
// What a lingering close reads and drops at a time.
constexpr std::size_t lingerChunkBytes = 64 * 1024;

}  // namespace

Connection::Connection(int fd, ServeContext &context, std::function<void(Connection *)> closed)
    : context_(context), closed_(std::move(closed)), fd_(fd), peer_(peerOf(fd)),
      readNotifier_(new QSocketNotifier(fd, QSocketNotifier::Read, this)),
      writeNotifier_(new QSocketNotifier(fd, QSocketNotifier::Write, this)), input_(context.options.maxBodyBytes),
      player_(context.options.rate)
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
    connect(&pause_, &QTimer::timeout, this, [this] { serve(); });
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
    lastRequestMs_ = now();  // idle counts from the accept until a request comes
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
        const bool planFinished = before == State::Playing && state_ == State::Reading;
        if ((planFinished && ++plansFinished == maxPlansPerTurn) || sentThisTurn_ >= maxBytesPerTurn) {
            resume_.start();
            break;
        }
    }
    if (state_ == State::Closed || !flushOutput())
        return;
    if (!mayRead() && input_.state() == RequestSide::State::Open && !throttled_ &&
        output_.unsent() >= context_.outputBound) {
        throttled_ = true;
        logLine(QStringLiteral("%1 %2 %3 bytes unsent: not reading from it until it reads")
                    .arg(timestamp(), peer_)
                    .arg(output_.unsent()));
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
        if (input_.state() == RequestSide::State::Broken) {
            closeNow("the peer reset the connection");
            return false;
        }
        if (!queue_.empty()) {
            player_.start(std::move(queue_.front()), now());
            queue_.pop_front();
            state_ = State::Playing;
            return true;
        }
        if (input_.state() == RequestSide::State::Ended) {  // all that came before the peer's FIN is answered
            state_ = State::Closing;
            return true;
        }
        return false;
    case State::Playing:
        return play();
    case State::Closing:
        if (flushOutput() && output_.unsent() == 0)
            closeNow();
        return false;
    case State::Lingering:
        if (flushOutput() && output_.unsent() == 0 && !dropWhileLingering())
            closeNow();
        return false;
    case State::Closed:
        return false;
    }
    return false;
}

// The plan's next move: its bytes to the output, as far as the output bound allows, or a
// wait on the pause timer; false when the connection must wait.
bool Connection::play()
{
    const PlanPlayer::Move move = player_.next(now(), context_.outputBound - output_.unsent());
    switch (move.what) {
    case PlanPlayer::Move::What::Send:
        output_.queue(move.bytes, now());
        sentThisTurn_ += move.bytes.size();
        return true;
    case PlanPlayer::Move::What::Wait:
        pause_.start(static_cast<int>(std::max<qint64>(0, move.untilMs - now())));
        return false;
    case PlanPlayer::Move::What::Full:
        // On when the kernel takes some of it now, else when it can.
        return flushOutput() && output_.unsent() < context_.outputBound;
    case PlanPlayer::Move::What::Done:
        finishPlan();
        return true;
    }
    return false;
}

// Requests are read between plans, one ahead, while the peer takes what it is sent.
bool Connection::mayRead() const
{
    return state_ == State::Reading && input_.state() == RequestSide::State::Open && queue_.size() < maxQueuedPlans &&
           output_.unsent() < context_.outputBound;
}

// Takes what has arrived as plans, reading more while there is room for it.
void Connection::takeRequests()
{
    while (queue_.size() < maxQueuedPlans && input_.state() != RequestSide::State::Ending) {
        const int allowed = mayRead() ? maxReadsPerTurn - readsThisTurn_ : 0;
        int reads = allowed;
        ParseResult parsed = input_.next(fd_, &reads);
        readsThisTurn_ += allowed - reads;
        if (parsed.state == Parse::Incomplete) {
            // The peer waits for this before it sends the body; after the replies ahead of it.
            if (queue_.empty() && input_.takeContinue())
                output_.queue(QByteArrayLiteral("HTTP/1.1 100 Continue\r\n\r\n"), now());
            return;
        }
        requestSinceMs_ = -1;
        if (parsed.state == Parse::Rejected) {
            logLine(
                QStringLiteral("%1 %2 %3: %4, closing")
                    .arg(timestamp(), peer_, QString::fromLatin1(parsed.status), QString::fromLatin1(parsed.reason)));
            queue_.push_back(Replies::refusal(parsed.status));
            return;
        }
        lastRequestMs_ = now();
        Plan plan = context_.replies.planFor(parsed.request, context_.options.close || parsed.request.wantsClose);
        logRequest(parsed.request, plan.label);
        if (plan.ending != Ending::KeepOpen)
            input_.endAfterThis();  // nothing more is read on a connection that is ending
        queue_.push_back(std::move(plan));
    }
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

void Connection::finishPlan()
{
    const Plan &plan = player_.plan();
    switch (plan.ending) {
    case Ending::KeepOpen:
    case Ending::Endless:  // with nothing to send for ever: as KeepOpen
        held_ = held_ || plan.holds;
        player_.clear();
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

// Gives the kernel what it takes. False when the connection failed, and is closed.
bool Connection::flushOutput()
{
    if (output_.flush(fd_, now()) == Outbox::Flush::Failed) {
        closeNow("the peer is gone");
        return false;
    }
    if (state_ != State::Closed)
        writeNotifier_->setEnabled(output_.unsent() > 0);
    return true;
}

// All is sent: shuts the write side, then reads and drops what the peer still sends. False
// once the peer has closed its side, failed, or sent more than a lingering close takes.
bool Connection::dropWhileLingering()
{
    if (lingerSinceMs_ < 0) {
        lingerSinceMs_ = now();
        if (::shutdown(fd_, SHUT_WR) != 0)
            return false;
    }
    static char dropped[lingerChunkBytes];
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
    writeNotifier_->setEnabled(output_.unsent() > 0);
}

// Unsent output must be taken within --send-timeout-ms; a request, once begun, must arrive
// whole in time; a connection with nothing to do is closed after a while. One that plays
// a plan, or that a fault holds on purpose, has neither of the last two.
void Connection::armDeadline()
{
    const qint64 now = this->now();
    const Options &options = context_.options;
    const bool readingRequest = mayRead() && !input_.isEmpty();
    if (!readingRequest)
        requestSinceMs_ = -1;
    if (state_ == State::Lingering && lingerSinceMs_ >= 0) {
        armAt(Deadline::Linger, lingerSinceMs_ + lingerMs, now);
    } else if (output_.unsent() > 0) {
        armAt(Deadline::Send, output_.lastTakenMs() + options.sendTimeoutMs, now);
    } else if (readingRequest) {
        if (requestSinceMs_ < 0)
            requestSinceMs_ = now;
        armAt(Deadline::Request, requestSinceMs_ + options.requestTimeoutMs, now);
    } else if (state_ == State::Reading && mayRead() && queue_.empty() && !held_) {
        // Idle since the last request began to be answered, or the last byte went out.
        armAt(Deadline::Idle, std::max(lastRequestMs_, output_.lastTakenMs()) + options.idleTimeoutMs, now);
    } else {
        deadlineKind_ = Deadline::None;
        deadline_.stop();
    }
}

// The timer is set again only when the deadline moved: most turns leave it where it was.
void Connection::armAt(Deadline kind, qint64 dueMs, qint64 nowMs)
{
    if (kind == deadlineKind_ && dueMs == deadlineDueMs_ && deadline_.isActive())
        return;
    deadlineKind_ = kind;
    deadlineDueMs_ = dueMs;
    deadline_.start(static_cast<int>(std::max<qint64>(0, dueMs - nowMs)));
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
                   .arg(output_.unsent())
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
    if (setsockopt(fd_, SOL_SOCKET, SO_LINGER, &abortive, sizeof abortive) != 0)
        logLine(QStringLiteral("%1 %2 cannot make a reset (setsockopt SO_LINGER: %3); closing with a FIN instead")
                    .arg(timestamp(), peer_, QString::fromLocal8Bit(std::strerror(errno))));
    closeNow();
}

// However a connection ends, it ends here; the device deletes it once the event is done.
// A reply cut short, or a request left unanswered, is logged with `why`: the request's own
// line named only what it was to get.
void Connection::closeNow(const char *why)
{
    if (state_ == State::Closed)
        return;
    const bool replying = state_ == State::Playing || output_.unsent() > 0;
    const int unanswered = static_cast<int>(queue_.size()) + (replying && !player_.inEndless() ? 1 : 0);
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
