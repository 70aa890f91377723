#include "replies.h"

#include <QDateTime>
#include <QRegularExpression>

namespace {

const QByteArray errorPage =
    "<html><head><title>500 Internal Server Error</title></head>"
    "<body><h1>Internal Server Error</h1></body></html>";

QByteArray requestId(const QByteArray &body)
{
    static const QRegularExpression id(QStringLiteral("\"id\"\\s*:\\s*(\\d{1,18})"));
    const QRegularExpressionMatch match = id.match(QString::fromUtf8(body));
    return match.hasMatch() ? match.captured(1).toLatin1() : QByteArray("null");
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

Replies::Replies(const Options &options)
    : options_(options), faultDraws_(options.seed), jitterDraws_(options.seed + 1), garbageDraws_(options.seed + 2)
{
    uptime_.start();
}

const QByteArray &Replies::streamChunk()
{
    static const QByteArray chunk = QByteArray("{\"stream\":true}\n").repeated(16 * 1024);
    return chunk;
}

Mode Replies::drawMode()
{
    if (options_.faults.isEmpty())
        return options_.mode;
    const bool faulty = std::uniform_real_distribution<double>(0, 1)(faultDraws_) < options_.faultRate;
    const int pick = std::uniform_int_distribution<int>(0, options_.faults.size() - 1)(faultDraws_);
    return faulty ? options_.faults[pick] : Mode::Ok;
}

Plan Replies::planFor(const Request &request, bool close)
{
    ++replies_;
    Plan plan;
    plan.delayMs = options_.delayMs + std::uniform_int_distribution<int>(0, options_.jitterMs)(jitterDraws_);
    const Ending ending = close ? Ending::Close : Ending::KeepOpen;
    if (request.path != "/api.php") {
        plan = {QStringLiteral("404"), plan.delayMs, {{0, httpResponse("404 Not Found", "text/plain", "not found\n", close)}}, ending};
        return plan;
    }
    if (request.method != "POST") {
        plan = {QStringLiteral("405"), plan.delayMs, {{0, httpResponse("405 Method Not Allowed", "text/plain", "POST only\n", close)}}, ending};
        return plan;
    }
    const Mode mode = drawMode();
    plan.label = modeName(mode);
    plan.ending = ending;
    switch (mode) {
    case Mode::Silent:
        plan.ending = Ending::KeepOpen;
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
        plan.steps = inPieces(goodReply(request, close, false), 4, options_.gapMs.value_or(100));
        break;
    case Mode::Gap:
        plan.steps = inPieces(goodReply(request, close, false), 2, options_.gapMs.value_or(1500));
        break;
    case Mode::Stream:
        plan.steps = {{0, "HTTP/1.1 200 OK\r\nContent-Type: application/json\r\n\r\n"}};
        plan.ending = Ending::Endless;
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
    default:
        plan.steps = {{0, goodReply(request, close, mode == Mode::ZeroByte)}};
    }
    return plan;
}

QByteArray Replies::goodReply(const Request &request, bool close, bool zeroByte)
{
    if (options_.replyFile)
        return zeroByte ? withZeroByte(*options_.replyFile) : *options_.replyFile;
    return paddedJson(request, close, zeroByte);
}

// The JSON reply, padded to --reply-bytes when that is more than it holds anyway. The pad
// member adds 9 bytes besides its own, and may lengthen the Content-Length header.
QByteArray Replies::paddedJson(const Request &request, bool close, bool zeroByte)
{
    const QByteArray realTime = QDateTime::currentDateTime().toString(QStringLiteral("HH:mm:ss.zzz")).toLatin1();
    const QByteArray head = "{\"jsonrpc\":\"2.0\",\"result\":{" + QByteArray(zeroByte ? "\0" : "", zeroByte ? 1 : 0) +
                            "\"realTime\":\"" + realTime + "\",\"reply\":" + QByteArray::number(replies_) +
                            ",\"uptime_ms\":" + QByteArray::number(uptime_.elapsed()) + ",\"state\":\"running\"";
    const QByteArray tail = "},\"id\":" + requestId(request.body) + "}";
    auto build = [&](int padBytes) {
        const QByteArray pad = padBytes > 0 ? ",\"pad\":\"" + QByteArray(padBytes, 'x') + "\"" : QByteArray();
        return httpResponse("200 OK", "application/json", head + pad + tail, close);
    };
    QByteArray reply = build(0);
    for (int padBytes = options_.replyBytes - reply.size() - 9; padBytes > 0 && reply.size() != options_.replyBytes;) {
        reply = build(padBytes);
        padBytes -= reply.size() - options_.replyBytes;
    }
    return reply;
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
