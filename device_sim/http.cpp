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

// A header name is a token (RFC 9110 5.6.2); anything else, a NUL say, is refused.
bool isTokenChar(char c)
{
    return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') ||
           (c != '\0' && std::strchr("!#$%&'*+-.^_`|~", c) != nullptr);
}

// A method as nginx takes it: capitals, '-' and '_'.
bool isMethod(const QByteArray &method)
{
    return !method.isEmpty() && std::all_of(method.begin(), method.end(),
                                            [](char c) { return (c >= 'A' && c <= 'Z') || c == '-' || c == '_'; });
}

// Optional white space around a value is spaces and tabs only: a vertical tab or a form
// feed is part of the value.
QByteArray withoutOptionalSpace(const QByteArray &value)
{
    int first = 0;
    int end = static_cast<int>(value.size());
    while (first < end && (value[first] == ' ' || value[first] == '\t'))
        ++first;
    while (end > first && (value[end - 1] == ' ' || value[end - 1] == '\t'))
        --end;
    return value.mid(first, end - first);
}

bool allDigits(const QByteArray &text)
{
    return !text.isEmpty() && std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; });
}

// The value's comma-separated tokens, lower case, as Connection and Expect hold them.
QList<QByteArray> tokens(const QByteArray &value)
{
    QList<QByteArray> list;
    for (const QByteArray &token : value.split(','))
        if (!token.trimmed().isEmpty())
            list.append(token.trimmed().toLower());
    return list;
}

// "/api.php?x=1" and "http://host:80/api.php" both name "/api.php".
QByteArray pathOf(const QByteArray &target)
{
    QByteArray path = target;
    const int scheme = static_cast<int>(path.indexOf("://"));
    if (scheme > 0 && !path.startsWith('/')) {
        const int slash = static_cast<int>(path.indexOf('/', scheme + 3));
        path = slash < 0 ? QByteArray("/") : path.mid(slash);
    }
    const int query = static_cast<int>(path.indexOf('?'));
    return query < 0 ? path : path.left(query);
}

}  // namespace

// Empty lines before a request line are skipped, as RFC 9112 2.2 asks of a server. A CR
// at the end may be the start of one; it waits for what follows.
void RequestReader::skipEmptyLines()
{
    int skip = 0;
    const int size = static_cast<int>(buffer_.size());
    while (skip < size) {
        if (buffer_[skip] == '\n')
            skip += 1;
        else if (buffer_[skip] == '\r' && skip + 1 < size && buffer_[skip + 1] == '\n')
            skip += 2;
        else
            break;
    }
    buffer_.remove(0, skip);
    scanned_ = std::max(0, scanned_ - skip);
}

qint64 RequestReader::room() const
{
    const qint64 wanted = qint64{maxHeaderBytes} + 1 + (stage_ == Stage::Body ? bodyLeft_ : 0);
    return wanted - buffer_.size();
}

bool RequestReader::takeContinue()
{
    return std::exchange(continueDue_, false);
}

ParseResult RequestReader::next()
{
    if (stage_ == Stage::Body)
        return takeBody();
    skipEmptyLines();
    // The header ends at an empty line: LF LF, or LF CR LF. The search goes on where the
    // last one stopped, so a header trickled in byte by byte is not scanned again and again.
    const char *const bytes = buffer_.constData();
    const int size = static_cast<int>(buffer_.size());
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

// Reads the header once; what is refused here is refused as nginx refuses it.
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
    if (!isMethod(requestLine[0]))
        return rejected("400 Bad Request", "a method not in capitals");
    const QByteArray &version = requestLine[2];
    if (version.size() != 8 || version[5] < '0' || version[5] > '9' || version[6] != '.' || version[7] < '0' ||
        version[7] > '9')
        return rejected("400 Bad Request", "malformed request line");
    const bool http10 = version == "HTTP/1.0";
    if (!http10 && version != "HTTP/1.1")
        return rejected("505 HTTP Version Not Supported", "version " + version.mid(5));

    qint64 length = 0;
    bool lengthGiven = false;
    bool transferEncoding = false;
    int hosts = 0;
    QList<QByteArray> connection;
    bool expectsContinue = false;
    for (const QByteArray &line : lines.mid(1)) {
        if (line.isEmpty())
            continue;  // the empty line that ends the header
        if (line.startsWith(' ') || line.startsWith('\t'))
            return rejected("400 Bad Request", "a folded header line");
        const int colon = static_cast<int>(line.indexOf(':'));
        if (colon <= 0)
            return rejected("400 Bad Request", "a header line without a name");
        const QByteArray name = line.left(colon).toLower();
        if (name != name.trimmed() || name.contains(' ') || name.contains('\t'))
            return rejected("400 Bad Request", "white space before a colon");
        if (!std::all_of(name.begin(), name.end(), isTokenChar))
            return rejected("400 Bad Request", "a header name that is not a token");
        const QByteArray value = withoutOptionalSpace(line.mid(colon + 1));
        if (value.contains('\0') || value.contains('\r'))
            return rejected("400 Bad Request", "a NUL or a CR in a header value");
        if (name == "content-length") {
            if (!allDigits(value))
                return rejected("400 Bad Request", "Content-Length not a number");
            int first = 0;  // leading zeros add nothing
            while (first + 1 < value.size() && value[first] == '0')
                ++first;
            if (value.size() - first > maxLengthDigits)
                return rejected("400 Bad Request", "Content-Length out of range");
            const qint64 number = value.mid(first).toLongLong();
            if (lengthGiven && number != length)
                return rejected("400 Bad Request", "two different Content-Length values");
            length = number;
            lengthGiven = true;
        } else if (name == "transfer-encoding") {
            transferEncoding = true;
        } else if (name == "host") {
            ++hosts;
        } else if (name == "connection") {
            connection += tokens(value);
        } else if (name == "expect") {
            expectsContinue = tokens(value).contains("100-continue");
        }
    }
    if (transferEncoding && lengthGiven)
        return rejected("400 Bad Request", "Transfer-Encoding with Content-Length");
    if (transferEncoding)
        return rejected("501 Not Implemented", "Transfer-Encoding");
    if (hosts > 1 || (hosts == 0 && !http10))
        return rejected("400 Bad Request", hosts > 1 ? "more than one Host" : "HTTP/1.1 without Host");
    if (length > maxBodyBytes_)
        return rejected("413 Content Too Large", "Content-Length " + QByteArray::number(length) +
                                                     " over the limit of " + QByteArray::number(maxBodyBytes_));

    request_ = Request();
    request_.method = requestLine[0];
    request_.target = requestLine[1];
    request_.path = pathOf(request_.target);
    request_.bodySize = length;
    request_.wantsClose = connection.contains("close") || (http10 && !connection.contains("keep-alive"));
    request_.raw = buffer_.left(headerEnd);
    buffer_.remove(0, headerEnd);
    scanned_ = 0;
    stage_ = Stage::Body;
    bodyLeft_ = length;
    continueDue_ = expectsContinue && !http10 && length > buffer_.size();
    return takeBody();
}

void RequestReader::append(const QByteArray &bytes)
{
    const int size = static_cast<int>(bytes.size());
    const int taken = stage_ == Stage::Body && buffer_.isEmpty() ? consumeBody(bytes.constData(), size) : 0;
    buffer_.append(bytes.constData() + taken, size - taken);
}

// Takes up to `size` bytes of the body, keeping its start; returns how many it took.
int RequestReader::consumeBody(const char *bytes, int size)
{
    const int taken = static_cast<int>(std::min<qint64>(bodyLeft_, size));
    const int kept = std::min(taken, maxKeptBodyBytes - static_cast<int>(request_.body.size()));
    if (kept > 0) {
        request_.body.append(bytes, kept);
        request_.raw.append(bytes, kept);
    }
    bodyLeft_ -= taken;
    return taken;
}

// Takes what has arrived of the body.
ParseResult RequestReader::takeBody()
{
    buffer_.remove(0, consumeBody(buffer_.constData(), static_cast<int>(buffer_.size())));
    if (bodyLeft_ > 0)
        return ParseResult();
    stage_ = Stage::Header;
    continueDue_ = false;
    ParseResult result;
    result.state = Parse::Done;
    result.request = std::move(request_);
    request_ = Request();
    return result;
}

QByteArray httpHead(const QByteArray &status, const QByteArray &type, qint64 length, bool close)
{
    return "HTTP/1.1 " + status + "\r\nContent-Type: " + type + "\r\nContent-Length: " + QByteArray::number(length) +
           "\r\nConnection: " + (close ? "close" : "keep-alive") + "\r\n\r\n";
}

QByteArray httpResponse(const QByteArray &status, const QByteArray &type, const QByteArray &body, bool close)
{
    return httpHead(status, type, body.size(), close) + body;
}
