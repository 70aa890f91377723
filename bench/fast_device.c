/* A device for benchmarks that is never the bottleneck: one thread, blocking calls, one
 * connection at a time. It reads a request through its Content-Length body, answers with
 * a fixed JSON-RPC reply, and closes; with --keep-alive it serves further requests on the
 * connection until the peer closes it; with --reply-bytes N the whole reply is N bytes.
 *
 *   fast_device ADDR PORT [--keep-alive] [--reply-bytes N]
 */
#define _GNU_SOURCE
#include <arpa/inet.h>
#include <errno.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <strings.h>
#include <sys/socket.h>
#include <unistd.h>

static const char body[] = "{\"jsonrpc\":\"2.0\",\"result\":{\"realTime\":\"12:00:00.000\",\"state\":1},\"id\":70}";

static char *reply;
static size_t replySize;

/* The reply, its body padded with spaces inside the object to make the whole N bytes. */
static void makeReply(size_t wanted)
{
    char head[128];
    size_t bodySize = sizeof body - 1;
    int headSize = snprintf(head, sizeof head,
                            "HTTP/1.1 200 OK\r\nContent-Type: application/json\r\nContent-Length: %zu\r\n\r\n", bodySize);
    if (wanted > (size_t)headSize + bodySize) {
        /* The Content-Length digits depend on the body size: settle them first. */
        for (int i = 0; i < 3; ++i) {
            bodySize = wanted - (size_t)headSize;
            headSize = snprintf(head, sizeof head,
                                "HTTP/1.1 200 OK\r\nContent-Type: application/json\r\nContent-Length: %zu\r\n\r\n",
                                bodySize);
        }
    }
    replySize = (size_t)headSize + bodySize;
    reply = malloc(replySize);
    if (!reply) {
        perror("fast_device: malloc");
        exit(1);
    }
    memcpy(reply, head, (size_t)headSize);
    memset(reply + headSize, ' ', bodySize);
    memcpy(reply + headSize, body, sizeof body - 2);  /* all but the final brace */
    reply[replySize - 1] = '}';
}

static int writeAll(int fd, const char *data, size_t size)
{
    while (size > 0) {
        ssize_t written = write(fd, data, size);
        if (written < 0) {
            if (errno == EINTR)
                continue;
            return -1;
        }
        data += written;
        size -= (size_t)written;
    }
    return 0;
}

/* Reads one whole request; returns 0 when the peer closed or failed first. */
static int readRequest(int fd)
{
    static char buffer[65536];
    size_t have = 0;
    for (;;) {
        char *end = memmem(buffer, have, "\r\n\r\n", 4);
        if (end) {
            size_t headerSize = (size_t)(end - buffer) + 4;
            size_t length = 0;
            for (char *line = buffer; line < end; line = strchr(line, '\n') + 1)
                if (strncasecmp(line, "Content-Length:", 15) == 0)
                    length = strtoul(line + 15, NULL, 10);
            if (have >= headerSize + length)
                return 1;
        }
        if (have == sizeof buffer)
            return 0;
        ssize_t got = read(fd, buffer + have, sizeof buffer - have);
        if (got < 0 && errno == EINTR)
            continue;
        if (got <= 0)
            return 0;
        have += (size_t)got;
    }
}

int main(int argc, char *argv[])
{
    if (argc < 3) {
        fprintf(stderr, "usage: fast_device ADDR PORT [--keep-alive] [--reply-bytes N]\n");
        return 2;
    }
    int keepAlive = 0;
    size_t replyBytes = 0;
    for (int i = 3; i < argc; ++i) {
        if (strcmp(argv[i], "--keep-alive") == 0)
            keepAlive = 1;
        else if (strcmp(argv[i], "--reply-bytes") == 0 && i + 1 < argc)
            replyBytes = strtoul(argv[++i], NULL, 10);
        else {
            fprintf(stderr, "fast_device: unknown argument '%s'\n", argv[i]);
            return 2;
        }
    }
    makeReply(replyBytes);

    struct sockaddr_in where = {.sin_family = AF_INET, .sin_port = htons((unsigned short)atoi(argv[2]))};
    if (inet_pton(AF_INET, argv[1], &where.sin_addr) != 1) {
        fprintf(stderr, "fast_device: '%s' is not an IPv4 address\n", argv[1]);
        return 2;
    }
    int listener = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    int yes = 1;
    setsockopt(listener, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
    if (bind(listener, (struct sockaddr *)&where, sizeof where) != 0 || listen(listener, 128) != 0) {
        perror("fast_device: cannot listen");
        return 1;
    }
    fprintf(stderr, "fast_device: listening on %s port %s\n", argv[1], argv[2]);

    for (;;) {
        int fd = accept4(listener, NULL, NULL, SOCK_CLOEXEC);
        if (fd < 0)
            continue;
        setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &yes, sizeof yes);
        do {
            if (!readRequest(fd) || writeAll(fd, reply, replySize) != 0)
                break;
        } while (keepAlive);
        close(fd);
    }
}
