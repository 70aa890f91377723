// device_sim's modes and options, and the command line that sets them.
#pragma once

#include <QByteArray>
#include <QHostAddress>
#include <QString>
#include <QStringList>
#include <QVector>

#include <optional>

enum class Mode { Ok, Silent, NoBrace, Truncated, Burst, Gap, Stream, ZeroByte, Refuse, Reset, Garbage, SlowAccept };

struct ModeInfo {
    const char *name;
    Mode mode;
    bool perRequestFault;  // may be drawn for one request by --fault-rate
    const char *help;
};

const QVector<ModeInfo> &modes();
QString modeName(Mode mode);

// The largest reply device_sim makes or reads from a file.
constexpr int maxReplyBytes = 256 * 1024 * 1024;

struct Options {
    QHostAddress listen{QHostAddress::LocalHost};
    quint16 port = 80;
    Mode mode = Mode::Ok;
    bool close = false;
    std::optional<int> gapMs;
    int replyBytes = 0;
    std::optional<QByteArray> replyFile;  // the whole reply, exactly as stored
    int delayMs = 0;
    int jitterMs = 0;
    int rate = 0;  // bytes per second; 0 is as fast as the peer takes them
    int downMs = 0;
    int upMs = 0;
    double faultRate = 0;
    QVector<Mode> faults;  // what --fault-rate draws from
    quint32 seed = 0;
    bool dump = false;
};

// What the command line asks for.
enum class Command { Run, Help, Version };

struct ParseResult {
    Command command = Command::Run;
    QString error;  // for bad input: what is wrong, in one line
    QString text;   // the help or version text
};

ParseResult parseOptions(const QStringList &arguments, Options *options);
