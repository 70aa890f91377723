// A cycle of testVRN730 as its output tells it, and the states a cycle ends in: one table
// names each state for the log, the report and the metrics alike.
#pragma once

#include <QByteArray>

#include <cstring>

enum class CycleState { Ok, Error, NoConnection };

struct CycleStateName {
    CycleState state;
    const char *logWord;      // in the log's state column, and in the report
    const char *metricLabel;  // the value of the metrics' label state
};
// In the order of the enum, which indexes it.
constexpr CycleStateName cycleStates[] = {{CycleState::Ok, "ok", "ok"},
                                          {CycleState::Error, "error", "error"},
                                          {CycleState::NoConnection, "no-connection", "no_connection"}};
constexpr int cycleStateCount = static_cast<int>(sizeof cycleStates / sizeof cycleStates[0]);
static_assert(cycleStates[0].state == CycleState::Ok && cycleStates[1].state == CycleState::Error &&
                  cycleStates[2].state == CycleState::NoConnection,
              "the table is indexed by the state");

constexpr const CycleStateName &nameOf(CycleState state)
{
    return cycleStates[static_cast<int>(state)];
}

// The state whose log word is the SIZE bytes at TEXT; false when none is.
inline bool stateOfLogWord(const char *text, int size, CycleState *state)
{
    for (const CycleStateName &name : cycleStates)
        if (std::strlen(name.logWord) == static_cast<std::size_t>(size) &&
            std::memcmp(text, name.logWord, static_cast<std::size_t>(size)) == 0) {
            *state = name.state;
            return true;
        }
    return false;
}

struct Cycle {
    CycleState state = CycleState::Ok;
    // As the client printed them; all empty for NoConnection.
    QByteArray loops;
    QByteArray bytes;
    QByteArray open;
    QByteArray close;
    QByteArray realTime;  // the text after nLoop, or empty when the reply had no "realTime"

    bool operator==(const Cycle &other) const
    {
        return state == other.state && loops == other.loops && bytes == other.bytes && open == other.open &&
               close == other.close && realTime == other.realTime;
    }
};
