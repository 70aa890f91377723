// The device: takes connections up to its limit and serves each on its own (connection.h).
// With --down-ms and --up-ms it stops listening now and then, dropping its connections, as
// a device that reboots.
#pragma once

#include "connection.h"
#include "listener.h"
#include "options.h"
#include "replies.h"

#include <QTimer>

#include <unordered_set>

class Device {
public:
    Device(const Options &options, int maxConnections);
    ~Device();

    bool start(QString *error);

private:
    void acceptWaiting();
    void forget(Connection *connection);
    void goDown();
    void comeUp();

    Options options_;
    int maxConnections_;
    Replies replies_;
    ServeContext context_;
    std::unordered_set<Connection *> connections_;
    bool full_ = false;  // at the connection limit with a connection waiting
    QTimer upDown_;
    QTimer acceptRetry_;
    bool up_ = true;
    Listener listener_;
};
