// device_sim's request parser, in process: what it takes off a connection's bytes and
// what it refuses, whole, split at every byte, and byte by byte.
#include "http.h"

#include <QtTest>

namespace {

const QByteArray body = CLIENT_REQUEST_BODY;
const QByteArray clientRequest = "POST /api.php HTTP/1.1\r\nHost: " CLIENT_DEFAULT_IP
                                 ":80\r\nConnection: Keep-Alive\r\nContent-Length: " +
                                 QByteArray::number(body.size()) + "\r\n\r\n" + body;

QByteArray withLength(const QByteArray &lengthHeaders, const QByteArray &rest = QByteArray())
{
    return "POST /api.php HTTP/1.1\r\nHost: x\r\n" + lengthHeaders + "\r\n" + rest;
}

QByteArray described(const ParseResult &parsed)
{
    if (parsed.state == Parse::Rejected)
        return parsed.status + ": " + parsed.reason;
    const Request &r = parsed.request;
    const QByteArray whole = r.bodySize == r.body.size() ? QByteArray() : " of " + QByteArray::number(r.bodySize);
    return r.method + " " + r.path + " body " + QByteArray::number(r.body.size()) + whole +
           (r.wantsClose ? " close" : "") + " raw " + QByteArray::number(r.raw.size());
}

// Feeds the pieces in turn and takes off all it can after each; the last entry is
// "incomplete" when it ends waiting for more.
QList<QByteArray> parse(const QList<QByteArray> &pieces, qint64 maxBodyBytes)
{
    RequestReader reader(maxBodyBytes);
    QList<QByteArray> results;
    for (const QByteArray &piece : pieces) {
        reader.append(piece);
        for (;;) {
            const ParseResult parsed = reader.next();
            if (parsed.state == Parse::Incomplete)
                break;
            results.append(described(parsed));
            if (parsed.state == Parse::Rejected)
                return results;
        }
    }
    results.append("incomplete");
    return results;
}

}  // namespace

class RequestParserTest : public QObject {
    Q_OBJECT

private slots:
    void requests_data();
    void requests();
};

void RequestParserTest::requests_data()
{
    QTest::addColumn<QByteArray>("input");
    QTest::addColumn<qint64>("maxBodyBytes");
    QTest::addColumn<QList<QByteArray>>("expected");

    const QByteArray ok = "POST /api.php body 56 raw " + QByteArray::number(clientRequest.size());
    const qint64 mib = 1024 * 1024;
    QTest::newRow("the client's own request") << clientRequest << mib << QList<QByteArray>{ok, "incomplete"};
    QTest::newRow("header not ended yet") << clientRequest.left(60) << mib << QList<QByteArray>{"incomplete"};
    QTest::newRow("body not all there") << clientRequest.left(clientRequest.size() - 1) << mib
                                        << QList<QByteArray>{"incomplete"};
    QTest::newRow("pipelined: two and the start of a third")
        << clientRequest + clientRequest + "POST /a" << mib << QList<QByteArray>{ok, ok, "incomplete"};
    QTest::newRow("LF-only line ends") << "POST /api.php HTTP/1.1\nHost: x\nContent-Length: 56\nConnection: close\n\n" +
                                              body
                                       << mib << QList<QByteArray>{"POST /api.php body 56 close raw 125", "incomplete"};
    QTest::newRow("LF then CR LF ends the header")
        << QByteArray("GET / HTTP/1.1\nHost: x\n\r\n") << mib << QList<QByteArray>{"GET / body 0 raw 25", "incomplete"};
    QTest::newRow("no Content-Length: no body; HTTP/1.0 closes")
        << QByteArray("GET /api.php HTTP/1.0\r\n\r\n") << mib
        << QList<QByteArray>{"GET /api.php body 0 close raw 25", "incomplete"};
    QTest::newRow("HTTP/1.0 that asks to be kept open")
        << QByteArray("GET /api.php HTTP/1.0\r\nConnection: Keep-Alive\r\n\r\n") << mib
        << QList<QByteArray>{"GET /api.php body 0 raw 49", "incomplete"};
    QTest::newRow("Connection as a list of tokens")
        << withLength("Connection: keep-alive, Close\r\n") << mib
        << QList<QByteArray>{"POST /api.php body 0 close raw 66", "incomplete"};
    QTest::newRow("a query string and the absolute form name the path")
        << QByteArray("GET /api.php?x=1 HTTP/1.1\r\nHost: x\r\n\r\nGET http://x:80/api.php HTTP/1.1\r\nHost: x\r\n\r\n")
        << mib << QList<QByteArray>{"GET /api.php body 0 raw 38", "GET /api.php body 0 raw 45", "incomplete"};
    QTest::newRow("a body is counted whole and kept to 64 KiB")
        << withLength("Content-Length: 70000\r\n", QByteArray(70000, 'b')) << mib
        << QList<QByteArray>{"POST /api.php body 65536 of 70000 raw 65594", "incomplete"};
    QTest::newRow("names in any case, spaces around the value, leading zeros")
        << withLength("content-LENGTH:   0003  \r\nCONNECTION: Close\r\n", "abc") << mib
        << QList<QByteArray>{"POST /api.php body 3 close raw 83", "incomplete"};
    QTest::newRow("the same length twice") << withLength("Content-Length: 3\r\nContent-Length: 3\r\n", "abc") << mib
                                           << QList<QByteArray>{"POST /api.php body 3 raw 76", "incomplete"};
    QTest::newRow("a body just at the limit") << withLength("Content-Length: 3\r\n", "abc") << qint64{3}
                                              << QList<QByteArray>{"POST /api.php body 3 raw 57", "incomplete"};

    QTest::newRow("two different lengths: 400")
        << withLength("Content-Length: 3\r\nContent-Length: 4\r\n", "abcd") << mib
        << QList<QByteArray>{"400 Bad Request: two different Content-Length values"};
    for (const char *bad : {"5x", "-1", "+56", "0x10", "", "5 6", "56,56"})
        QTest::addRow("Content-Length '%s': 400", bad)
            << withLength("Content-Length: " + QByteArray(bad) + "\r\n") << mib
            << QList<QByteArray>{"400 Bad Request: Content-Length not a number"};
    QTest::newRow("19 significant digits: 400") << withLength("Content-Length: 1234567890123456789\r\n") << mib
                                                << QList<QByteArray>{"400 Bad Request: Content-Length out of range"};
    QTest::newRow("beyond 64 bits: 400") << withLength("Content-Length: 99999999999999999999999\r\n") << mib
                                         << QList<QByteArray>{"400 Bad Request: Content-Length out of range"};
    QTest::newRow("2147483600, beyond int: 413 before any body")
        << withLength("Content-Length: 2147483600\r\n") << mib
        << QList<QByteArray>{"413 Content Too Large: Content-Length 2147483600 over the limit of 1048576"};
    QTest::newRow("2147483600 with no limit waits for its body")
        << withLength("Content-Length: 2147483600\r\n", "abc") << std::numeric_limits<qint64>::max() / 2
        << QList<QByteArray>{"incomplete"};
    QTest::newRow("one byte over the limit: 413")
        << withLength("Content-Length: 4\r\n") << qint64{3}
        << QList<QByteArray>{"413 Content Too Large: Content-Length 4 over the limit of 3"};
    QTest::newRow("a good request, then a bad one")
        << clientRequest + "GARBAGE\r\n\r\n"
        << mib << QList<QByteArray>{ok, "400 Bad Request: malformed request line"};
    QTest::newRow("a request line of two words: 400")
        << QByteArray("POST /api.php\r\n\r\n") << mib << QList<QByteArray>{"400 Bad Request: malformed request line"};
    QTest::newRow("a header over 64 KiB that never ends: 431")
        << withLength("X-Long: " + QByteArray(maxHeaderBytes, 'a')).chopped(2) << mib
        << QList<QByteArray>{"431 Request Header Fields Too Large: header over 65536 bytes"};
    // As nginx refuses them.
    QTest::newRow("Transfer-Encoding: 501") << withLength("Transfer-Encoding: chunked\r\n", "3\r\nabc\r\n0\r\n\r\n")
                                            << mib << QList<QByteArray>{"501 Not Implemented: Transfer-Encoding"};
    QTest::newRow("Transfer-Encoding with Content-Length: 400")
        << withLength("Content-Length: 3\r\nTransfer-Encoding: chunked\r\n", "abc") << mib
        << QList<QByteArray>{"400 Bad Request: Transfer-Encoding with Content-Length"};
    QTest::newRow("a folded header line: 400")
        << withLength("X-A: 1\r\n  2\r\n") << mib << QList<QByteArray>{"400 Bad Request: a folded header line"};
    QTest::newRow("white space before a colon: 400")
        << withLength("Content-Length : 0\r\n") << mib
        << QList<QByteArray>{"400 Bad Request: white space before a colon"};
    QTest::newRow("HTTP/1.1 without Host: 400") << QByteArray("GET /api.php HTTP/1.1\r\n\r\n") << mib
                                                << QList<QByteArray>{"400 Bad Request: HTTP/1.1 without Host"};
    QTest::newRow("two Hosts: 400") << withLength("Host: y\r\n") << mib
                                    << QList<QByteArray>{"400 Bad Request: more than one Host"};
    QTest::newRow("HTTP/9.9: 505") << QByteArray("GET / HTTP/9.9\r\nHost: x\r\n\r\n") << mib
                                   << QList<QByteArray>{"505 HTTP Version Not Supported: version 9.9"};
    QTest::newRow("HTTP/1.x: 400") << QByteArray("GET / HTTP/1.x\r\nHost: x\r\n\r\n") << mib
                                   << QList<QByteArray>{"400 Bad Request: malformed request line"};
    QTest::newRow("a NUL before a name's colon: 400, not a header ignored")
        << withLength(QByteArray("Content-Length\0: 3\r\n", 20), "abc") << mib
        << QList<QByteArray>{"400 Bad Request: a header name that is not a token"};
    QTest::newRow("a NUL in a header value: 400")
        << withLength(QByteArray("X-A: a\0b\r\n", 10)) << mib
        << QList<QByteArray>{"400 Bad Request: a NUL or a CR in a header value"};
    QTest::newRow("a bare CR in a header value: 400")
        << withLength("X-A: a\rb\r\n") << mib << QList<QByteArray>{"400 Bad Request: a NUL or a CR in a header value"};
    for (const char *space : {"\v", "\f"})
        QTest::addRow("Content-Length after a %s: 400", space[0] == '\v' ? "vertical tab" : "form feed")
            << withLength("Content-Length: " + QByteArray(space) + "3\r\n", "abc") << mib
            << QList<QByteArray>{"400 Bad Request: Content-Length not a number"};
    for (const QByteArray &method : {QByteArray("post"), QByteArray("PO\0ST", 5), QByteArray("P\xc3\x96ST")})
        QTest::addRow("method '%s': 400, and closed", method.toPercentEncoding().constData())
            << method + " /api.php HTTP/1.1\r\nHost: x\r\n\r\n"
            << mib << QList<QByteArray>{"400 Bad Request: a method not in capitals"};
    QTest::newRow("empty lines before a request line are skipped")
        << "\r\n\n\r\n" + clientRequest + "\r\n" + clientRequest << mib << QList<QByteArray>{ok, ok, "incomplete"};
    QTest::newRow("a header that ends just past 64 KiB: 431")
        << withLength("X-Long: " + QByteArray(maxHeaderBytes - 40, 'a') + "\r\n") << mib
        << QList<QByteArray>{"431 Request Header Fields Too Large: header over 65536 bytes"};
}

void RequestParserTest::requests()
{
    QFETCH(QByteArray, input);
    QFETCH(qint64, maxBodyBytes);
    QFETCH(QList<QByteArray>, expected);

    QCOMPARE(parse({input}, maxBodyBytes), expected);
    QList<QByteArray> bytes;
    for (const char c : input)
        bytes.append(QByteArray(1, c));
    QCOMPARE(parse(bytes, maxBodyBytes), expected);
    if (input.size() > 4096)
        return;  // every split of the long rows would take long and find nothing new
    for (int at = 1; at < input.size(); ++at) {
        const QList<QByteArray> split = parse({input.left(at), input.mid(at)}, maxBodyBytes);
        if (split != expected)
            QFAIL(qPrintable(QStringLiteral("split at %1: ").arg(at) + QString::fromLatin1(split.join(" | "))));
    }
}

QTEST_GUILESS_MAIN(RequestParserTest)
#include "tst_request_parser.moc"
