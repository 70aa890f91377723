// Where device_sim listens: a socket of its own with a long accept queue, handed to a
// QTcpServer; or for slow-accept a socket whose accept queue is kept full, so connects
// neither succeed nor fail.
#pragma once

#include <QHostAddress>
#include <QString>
#include <QTcpServer>
#include <QVector>

class Listener {
public:
    Listener(const QHostAddress &address, quint16 port, bool fullQueue);
    ~Listener();

    // Starts listening; on failure says why in plain words and what to do.
    bool listen(QString *error);
    void close();

    QTcpServer &server() { return server_; }
    // The accept queue asked of the kernel.
    static int backlog();

private:
    int boundSocket(int queue, QString *error);
    QString whyNot(int error) const;

    QHostAddress address_;
    quint16 port_;
    bool fullQueue_;
    QVector<int> rawSockets_;
    QTcpServer server_;
};
