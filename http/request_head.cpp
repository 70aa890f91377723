#include "http/request_head.h"

#include <algorithm>
#include <cstring>

namespace {

// More digits than this could not be buffered anyway, and cannot overflow 64 bits.
constexpr int maxLengthDigits = 18;

HeadResult refused(const char *status, const QByteArray &reason)
{
    HeadResult result;
    result.state = HeadResult::State::Refused;
    result.status = status;
    result.reason = reason;
    return result;
}

// A field name is a token (RFC 9110 5.6.2); anything else, a NUL say, is refused.
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

QByteArray RequestHead::value(const QByteArray &name) const
{
    QByteArray joined;
    for (const auto &field : fields)
        if (field.first == name)
            joined += (joined.isEmpty() ? "" : ",") + field.second;
    return joined;
}

// A CR at the end may be the start of an empty line; it waits for what follows.
void RequestHeadParser::skipEmptyLines(QByteArray *buffer)
{
    int skip = 0;
    const int size = static_cast<int>(buffer->size());
    while (skip < size) {
        if ((*buffer)[skip] == '\n')
            skip += 1;
        else if ((*buffer)[skip] == '\r' && skip + 1 < size && (*buffer)[skip + 1] == '\n')
            skip += 2;
        else
            break;
    }
    buffer->remove(0, skip);
    scanned_ = std::max(0, scanned_ - skip);
}

HeadResult RequestHeadParser::take(QByteArray *buffer)
{
    skipEmptyLines(buffer);
    // The head ends at an empty line: LF LF, or LF CR LF.
    const char *const bytes = buffer->constData();
    const int size = static_cast<int>(buffer->size());
    int headEnd = -1;
    for (int at = scanned_; at < size; ++at) {
        const auto *lf = static_cast<const char *>(std::memchr(bytes + at, '\n', static_cast<std::size_t>(size - at)));
        if (!lf) {
            scanned_ = size;
            break;
        }
        at = static_cast<int>(lf - bytes);
        if (at + 1 < size && bytes[at + 1] == '\n') {
            headEnd = at + 2;
            break;
        }
        if (at + 2 < size && bytes[at + 1] == '\r' && bytes[at + 2] == '\n') {
            headEnd = at + 3;
            break;
        }
        if (at + 2 >= size) {  // what follows this line feed has not all arrived
            scanned_ = at;
            break;
        }
    }
    if (headEnd < 0 ? size > maxBytes_ : headEnd > maxBytes_)
        return refused("431 Request Header Fields Too Large",
                       "header over " + QByteArray::number(maxBytes_) + " bytes");
    if (headEnd < 0)
        return HeadResult();
    HeadResult result = parse(buffer->left(headEnd));
    buffer->remove(0, headEnd);
    scanned_ = 0;
    return result;
}

// Reads the head once it is whole.
HeadResult RequestHeadParser::parse(const QByteArray &raw) const
{
    QList<QByteArray> lines = raw.split('\n');
    for (QByteArray &line : lines)
        if (line.endsWith('\r'))
            line.chop(1);
    const QList<QByteArray> requestLine = lines.first().split(' ');
    if (requestLine.size() != 3 || requestLine[0].isEmpty() || requestLine[1].isEmpty() ||
        !requestLine[2].startsWith("HTTP/"))
        return refused("400 Bad Request", "malformed request line");
    if (!isMethod(requestLine[0]))
        return refused("400 Bad Request", "a method not in capitals");
    const QByteArray &version = requestLine[2];
    if (version.size() != 8 || version[5] < '0' || version[5] > '9' || version[6] != '.' || version[7] < '0' ||
        version[7] > '9')
        return refused("400 Bad Request", "malformed request line");
    const bool http10 = version == "HTTP/1.0";
    if (!http10 && version != "HTTP/1.1")
        return refused("505 HTTP Version Not Supported", "version " + version.mid(5));

    HeadResult result;
    RequestHead &head = result.head;
    bool lengthGiven = false;
    bool transferEncoding = false;
    int hosts = 0;
    QList<QByteArray> connection;
    for (const QByteArray &line : lines.mid(1)) {
        if (line.isEmpty())
            continue;  // the empty line that ends the head
        if (line.startsWith(' ') || line.startsWith('\t'))
            return refused("400 Bad Request", "a folded header line");
        const int colon = static_cast<int>(line.indexOf(':'));
        if (colon <= 0)
            return refused("400 Bad Request", "a header line without a name");
        const QByteArray name = line.left(colon).toLower();
        if (name != name.trimmed() || name.contains(' ') || name.contains('\t'))
            return refused("400 Bad Request", "white space before a colon");
        if (!std::all_of(name.begin(), name.end(), isTokenChar))
            return refused("400 Bad Request", "a header name that is not a token");
        const QByteArray value = withoutOptionalSpace(line.mid(colon + 1));
        if (value.contains('\0') || value.contains('\r'))
            return refused("400 Bad Request", "a NUL or a CR in a header value");
        if (name == "content-length") {
            if (!allDigits(value))
                return refused("400 Bad Request", "Content-Length not a number");
            int first = 0;  // leading zeros add nothing
            while (first + 1 < value.size() && value[first] == '0')
                ++first;
            if (value.size() - first > maxLengthDigits)
                return refused("400 Bad Request", "Content-Length out of range");
            const qint64 number = value.mid(first).toLongLong();
            if (lengthGiven && number != head.contentLength)
                return refused("400 Bad Request", "two different Content-Length values");
            head.contentLength = number;
            lengthGiven = true;
        } else if (name == "transfer-encoding") {
            transferEncoding = true;
        } else if (name == "host") {
            ++hosts;
        } else if (name == "connection") {
            connection += tokens(value);
        } else if (name == "expect") {
            head.expectsContinue = tokens(value).contains("100-continue");
        }
        head.fields.append({name, value});
    }
    if (transferEncoding && lengthGiven)
        return refused("400 Bad Request", "Transfer-Encoding with Content-Length");
    if (transferEncoding)
        return refused("501 Not Implemented", "Transfer-Encoding");
    if (hosts > 1 || (hosts == 0 && !http10))
        return refused("400 Bad Request", hosts > 1 ? "more than one Host" : "HTTP/1.1 without Host");

    result.state = HeadResult::State::Done;
    head.method = requestLine[0];
    head.target = requestLine[1];
    head.path = pathOf(head.target);
    head.http10 = http10;
    head.wantsClose = connection.contains("close") || (http10 && !connection.contains("keep-alive"));
    head.expectsContinue = head.expectsContinue && !http10;
    head.raw = raw;
    return result;
}
