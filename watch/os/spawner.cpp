#include "os/spawner.h"

#include "os/say.h"

#include <QVector>

#include <cerrno>
#include <csignal>
#include <cstring>

#include <fcntl.h>
#include <spawn.h>
#include <sys/epoll.h>
#include <unistd.h>

extern char **environ;

bool ProcessSpawner::start(const QList<QByteArray> &arguments, pid_t *pid, int *output, QByteArray *why)
{
    int ends[2];
    if (pipe2(ends, O_CLOEXEC) != 0) {
        *why = QByteArray("cannot start testVRN730: pipe: ") + QByteArray(std::strerror(errno));
        return false;
    }
    QList<QByteArray> argv{QByteArrayLiteral("testVRN730")};
    argv += arguments;
    QVector<char *> pointers;
    for (QByteArray &argument : argv)
        pointers.append(argument.data());
    pointers.append(nullptr);
    const int error = spawn(ends, pid, pointers.data());
    close(ends[1]);
    if (error != 0) {
        close(ends[0]);
        *why = "cannot start " + program_ + ": " + QByteArray(std::strerror(error));
        return false;
    }
    epoll_event event{};
    event.events = EPOLLIN;
    event.data.fd = ends[0];
    if (epoll_ctl(epoll_, EPOLL_CTL_ADD, ends[0], &event) != 0) {
        *why = QByteArray("cannot watch testVRN730's output: epoll_ctl: ") + QByteArray(std::strerror(errno));
        kill(*pid, SIGKILL);
        close(ends[0]);
        // Reaped with the others: its end is a SIGCHLD like any.
        return false;
    }
    *output = ends[0];
    return true;
}

void ProcessSpawner::signal(pid_t pid, int signal)
{
    // The client is not reaped before its end is handled, so its pid is still its own.
    if (kill(pid, signal) != 0 && errno != ESRCH)
        say("kill " + QByteArray::number(pid) + ": " + QByteArray(std::strerror(errno)));
}

void ProcessSpawner::closeOutput(int output)
{
    close(output);
}

int ProcessSpawner::spawn(const int ends[2], pid_t *pid, char *const argv[])
{
    posix_spawn_file_actions_t actions;
    posix_spawnattr_t attributes;
    int error = posix_spawn_file_actions_init(&actions);
    if (error != 0)
        return error;
    error = posix_spawnattr_init(&attributes);
    if (error != 0) {
        posix_spawn_file_actions_destroy(&actions);
        return error;
    }
    sigset_t none;
    sigset_t defaults;
    sigemptyset(&none);
    sigemptyset(&defaults);
    for (const int signal : {SIGINT, SIGTERM, SIGHUP, SIGPIPE, SIGCHLD})
        sigaddset(&defaults, signal);
    for (const int step :
         {posix_spawn_file_actions_adddup2(&actions, ends[1], STDOUT_FILENO),
          posix_spawn_file_actions_addclose(&actions, ends[1]), posix_spawn_file_actions_addclose(&actions, ends[0]),
          posix_spawnattr_setsigmask(&attributes, &none), posix_spawnattr_setsigdefault(&attributes, &defaults),
          posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF)})
        if (error == 0)
            error = step;
    if (error == 0)
        error = posix_spawn(pid, program_.constData(), &actions, &attributes, argv, environ);
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attributes);
    return error;
}
