// The two clocks the watch reads: the monotonic one for lengths and what is due, the
// wall clock for the stamps in its logs.
#pragma once

#include <QtGlobal>

class Clock {
public:
    virtual ~Clock() = default;
    virtual qint64 monotonicMs() const = 0;
    virtual qint64 wallMs() const = 0;
};

// The system's clocks; one that cannot be read ends the process, as no time could be trusted.
class SystemClock : public Clock {
public:
    qint64 monotonicMs() const override;
    qint64 wallMs() const override;
};
