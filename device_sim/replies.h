// What device_sim sends for each request: the reply of its mode, or of the fault drawn for
// it, as a plan that holds every byte the device will play on the connection.
#pragma once

#include "http.h"

#include <QByteArray>
#include <QElapsedTimer>
#include <QString>
#include <QVector>

#include <optional>
#include <random>

enum class Mode { Ok, Silent, NoBrace, Truncated, Burst, Gap, Stream, ZeroByte, Refuse, Reset, Garbage, SlowAccept };

struct ModeInfo {
    const char *name;
    Mode mode;
    bool perRequestFault;  // may be drawn for one request by --fault-rate
    const char *help;
};

const QVector<ModeInfo> &modes();
QString modeName(Mode mode);

// The largest reply device_sim makes or reads from a file.
constexpr int maxReplyBytes = 256 * 1024 * 1024;

// What the replies are made of, as the command line set it.
struct ReplySettings {
    Mode mode = Mode::Ok;
    std::optional<int> gapMs;
    int replyBytes = 0;
    std::optional<QByteArray> replyFile;  // the whole reply, exactly as stored
    int delayMs = 0;
    int jitterMs = 0;
    double faultRate = 0;
    QVector<Mode> faults;  // what --fault-rate draws from
    quint32 seed = 0;
};

// The size of the replies these settings make, near enough for the device's output bound.
int typicalReplyBytes(const ReplySettings &settings);

struct Step {
    int afterMs;  // silence before these bytes
    // Bytes made for this request, or a view of those every reply shares (the --reply-file,
    // the --reply-bytes padding), which the Replies that made the plan keeps.
    QByteArray bytes;
};

// Linger: the write side is shut once all is sent, and what the peer still sends is read
// and dropped for a while before the close, so that unread input does not turn the close
// into a reset that may take the reply with it.
enum class Ending { KeepOpen, Close, Linger, Reset, Endless };

struct Plan {
    QString label;    // what the request got, for its log line: a mode, or an HTTP status
    int delayMs = 0;  // before the first step: --delay-ms and the jitter drawn
    QVector<Step> steps;
    Ending ending = Ending::KeepOpen;
    QByteArray endless;  // Endless: sent again and again after the steps
    bool holds = false;  // kept open on purpose, never answered: not idle
};

class Replies {
public:
    explicit Replies(const ReplySettings &settings);

    Plan planFor(const Request &request, bool close);
    // The plan for a request the parser refused: its status, then a close.
    static Plan refusal(const QByteArray &status);
    // The size of the smallest JSON reply the mode makes, which --reply-bytes cannot undercut.
    static int smallestJsonReply(Mode mode);

private:
    struct JsonFields {
        QByteArray realTime;
        qint64 reply;
        qint64 uptimeMs;
        QByteArray id;
    };
    struct Part {
        QByteArray bytes;
        bool shared;  // a view of padding_ or of the reply file
    };
    using Parts = QVector<Part>;

    static Parts midOf(const Parts &parts, qint64 from, qint64 count);
    static QVector<Step> inPieces(const Parts &parts, int pieces, int gapMs);
    static qint64 sizeOf(const Parts &parts);
    static QByteArray jsonHead(const JsonFields &fields, bool zeroByte);
    static QByteArray jsonTail(const JsonFields &fields);
    Mode drawMode();
    Parts goodReply(const Request &request, bool close, bool zeroByte);
    Parts paddedJson(const Request &request, bool close, bool zeroByte);
    QByteArray garbage();

    ReplySettings settings_;
    QByteArray padding_;  // --reply-bytes: the padding every JSON reply takes a view of
    int fileZeroAt_ = 0;  // --reply-file: where zero-byte puts its zero byte
    std::mt19937 faultDraws_;
    std::mt19937 jitterDraws_;
    std::mt19937 garbageDraws_;
    QElapsedTimer uptime_;
    qint64 replies_ = 0;
};
