// device_sim's command line: what it listens on, what it answers, and its limits.
#pragma once

#include "replies.h"

#include <QHostAddress>
#include <QString>
#include <QStringList>

#include <optional>

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
