#include "http.h"

#include <QList>

namespace {

constexpr int maxHeaderBytes = 64 * 1024;

QByteArray headerValue(const QList<QByteArray> &lines, const QByteArray &name)
{
    for (const QByteArray &line : lines) {
        const int colon = line.indexOf(':');
        if (colon > 0 && line.left(colon).trimmed().toLower() == name)
            return line.mid(colon + 1).trimmed();
    }
    return QByteArray();
}

}  // namespace

Parse takeRequest(QByteArray *buffer, Request *request)
{
    const int headerEnd = buffer->indexOf("\r\n\r\n");
    if (headerEnd < 0)
        return buffer->size() > maxHeaderBytes ? Parse::Bad : Parse::Incomplete;
    const QList<QByteArray> lines = buffer->left(headerEnd).split('\n');
    const QList<QByteArray> requestLine = lines.first().trimmed().split(' ');
    if (requestLine.size() != 3 || !requestLine[2].startsWith("HTTP/"))
        return Parse::Bad;

    const QByteArray lengthText = headerValue(lines, "content-length");
    bool isNumber = true;
    const int length = lengthText.isEmpty() ? 0 : lengthText.toInt(&isNumber);
    if (!isNumber || length < 0)
        return Parse::Bad;
    const int total = headerEnd + 4 + length;
    if (buffer->size() < total)
        return Parse::Incomplete;

    request->method = requestLine[0];
    request->path = requestLine[1];
    request->body = buffer->mid(headerEnd + 4, length);
    request->wantsClose = headerValue(lines, "connection").toLower() == "close";
    request->raw = buffer->left(total);
    buffer->remove(0, total);
    return Parse::Done;
}

QByteArray httpResponse(const QByteArray &status, const QByteArray &type, const QByteArray &body, bool close)
{
    return "HTTP/1.1 " + status + "\r\nContent-Type: " + type + "\r\nContent-Length: " +
           QByteArray::number(body.size()) + "\r\nConnection: " + (close ? "close" : "keep-alive") +
           "\r\n\r\n" + body;
}

QString escaped(const QByteArray &bytes)
{
    QString text;
    for (const char byte : bytes) {
        const auto c = static_cast<unsigned char>(byte);
        if (c == '\\')
            text += QLatin1String("\\\\");
        else if (c == '\r')
            text += QLatin1String("\\r");
        else if (c == '\n')
            text += QLatin1String("\\n");
        else if (c == '\t')
            text += QLatin1String("\\t");
        else if (c >= 0x20 && c < 0x7f)
            text += QLatin1Char(byte);
        else
            text += QStringLiteral("\\x%1").arg(c, 2, 16, QLatin1Char('0'));
    }
    return text;
}
