// The device: takes connections, reads requests, logs each one, and plays its reply with
// the shaping asked for (delay, jitter, rate); with --down-ms and --up-ms it stops
// listening now and then, dropping its connections, as a device that reboots.
#pragma once

#include "listener.h"
#include "options.h"
#include "replies.h"

#include <QHash>
#include <QPointer>
#include <QTcpSocket>
#include <QTimer>

#include <memory>

class Device {
public:
    explicit Device(const Options &options);

    bool start(QString *error);

private:
    void acceptAll();
    void receive(QTcpSocket *socket);
    void logRequest(const QTcpSocket *socket, const Request &request, const QString &label);
    void play(QPointer<QTcpSocket> socket, std::shared_ptr<const Plan> plan, int step);
    void send(QPointer<QTcpSocket> socket, const QByteArray &bytes, std::function<void()> then);
    void stream(QPointer<QTcpSocket> socket);
    void end(QTcpSocket *socket, Ending ending);
    void goDown();
    void comeUp();

    Options options_;
    Replies replies_;
    QHash<QTcpSocket *, QByteArray> buffers_;
    QTimer upDown_;
    bool up_ = true;
    Listener listener_;  // last: its sockets report their close to the members above
};
