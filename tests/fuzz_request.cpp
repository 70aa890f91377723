// libFuzzer target for device_sim's request parser. The first byte of an input chooses
// the body limit (its low bit: 1 MiB, or none to speak of) and where to split the rest;
// the rest is fed whole and in two pieces. Both ways must take off the same requests,
// each request must be the bytes it was taken from (its body kept only to its start, the
// empty lines before it skipped), and every request taken must make the buffer shorter.
// Anything else aborts, and libFuzzer keeps the input.
#include "http.h"

#include <QList>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <limits>

namespace {

void require(bool holds, const char *what)
{
    if (!holds) {
        std::fprintf(stderr, "fuzz_request: %s\n", what);
        std::abort();
    }
}

QList<QByteArray> parse(const QByteArray &input, int split, qint64 maxBodyBytes)
{
    RequestReader reader(maxBodyBytes);
    QList<QByteArray> results;
    int consumed = 0;
    for (const QByteArray &piece : {input.left(split), input.mid(split)}) {
        reader.append(piece);
        for (;;) {
            require(reader.room() >= 0, "holds more than one request's header and body");
            const ParseResult parsed = reader.next();
            if (parsed.state == Parse::Incomplete)
                break;
            if (parsed.state == Parse::Rejected) {
                require(parsed.status.startsWith("4") || parsed.status.startsWith("50"),
                        "refused without a 4xx, 501 or 505 status");
                results.append(parsed.status);
                return results;
            }
            const Request &request = parsed.request;
            require(!request.raw.isEmpty(), "took a request of no bytes");
            // Empty lines before a request line are skipped, not taken.
            while (consumed < input.size() &&
                   (input[consumed] == '\n' ||
                    (input[consumed] == '\r' && consumed + 1 < input.size() && input[consumed + 1] == '\n')))
                consumed += input[consumed] == '\n' ? 1 : 2;
            require(input.mid(consumed, request.raw.size()) == request.raw, "took bytes that are not the next ones");
            require(request.raw.endsWith(request.body), "the body is not the end of the request");
            require(request.bodySize <= maxBodyBytes, "a body over the limit");
            require(request.body.size() == std::min<qint64>(request.bodySize, maxKeptBodyBytes),
                    "a body kept beyond its start");
            consumed += static_cast<int>(request.raw.size() - request.body.size() + request.bodySize);
            results.append(request.method + ' ' + request.path + ' ' + QByteArray::number(request.body.size()));
        }
    }
    return results;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    if (size < 1 || size > 256 * 1024)
        return 0;
    const qint64 maxBodyBytes = data[0] & 1 ? 1024 * 1024 : std::numeric_limits<qint64>::max() / 2;
    const QByteArray input(reinterpret_cast<const char *>(data + 1), static_cast<int>(size - 1));
    const int split = input.isEmpty() ? 0 : (data[0] >> 1) % (input.size() + 1);
    require(parse(input, split, maxBodyBytes) == parse(input, 0, maxBodyBytes), "a split changed what was taken");
    return 0;
}
