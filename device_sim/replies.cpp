#include "replies.h"

#include <QDateTime>
#include <QRegularExpression>

const QVector<ModeInfo> &modes()
{
    static const QVector<ModeInfo> table = {
        {"ok", Mode::Ok, false, "a JSON-RPC reply whose realTime changes"},
        {"silent", Mode::Silent, true, "reads the request, never answers"},
        {"no-brace", Mode::NoBrace, true, "HTTP 500 with an error page without braces"},
        {"truncated", Mode::Truncated, true, "the reply cut short inside its JSON, then a close"},
        {"burst", Mode::Burst, true, "the reply in 4 pieces, --gap-ms apart (100)"},
        {"gap", Mode::Gap, true, "half the reply, --gap-ms (1500) of silence, the rest"},
        {"stream", Mode::Stream, true, "data that never ends"},
        {"zero-byte", Mode::ZeroByte, true, "a zero byte before \"realTime\""},
        {"refuse", Mode::Refuse, true, "closes the connection without an answer"},
        {"reset", Mode::Reset, true, "half the reply, then a reset (RST), not a close"},
        {"garbage", Mode::Garbage, true, "random bytes without braces, then a close"},
        {"slow-accept", Mode::SlowAccept, false, "never accepts: connects neither succeed nor fail"},
    };
    return table;
}

QString modeName(Mode mode)
{
    for (const ModeInfo &info : modes())
        if (info.mode == mode)
            return QLatin1String(info.name);
    return QStringLiteral("?");
}

namespace {

const QByteArray errorPage = "<html><head><title>500 Internal Server Error</title></head>"
                             "<body><h1>Internal Server Error</h1></body></html>";

QByteArray requestId(const QByteArray &body)
{
    static const QRegularExpression id(QStringLiteral("\"id\"\\s*:\\s*(\\d{1,18})"));
    const QRegularExpressionMatch match = id.match(QString::fromUtf8(body));
    return match.hasMatch() ? match.captured(1).toLatin1() : QByteArray("null");
}

// What stream mode sends after its header, again and again: balanced objects.
const QByteArray &streamChunk()
{
    static const QByteArray chunk = QByteArray("{\"stream\":true}\n").repeated(16 * 1024);
    return chunk;
}

QVector<Step> inPieces(const QByteArray &bytes, int pieces, int gapMs)
{
    QVector<Step> steps;
    const int total = static_cast<int>(bytes.size());
    const int size = std::max(1, (total + pieces - 1) / pieces);
    for (int at = 0; at < total; at += size)
        steps.append({at == 0 ? 0 : gapMs, bytes.mid(at, size)});
    return steps;
}

// A stored reply holds no JSON of ours: the zero byte goes before its "realTime", or at
// the start of its body.
QByteArray withZeroByte(QByteArray reply)
{
    int at = reply.indexOf("\"realTime\"");
    if (at < 0)
        at = reply.contains("\r\n\r\n") ? reply.indexOf("\r\n\r\n") + 4 : 0;
    return reply.insert(at, '\0');
}

}  // namespace

Replies::Replies(const ReplySettings &settings)
    : settings_(settings), faultDraws_(settings.seed), jitterDraws_(settings.seed + 1), garbageDraws_(settings.seed + 2)
{
    uptime_.start();
}

Mode Replies::drawMode()
{
    if (settings_.faults.isEmpty())
        return settings_.mode;
    const bool faulty = std::uniform_real_distribution<double>(0, 1)(faultDraws_) < settings_.faultRate;
    const int pick = std::uniform_int_distribution<int>(0, settings_.faults.size() - 1)(faultDraws_);
    return faulty ? settings_.faults[pick] : Mode::Ok;
}

Plan Replies::planFor(const Request &request, bool close)
{
    ++replies_;
    Plan plan;
    plan.delayMs = settings_.delayMs + std::uniform_int_distribution<int>(0, settings_.jitterMs)(jitterDraws_);
    plan.ending = close ? Ending::Close : Ending::KeepOpen;
    if (request.path != "/api.php") {
        plan.label = QStringLiteral("404");
        plan.steps = {{0, httpResponse("404 Not Found", "text/plain", "not found\n", close)}};
        return plan;
    }
    if (request.method != "POST") {
        plan.label = QStringLiteral("405");
        plan.steps = {{0, httpResponse("405 Method Not Allowed", "text/plain", "POST only\n", close)}};
        return plan;
    }
    const Mode mode = drawMode();
    plan.label = modeName(mode);
    switch (mode) {
    case Mode::Silent:
        plan.ending = Ending::KeepOpen;
        plan.holds = true;
        break;
    case Mode::NoBrace:
        plan.steps = {{0, httpResponse("500 Internal Server Error", "text/html", errorPage, close)}};
        break;
    case Mode::Truncated: {
        const QByteArray reply = goodReply(request, close, false);
        const int cut = std::min(30, static_cast<int>(reply.size()) / 2);  // inside the result object
        plan.steps = {{0, reply.left(reply.size() - cut)}};
        plan.ending = Ending::Close;
        break;
    }
    case Mode::Burst:
        plan.steps = inPieces(goodReply(request, close, false), 4, settings_.gapMs.value_or(100));
        break;
    case Mode::Gap:
        plan.steps = inPieces(goodReply(request, close, false), 2, settings_.gapMs.value_or(1500));
        break;
    case Mode::Stream:
        plan.steps = {{0, "HTTP/1.1 200 OK\r\nContent-Type: application/json\r\n\r\n"}};
        plan.ending = Ending::Endless;
        plan.endless = streamChunk();
        break;
    case Mode::Refuse:
        plan.ending = Ending::Close;
        break;
    case Mode::Reset: {
        const QByteArray reply = goodReply(request, close, false);
        plan.steps = {{0, reply.left(reply.size() / 2)}};
        plan.ending = Ending::Reset;
        break;
    }
    case Mode::Garbage:
        plan.steps = {{0, garbage()}};
        plan.ending = Ending::Close;
        break;
    case Mode::Ok:
    case Mode::ZeroByte:
    case Mode::SlowAccept:  // its listener never accepts, so no request reaches here
        plan.steps = {{0, goodReply(request, close, mode == Mode::ZeroByte)}};
        break;
    }
    return plan;
}

Plan Replies::refusal(const QByteArray &status)
{
    Plan plan;
    plan.label = QString::fromLatin1(status.left(3));
    plan.steps = {{0, httpResponse(status, "text/plain", status.mid(4).toLower() + "\n", true)}};
    plan.ending = Ending::Linger;
    return plan;
}

int typicalReplyBytes(const ReplySettings &settings)
{
    if (settings.replyFile)
        return static_cast<int>(settings.replyFile->size());
    return std::max(settings.replyBytes, 256);
}

QByteArray Replies::goodReply(const Request &request, bool close, bool zeroByte)
{
    if (settings_.replyFile)
        return zeroByte ? withZeroByte(*settings_.replyFile) : *settings_.replyFile;
    return paddedJson(request, close, zeroByte);
}

// The JSON reply, padded to --reply-bytes when that is more than it holds anyway. The pad
// member adds 9 bytes besides its own, and may lengthen the Content-Length header.
QByteArray Replies::paddedJson(const Request &request, bool close, bool zeroByte)
{
    const JsonFields fields{QDateTime::currentDateTime().toString(QStringLiteral("HH:mm:ss.zzz")).toLatin1(), replies_,
                            uptime_.elapsed(), requestId(request.body)};
    return jsonReply(fields, close, zeroByte, settings_.replyBytes);
}

QByteArray Replies::jsonReply(const JsonFields &fields, bool close, bool zeroByte, int replyBytes)
{
    const QByteArray head = "{\"jsonrpc\":\"2.0\",\"result\":{" + QByteArray(zeroByte ? "\0" : "", zeroByte ? 1 : 0) +
                            "\"realTime\":\"" + fields.realTime + "\",\"reply\":" + QByteArray::number(fields.reply) +
                            ",\"uptime_ms\":" + QByteArray::number(fields.uptimeMs) + ",\"state\":\"running\"";
    const QByteArray tail = "},\"id\":" + fields.id + "}";
    auto build = [&](int padBytes) {
        const QByteArray pad = padBytes > 0 ? ",\"pad\":\"" + QByteArray(padBytes, 'x') + "\"" : QByteArray();
        return httpResponse("200 OK", "application/json", head + pad + tail, close);
    };
    QByteArray reply = build(0);
    for (int padBytes = replyBytes - static_cast<int>(reply.size()) - 9; padBytes > 0 && reply.size() != replyBytes;) {
        reply = build(padBytes);
        padBytes -= static_cast<int>(reply.size()) - replyBytes;
    }
    return reply;
}

// The first reply with the shortest id, closing: later replies only grow.
int Replies::smallestJsonReply(Mode mode)
{
    const JsonFields first{"00:00:00.000", 1, 0, "0"};
    return static_cast<int>(jsonReply(first, true, mode == Mode::ZeroByte, 0).size());
}

// Bytes of any value but the braces, so the client sees no JSON object in them.
QByteArray Replies::garbage()
{
    const int size = std::uniform_int_distribution<int>(64, 1024)(garbageDraws_);
    std::uniform_int_distribution<int> byte(0, 255);
    QByteArray bytes(size, Qt::Uninitialized);
    for (char &c : bytes) {
        do
            c = static_cast<char>(byte(garbageDraws_));
        while (c == '{' || c == '}');
    }
    return bytes;
}
