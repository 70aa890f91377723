#include "fleet/device_record.h"

#include "log/format.h"
#include "os/say.h"

#include <cerrno>
#include <cstring>

DeviceRecord::DeviceRecord(const Target &target, QByteArray logPath, QByteArray version, QVector<double> buckets,
                           bool named)
    : version_(std::move(version)), named_(named), log_(std::move(logPath)), device_(std::move(buckets))
{
    device_.address = target.address;
    device_.labels = target.labels;
}

bool DeviceRecord::open()
{
    if (log_.open())
        return true;
    if (errno == EWOULDBLOCK)
        say("another watch is writing to " + log_.path() + "; two would mix their runs in it");
    else
        say("cannot write to " + log_.path() + ": " + QByteArray(std::strerror(errno)));
    return false;
}

void DeviceRecord::say(const QByteArray &text) const
{
    ::say(named_ ? device_.address + ": " + text : text);
}

void DeviceRecord::sayCannotWrite() const
{
    say("cannot write to " + log_.path() + ": " + log_.lostWhy() + "; watching on, and counting the cycles lost");
}

void DeviceRecord::started(qint64 wallMs, qint64 monoMs, const QByteArray &command)
{
    log_.setContinuedLines(watchlog::runLines(version_, watchlog::RunMark::Continued, wallMs, command));
    const QByteArray startLines = watchlog::runLines(version_, watchlog::RunMark::Started, wallMs, command);
    if (!log_.write(startLines, 0, wallMs)) {
        // A full disk, say: the client starts all the same, and the lines wait for room.
        log_.keepFirst(startLines);
        sayCannotWrite();
    }
    skipped_ += reader_.skippedBytes();
    reader_ = CycleReader();
    lastCycleMonoMs_ = monoMs;
}

int DeviceRecord::take(const QByteArray &bytes, qint64 wallMs, qint64 monoMs)
{
    QList<Cycle> cycles;
    reader_.feed(bytes, &cycles);
    if (cycles.isEmpty())
        return 0;
    const qint64 sinceLastMs = monoMs - lastCycleMonoMs_;
    lastCycleMonoMs_ = monoMs;
    QByteArray lines;
    for (int i = 0; i < cycles.size(); ++i) {
        // Cycles read together ended together, as far as the watch can tell.
        const qint64 cycleMs = i == 0 ? sinceLastMs : 0;
        lines += watchlog::cycleLine(wallMs, cycleMs, cycles[i]);
        device_.count(cycles[i].state, cycleMs, wallMs);
    }
    write(lines, cycles.size(), wallMs);
    return static_cast<int>(cycles.size());
}

bool DeviceRecord::stopped(qint64 wallMs, const QByteArray &reason)
{
    return write(watchlog::stoppedLine(wallMs, reason), 0, wallMs);
}

QByteArray DeviceRecord::lostNote() const
{
    return "; cannot write to " + log_.path() + ": " + log_.lostWhy() + "; " + QByteArray::number(log_.lostCycles()) +
           " cycles lost";
}

bool DeviceRecord::write(const QByteArray &lines, qint64 cycles, qint64 wallMs)
{
    const qint64 lostBefore = log_.lostCycles();
    if (log_.write(lines, cycles, wallMs)) {
        if (lostBefore > 0)
            say("writing to " + log_.path() + " again; " + QByteArray::number(lostBefore) + " cycles were lost");
        return true;
    }
    device_.lostCycles += static_cast<quint64>(cycles);
    if (lostBefore == 0 && cycles > 0)
        sayCannotWrite();
    return false;
}
