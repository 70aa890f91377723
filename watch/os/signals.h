// The signals the watch takes: stop signals, SIGHUP and the clients' ends, blocked and
// read as data from a descriptor, so that the loop waits on them as on any other.
#pragma once

#include <QByteArray>
#include <QList>

#include <csignal>

class Signals {
public:
    // Blocks SIGINT, SIGTERM, SIGHUP and SIGCHLD, ignores SIGPIPE, and opens the
    // descriptor they come on. False with WHY.
    bool block(QByteArray *why);
    int fd() const { return fd_; }
    // The signals waiting, in the order they came.
    QList<int> take();
    // Ends the process with SIGNAL, as its default handling would.
    [[noreturn]] void endBy(int signal);

private:
    sigset_t set_{};
    int fd_ = -1;
};

// "SIGTERM", or "signal 34" for one without a name here.
QByteArray signalName(int signal);
