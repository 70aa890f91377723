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

// Where a zero byte goes in a stored reply, which holds no JSON of ours: before its
// "realTime", or at the start of its body.
int zeroByteOffset(const QByteArray &reply)
{
    int at = static_cast<int>(reply.indexOf("\"realTime\""));
    if (at < 0)
        at = reply.contains("\r\n\r\n") ? static_cast<int>(reply.indexOf("\r\n\r\n")) + 4 : 0;
    return at;
}

}  // namespace

Replies::Replies(const ReplySettings &settings)
    : settings_(settings), padding_(settings.replyBytes, 'x'), faultDraws_(settings.seed),
      jitterDraws_(settings.seed + 1), garbageDraws_(settings.seed + 2)
{
    if (settings_.replyFile)
        fileZeroAt_ = zeroByteOffset(*settings_.replyFile);
    uptime_.start();
}

qint64 Replies::sizeOf(const Parts &parts)
{
    qint64 size = 0;
    for (const Part &part : parts)
        size += part.bytes.size();
    return size;
}

// COUNT bytes from FROM: a shared part as a view, a request's own part as a copy (it is
// small).
Replies::Parts Replies::midOf(const Parts &parts, qint64 from, qint64 count)
{
    Parts taken;
    for (const Part &part : parts) {
        const qint64 size = part.bytes.size();
        if (count <= 0)
            break;
        if (from >= size) {
            from -= size;
            continue;
        }
        const int n = static_cast<int>(std::min(count, size - from));
        const int at = static_cast<int>(from);
        taken.append({part.shared ? QByteArray::fromRawData(part.bytes.constData() + at, n) : part.bytes.mid(at, n),
                      part.shared});
        count -= n;
        from = 0;
    }
    return taken;
}

// The reply in PIECES pieces of one size, GAP_MS of silence before each but the first.
QVector<Step> Replies::inPieces(const Parts &parts, int pieces, int gapMs)
{
    QVector<Step> steps;
    const qint64 total = sizeOf(parts);
    const qint64 size = std::max<qint64>(1, (total + pieces - 1) / pieces);
    for (qint64 at = 0; at < total; at += size) {
        bool first = true;
        for (const Part &part : midOf(parts, at, size)) {
            steps.append({first && at > 0 ? gapMs : 0, part.bytes});
            first = false;
        }
    }
    return steps;
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
        const Parts reply = goodReply(request, close, false);
        const qint64 size = sizeOf(reply);
        const qint64 cut = std::min<qint64>(30, size / 2);  // inside the result object
        plan.steps = inPieces(midOf(reply, 0, size - cut), 1, 0);
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
        const Parts reply = goodReply(request, close, false);
        plan.steps = inPieces(midOf(reply, 0, sizeOf(reply) / 2), 1, 0);
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
        plan.steps = inPieces(goodReply(request, close, mode == Mode::ZeroByte), 1, 0);
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

Replies::Parts Replies::goodReply(const Request &request, bool close, bool zeroByte)
{
    if (!settings_.replyFile)
        return paddedJson(request, close, zeroByte);
    const QByteArray &file = *settings_.replyFile;
    const Parts whole{{file, true}};
    if (!zeroByte)
        return whole;
    return midOf(whole, 0, fileZeroAt_) + Parts{{QByteArray(1, '\0'), false}} +
           midOf(whole, fileZeroAt_, file.size() - fileZeroAt_);
}

QByteArray Replies::jsonHead(const JsonFields &fields, bool zeroByte)
{
    return "{\"jsonrpc\":\"2.0\",\"result\":{" + QByteArray(zeroByte ? "\0" : "", zeroByte ? 1 : 0) +
           "\"realTime\":\"" + fields.realTime + "\",\"reply\":" + QByteArray::number(fields.reply) +
           ",\"uptime_ms\":" + QByteArray::number(fields.uptimeMs) + ",\"state\":\"running\"";
}

QByteArray Replies::jsonTail(const JsonFields &fields)
{
    return "},\"id\":" + fields.id + "}";
}

// The JSON reply, padded to --reply-bytes when that is more than it holds anyway. The pad
// member adds 9 bytes besides its own, and may lengthen the Content-Length header. Its
// x's are a view of the padding all replies share.
Replies::Parts Replies::paddedJson(const Request &request, bool close, bool zeroByte)
{
    const JsonFields fields{QDateTime::currentDateTime().toString(QStringLiteral("HH:mm:ss.zzz")).toLatin1(), replies_,
                            uptime_.elapsed(), requestId(request.body)};
    const QByteArray head = jsonHead(fields, zeroByte);
    const QByteArray tail = jsonTail(fields);
    const auto bodyBytes = [&](qint64 padBytes) {
        return head.size() + tail.size() + (padBytes > 0 ? padBytes + 9 : 0);
    };
    const auto replyBytes = [&](qint64 padBytes) {
        return httpHead("200 OK", "application/json", bodyBytes(padBytes), close).size() + bodyBytes(padBytes);
    };
    const qint64 wanted = settings_.replyBytes;
    qint64 padBytes = 0;
    qint64 size = replyBytes(0);
    for (qint64 pad = wanted - size - 9; pad > 0 && size != wanted;) {
        padBytes = pad;
        size = replyBytes(pad);
        pad -= size - wanted;
    }
    const QByteArray start = httpHead("200 OK", "application/json", bodyBytes(padBytes), close) + head;
    if (padBytes == 0)
        return {{start + tail, false}};
    return {{start + ",\"pad\":\"", false},
            {QByteArray::fromRawData(padding_.constData(), static_cast<int>(padBytes)), true},
            {"\"" + tail, false}};
}

// The first reply with the shortest id, closing: later replies only grow.
int Replies::smallestJsonReply(Mode mode)
{
    const JsonFields first{"00:00:00.000", 1, 0, "0"};
    const QByteArray body = jsonHead(first, mode == Mode::ZeroByte) + jsonTail(first);
    return static_cast<int>(httpResponse("200 OK", "application/json", body, true).size());
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
