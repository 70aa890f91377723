#include "os/signals.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include <sys/signalfd.h>
#include <unistd.h>

bool Signals::block(QByteArray *why)
{
    sigemptyset(&set_);
    for (const int signal : {SIGINT, SIGTERM, SIGHUP, SIGCHLD})
        sigaddset(&set_, signal);
    if (sigprocmask(SIG_BLOCK, &set_, nullptr) != 0 || std::signal(SIGPIPE, SIG_IGN) == SIG_ERR) {
        *why = QByteArray("cannot set the signals: ") + QByteArray(std::strerror(errno));
        return false;
    }
    fd_ = signalfd(-1, &set_, SFD_CLOEXEC | SFD_NONBLOCK);
    if (fd_ < 0) {
        *why = QByteArray("signalfd: ") + QByteArray(std::strerror(errno));
        return false;
    }
    return true;
}

QList<int> Signals::take()
{
    QList<int> taken;
    signalfd_siginfo info{};
    while (read(fd_, &info, sizeof info) == static_cast<ssize_t>(sizeof info))
        taken.append(static_cast<int>(info.ssi_signo));
    return taken;
}

void Signals::endBy(int signal)
{
    std::signal(signal, SIG_DFL);
    sigset_t one;
    sigemptyset(&one);
    sigaddset(&one, signal);
    raise(signal);
    sigprocmask(SIG_UNBLOCK, &one, nullptr);
    std::_Exit(128 + signal);
}

QByteArray signalName(int signal)
{
    switch (signal) {
    case SIGINT:
        return "SIGINT";
    case SIGTERM:
        return "SIGTERM";
    case SIGHUP:
        return "SIGHUP";
    case SIGKILL:
        return "SIGKILL";
    case SIGPIPE:
        return "SIGPIPE";
    case SIGSEGV:
        return "SIGSEGV";
    case SIGABRT:
        return "SIGABRT";
    default:
        return "signal " + QByteArray::number(signal);
    }
}
