// Starting testVRN730 and signalling it: the supervisor decides, a spawner does.
#pragma once

#include <QByteArray>
#include <QList>

#include <sys/types.h>

class Spawner {
public:
    virtual ~Spawner() = default;
    // Starts testVRN730 with ARGUMENTS, its standard output the write end of a pipe whose
    // read end is *OUTPUT. False, with *WHY, when it cannot.
    virtual bool start(const QList<QByteArray> &arguments, pid_t *pid, int *output, QByteArray *why) = 0;
    virtual void signal(pid_t pid, int signal) = 0;
    // Closes a client's output once it has ended.
    virtual void closeOutput(int output) = 0;
};

// Starts clients with posix_spawn, each with its standard output on a pipe of its own,
// watched by an epoll instance, and the signals this program blocks or ignores back at
// their defaults.
class ProcessSpawner : public Spawner {
public:
    ProcessSpawner(QByteArray program, int epoll) : program_(std::move(program)), epoll_(epoll) {}

    bool start(const QList<QByteArray> &arguments, pid_t *pid, int *output, QByteArray *why) override;
    void signal(pid_t pid, int signal) override;
    void closeOutput(int output) override;

private:
    // posix_spawn's error, or that of the first call preparing it.
    int spawn(const int ends[2], pid_t *pid, char *const argv[]);

    QByteArray program_;
    int epoll_;
};
