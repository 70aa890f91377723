#include "http.h"

#include <QList>

#include <algorithm>
#include <cstring>

namespace {

// More digits than this could not be buffered anyway, and cannot overflow 64 bits.
constexpr int maxLengthDigits = 18;

ParseResult rejected(const char *status, const QByteArray &reason)
{
    ParseResult result;
    result.state = Parse::Rejected;
    result.status = status;
    result.reason = reason;
    return result;
}

bool isHeader(const QByteArray &line, int colon, const char *name)
{
    return line.left(colon).trimmed().compare(name, Qt::CaseInsensitive) == 0;
}

bool allDigits(const QByteArray &text)
{
    return !text.isEmpty() && std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; });
}

}  // namespace

qint64 RequestReader::room() const
{
    return qint64{maxHeaderBytes} + 1 + maxBodyBytes_ - buffer_.size();
}

ParseResult RequestReader::next()
{
    // The header ends at an empty line: LF LF, or LF CR LF. The search goes on where the
    // last one stopped, so a header trickled in byte by byte is not scanned again and again.
    const char *const bytes = buffer_.constData();
    const int size = buffer_.size();
    int headerEnd = -1;
    for (int at = scanned_; at < size; ++at) {
        const auto *lf = static_cast<const char *>(std::memchr(bytes + at, '\n', static_cast<std::size_t>(size - at)));
        if (!lf) {
            scanned_ = size;
            break;
        }
        at = static_cast<int>(lf - bytes);
        if (at + 1 < size && bytes[at + 1] == '\n') {
            headerEnd = at + 2;
            break;
        }
        if (at + 2 < size && bytes[at + 1] == '\r' && bytes[at + 2] == '\n') {
            headerEnd = at + 3;
            break;
        }
        if (at + 2 >= size) {  // what follows this line feed has not all arrived
            scanned_ = at;
            break;
        }
    }
    if (headerEnd < 0 ? size > maxHeaderBytes : headerEnd > maxHeaderBytes)
        return rejected("431 Request Header Fields Too Large",
                        "header over " + QByteArray::number(maxHeaderBytes) + " bytes");
    if (headerEnd < 0)
        return ParseResult();
    return parseHeader(headerEnd);
}

ParseResult RequestReader::parseHeader(int headerEnd)
{
    QList<QByteArray> lines = buffer_.left(headerEnd).split('\n');
    for (QByteArray &line : lines)
        if (line.endsWith('\r'))
            line.chop(1);
    const QList<QByteArray> requestLine = lines.first().split(' ');
    if (requestLine.size() != 3 || requestLine[0].isEmpty() || requestLine[1].isEmpty() ||
        !requestLine[2].startsWith("HTTP/"))
        return rejected("400 Bad Request", "malformed request line");

    qint64 length = 0;
    bool lengthGiven = false;
    bool wantsClose = false;
    for (const QByteArray &line : lines.mid(1)) {
        const int colon = line.indexOf(':');
        if (colon <= 0)
            continue;
        if (isHeader(line, colon, "content-length")) {
            const QByteArray text = line.mid(colon + 1).trimmed();
            if (!allDigits(text))
                return rejected("400 Bad Request", "Content-Length not a number");
            int first = 0;  // leading zeros add nothing
            while (first + 1 < text.size() && text[first] == '0')
                ++first;
            if (text.size() - first > maxLengthDigits)
                return rejected("400 Bad Request", "Content-Length out of range");
            const qint64 value = text.mid(first).toLongLong();
            if (lengthGiven && value != length)
                return rejected("400 Bad Request", "two different Content-Length values");
            length = value;
            lengthGiven = true;
        } else if (isHeader(line, colon, "connection")) {
            wantsClose = line.mid(colon + 1).trimmed().toLower() == "close";
        }
    }
    if (length > maxBodyBytes_)
        return rejected("413 Content Too Large", "Content-Length " + QByteArray::number(length) +
                                                     " over the limit of " + QByteArray::number(maxBodyBytes_));
    const qint64 total = headerEnd + length;
    if (buffer_.size() < total)
        return ParseResult();

    ParseResult result;
    result.state = Parse::Done;
    Request &request = result.request;
    request.method = requestLine[0];
    request.path = requestLine[1];
    request.body = buffer_.mid(headerEnd, static_cast<int>(length));
    request.bodySize = length;
    request.wantsClose = wantsClose;
    request.raw = buffer_.left(static_cast<int>(total));
    buffer_.remove(0, static_cast<int>(total));
    scanned_ = 0;
    return result;
}

QByteArray httpResponse(const QByteArray &status, const QByteArray &type, const QByteArray &body, bool close)
{
    return "HTTP/1.1 " + status + "\r\nContent-Type: " + type +
           "\r\nContent-Length: " + QByteArray::number(body.size()) +
           "\r\nConnection: " + (close ? "close" : "keep-alive") + "\r\n\r\n" + body;
}
