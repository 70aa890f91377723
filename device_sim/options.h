// device_sim's command line: what it listens on, what it answers, and its limits.
#pragma once

#include "replies.h"

#include <QHostAddress>
#include <QString>
#include <QStringList>

#include <optional>

// The bounds on a connection's unsent output, above which it is not read from: four
// replies' worth, within these.
constexpr int outputBoundReplies = 4;
constexpr qint64 minOutputBound = 256 * 1024;
constexpr qint64 maxOutputBound = 4 * 1024 * 1024;
// After a refusal: how long, and how much of what the peer still sends, is read and dropped
// before the close.
constexpr int lingerMs = 5000;
constexpr qint64 maxLingerBytes = 1024 * 1024;

struct Options {
    QHostAddress listen{QHostAddress::LocalHost};
    quint16 port = 80;
    ReplySettings replies;
    bool close = false;
    int rate = 0;  // bytes per second; 0 is as fast as the peer takes them
    int downMs = 0;
    int upMs = 0;
    bool dump = false;
    // Limits on what any peer can make it hold or wait for.
    qint64 maxBodyBytes = 1024 * 1024;
    int requestTimeoutMs = 10000;
    int idleTimeoutMs = 60000;
    int sendTimeoutMs = 60000;
    std::optional<int> maxConnections;  // by default, what the descriptor limit allows
};

// What the command line asks for.
enum class Command { Run, Help, Version };

struct CommandLine {
    Command command = Command::Run;
    QString error;  // for bad input: what is wrong, in one line
    QString text;   // the help or version text
};

CommandLine parseOptions(const QStringList &arguments, Options *options);
