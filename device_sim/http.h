// The HTTP that device_sim speaks: requests read off a connection's bytes, replies built.
#pragma once

#include <QByteArray>
#include <QString>

struct Request {
    QByteArray method;
    QByteArray path;
    QByteArray body;
    bool wantsClose = false;
    QByteArray raw;
};

enum class Parse { Incomplete, Done, Bad };

// Takes one whole request off the front of the buffer, once its body has arrived.
Parse takeRequest(QByteArray *buffer, Request *request);

QByteArray httpResponse(const QByteArray &status, const QByteArray &type, const QByteArray &body, bool close);

// The request's bytes for a log line: printable ASCII as it is, the rest escaped.
QString escaped(const QByteArray &bytes);
