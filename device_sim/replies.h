// What device_sim sends for each request: the reply of its mode, or of the fault drawn
// for it, as steps that the device plays on the connection.
#pragma once

#include "http.h"
#include "options.h"

#include <QElapsedTimer>
#include <QVector>

#include <random>

struct Step {
    int afterMs;  // silence before these bytes
    QByteArray bytes;
};

enum class Ending { KeepOpen, Close, Reset, Endless };

struct Plan {
    QString label;  // what the request got, for its log line: a mode, or an HTTP error
    int delayMs = 0;  // before the first step: --delay-ms and the jitter drawn
    QVector<Step> steps;
    Ending ending = Ending::KeepOpen;
};

class Replies {
public:
    explicit Replies(const Options &options);

    Plan planFor(const Request &request, bool close);

    // What stream mode sends after its header, again and again: balanced objects.
    static const QByteArray &streamChunk();

private:
    Mode drawMode();
    QByteArray goodReply(const Request &request, bool close, bool zeroByte);
    QByteArray paddedJson(const Request &request, bool close, bool zeroByte);
    QByteArray garbage();

    const Options &options_;
    std::mt19937 faultDraws_;
    std::mt19937 jitterDraws_;
    std::mt19937 garbageDraws_;
    QElapsedTimer uptime_;
    qint64 replies_ = 0;
};
