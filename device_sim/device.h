// The device: takes connections up to its limit, reads requests off them, and plays each
// request's plan in turn, shaped by --rate. No peer can make it hold or wait without bound:
// requests are parsed within bounds, a request that does not arrive in time and a
// connection left idle are closed, and a peer that does not read is not read from either.
// With --down-ms and --up-ms it stops listening now and then, dropping its connections, as
// a device that reboots.
#pragma once

#include "http.h"
#include "listener.h"
#include "options.h"
#include "replies.h"

#include <QElapsedTimer>
#include <QTimer>

#include <unordered_map>

class QTcpSocket;

class Device {
public:
    Device(const Options &options, int maxConnections);
    ~Device();

    bool start(QString *error);

    // Unsent bytes above which a connection is not read from.
    qint64 outputBound() const { return outputBound_; }

private:
    class Connection;

    void acceptPending();
    void add(QTcpSocket *socket);
    void forget(QTcpSocket *socket);
    Connection *find(QTcpSocket *socket) const;
    bool isReading(const Connection *c) const;
    void readRequests(Connection *c);
    void logRequest(const Connection *c, const Request &request, const QString &label);
    void armDeadline(Connection *c, bool reading);
    void deadlinePassed(Connection *c);
    void startNextPlan(Connection *c);
    void wait(Connection *c, int ms, bool forRate);
    bool advance(Connection *c);
    void send(Connection *c);
    void pump(Connection *c);
    void rateTick(Connection *c);
    bool writeSome(Connection *c, qint64 budget);
    void finishPlan(Connection *c);
    void goDown();
    void comeUp();

    Options options_;
    int maxConnections_;
    qint64 outputBound_;
    Replies replies_;
    QElapsedTimer clock_;
    std::unordered_map<QTcpSocket *, Connection *> connections_;
    bool full_ = false;  // at the connection limit with a connection waiting
    QTimer upDown_;
    QTimer acceptRetry_;
    bool up_ = true;
    Listener listener_;  // last: its sockets report their close to the members above
};
