#include "client/cycle_reader.h"

#include <algorithm>
#include <cstring>

namespace {

// What the client writes, byte for byte: a failed connection is one line; a cycle with a
// reply is its status line up to a carriage return, then the colour reset, with a bad
// reply's Error line before it.
const QByteArray noConnection = QByteArrayLiteral("\033[0;37;41mNo connection\033[0m\n");
const QByteArray statusStart = QByteArrayLiteral("nLoop:\t");
const QByteArray goodEnd = QByteArrayLiteral("\033[0m");
const QByteArray errorEnd = QByteArrayLiteral("\033[0;37;41m\nError\033[0m\n\033[0m");

int sizeOf(const QByteArray &bytes)
{
    return static_cast<int>(bytes.size());
}

// How `bytes` from `at` on stand to `whole`: all of it, a start of it, or neither.
enum class Match { Whole, Start, No };

Match matchAt(const QByteArray &bytes, int at, const QByteArray &whole)
{
    const int available = sizeOf(bytes) - at;
    const int compared = std::min(available, sizeOf(whole));
    if (std::memcmp(bytes.constData() + at, whole.constData(), static_cast<std::size_t>(compared)) != 0)
        return Match::No;
    return compared == sizeOf(whole) ? Match::Whole : Match::Start;
}

// A count as the client prints it: decimal, perhaps negative.
bool isCount(const QByteArray &text)
{
    const int digitsFrom = text.startsWith('-') ? 1 : 0;
    if (text.size() <= digitsFrom || text.size() > 11)
        return false;
    return std::all_of(text.begin() + digitsFrom, text.end(), [](char c) { return c >= '0' && c <= '9'; });
}

// "nLoop:\tL[\tFIELD\t]\tlen:\tB\tn{:O\tn}:C": the realTime text holds no tab, as the
// client masks every control character in it.
bool parseStatusLine(const QByteArray &line, Cycle *cycle)
{
    const QList<QByteArray> parts = line.split('\t');
    int at = 0;
    if (parts.size() == 8) {
        if (parts[2].isEmpty() || !parts[3].isEmpty())
            return false;
        cycle->realTime = parts[2];
        at = 2;
    } else if (parts.size() != 6) {
        return false;
    }
    if (parts[0] != "nLoop:" || parts[at + 2] != "len:" || !parts[at + 4].startsWith("n{:") ||
        !parts[at + 5].startsWith("n}:"))
        return false;
    cycle->loops = parts[1];
    cycle->bytes = parts[at + 3];
    cycle->open = parts[at + 4].mid(3);
    cycle->close = parts[at + 5].mid(3);
    return isCount(cycle->loops) && isCount(cycle->bytes) && isCount(cycle->open) && isCount(cycle->close);
}

}  // namespace

void CycleReader::feed(const QByteArray &bytes, QList<Cycle> *cycles)
{
    pending_ += bytes;
    for (;;) {
        switch (takeOne(cycles)) {
        case Step::Took:
            break;
        case Step::NeedMore:
            return;
        case Step::NotACycle:
            skipToNextCycle();
            break;
        }
        if (pending_.isEmpty())
            return;
    }
}

CycleReader::Step CycleReader::takeOne(QList<Cycle> *cycles)
{
    switch (matchAt(pending_, 0, noConnection)) {
    case Match::Whole: {
        Cycle cycle;
        cycle.state = CycleState::NoConnection;
        cycles->append(cycle);
        pending_.remove(0, noConnection.size());
        return Step::Took;
    }
    case Match::Start:
        return Step::NeedMore;
    case Match::No:
        break;
    }
    switch (matchAt(pending_, 0, statusStart)) {
    case Match::Whole:
        return takeStatusCycle(cycles);
    case Match::Start:
        return Step::NeedMore;
    case Match::No:
        break;
    }
    return Step::NotACycle;
}

CycleReader::Step CycleReader::takeStatusCycle(QList<Cycle> *cycles)
{
    const int lineEnd = static_cast<int>(pending_.indexOf('\r', std::max(scannedTo_, sizeOf(statusStart))));
    if (lineEnd < 0) {
        scannedTo_ = sizeOf(pending_);
        return pending_.size() > maxPendingBytes ? Step::NotACycle : Step::NeedMore;
    }
    Cycle cycle;
    int end = lineEnd + 1;
    const Match good = matchAt(pending_, end, goodEnd);
    const Match error = matchAt(pending_, end, errorEnd);
    if (good == Match::Whole) {
        end += goodEnd.size();
    } else if (error == Match::Whole) {
        cycle.state = CycleState::Error;
        end += errorEnd.size();
    } else if (good == Match::Start || error == Match::Start) {
        return Step::NeedMore;
    } else {
        return Step::NotACycle;
    }
    if (!parseStatusLine(pending_.left(lineEnd), &cycle))
        return Step::NotACycle;
    cycles->append(cycle);
    pending_.remove(0, end);
    scannedTo_ = 0;
    return Step::Took;
}

// Drops bytes up to the next place where a cycle can begin, keeping a tail that may be
// the start of one.
void CycleReader::skipToNextCycle()
{
    scannedTo_ = 0;
    int next = sizeOf(pending_);
    for (const QByteArray &start : {statusStart, noConnection.left(12)}) {
        const int at = static_cast<int>(pending_.indexOf(start, 1));
        if (at > 0)
            next = std::min(next, at);
    }
    if (next == sizeOf(pending_))
        next = std::max(1, sizeOf(pending_) - (sizeOf(noConnection) - 1));
    skipped_ += next;
    pending_.remove(0, next);
}
