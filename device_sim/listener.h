// Where device_sim listens: a socket of its own with a long accept queue, whose waiting
// connections the device takes as it has room; or for slow-accept a socket whose accept
// queue is kept full, so connects neither succeed nor fail.
#pragma once

#include <QHostAddress>
#include <QString>
#include <QVector>

#include <functional>

#include <sys/socket.h>

class QSocketNotifier;

// The socket address of ADDRESS and PORT; an IPv6 address may name its interface
// (fe80::1%lo, or fe80::1%1). False, with the reason, when no interface has that name.
bool socketAddressOf(const QHostAddress &address, quint16 port, sockaddr_storage *where, socklen_t *size,
                     QString *error);

class Listener {
public:
    // `waiting` is called when a connection waits to be taken.
    Listener(const QHostAddress &address, quint16 port, bool fullQueue, std::function<void()> waiting);
    ~Listener();

    // Starts listening; on failure says why in plain words and what to do.
    bool listen(QString *error);
    void close();

    // A waiting connection, connected and non-blocking; -1 with errno when none is taken.
    int take();
    // Whether waiting connections are reported.
    void setWatching(bool watching);
    // The accept queue asked of the kernel.
    static int backlog();

private:
    int boundSocket(int queue, QString *error);
    QString whyNot(int error) const;

    QHostAddress address_;
    quint16 port_;
    bool fullQueue_;
    std::function<void()> waiting_;
    int fd_ = -1;
    QSocketNotifier *notifier_ = nullptr;
    QVector<int> rawSockets_;
};
