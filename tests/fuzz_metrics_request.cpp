// libFuzzer target for the request parser of testVRN730-watch's /metrics. The first byte
// of an input chooses the head's limit (its low bit: 64 or 512 bytes); the rest is
// parsed at every length, as it would arrive a byte at a time. Once a length decides the
// request, every longer one must decide it the same way; an undecided request must be
// within the limit; only GET and HEAD may scrape; every reply must be an HTTP/1.1 status
// line with a length. Anything else aborts, and libFuzzer keeps the input.
#include "metrics/server.h"

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>

namespace {

void require(bool holds, const char *what)
{
    if (!holds) {
        std::fprintf(stderr, "fuzz_metrics_request: %s\n", what);
        std::abort();
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    if (size == 0 || size > 2048)
        return 0;
    const int maxBytes = (data[0] & 1) ? 512 : 64;
    const QByteArray input(reinterpret_cast<const char *>(data + 1), static_cast<int>(size - 1));
    // Empty lines before the request line are skipped, not held.
    int empty = 0;
    while (empty < input.size() &&
           (input[empty] == '\n' || (input[empty] == '\r' && empty + 1 < input.size() && input[empty + 1] == '\n')))
        empty += input[empty] == '\n' ? 1 : 2;
    using metricsserver::Outcome;
    metricsserver::Request decided;
    bool isDecided = false;
    for (int length = 0; length <= input.size(); ++length) {
        const metricsserver::Request request = metricsserver::parseRequest(input.left(length), maxBytes);
        if (isDecided) {
            require(request.outcome == decided.outcome && request.head == decided.head &&
                        request.format == decided.format,
                    "more bytes changed a decided request");
            continue;
        }
        if (request.outcome == Outcome::NeedMore) {
            require(length - std::min(length, empty) <= maxBytes, "waited for more than the limit");
            continue;
        }
        if (request.outcome == Outcome::Scrape) {
            const QByteArray line = input.mid(empty);
            require(line.startsWith("GET /metrics") || line.startsWith("HEAD /metrics"), "scraped for another");
        }
        const QByteArray reply = metricsserver::replyTo(request, "x 1\n");
        require(reply.startsWith("HTTP/1.1 ") && reply.contains("\r\nContent-Length: ") && reply.contains("\r\n\r\n"),
                "a reply without a status line or a length");
        decided = request;
        isDecided = true;
    }
    return 0;
}
