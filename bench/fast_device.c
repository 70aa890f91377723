/* A device for benchmarks that is never the bottleneck: one thread, blocking calls, one
 * connection at a time. It reads a request through its Content-Length body, answers with
 * a fixed JSON-RPC reply, and closes; with --keep-alive it serves further requests on the
 * connection until the peer closes it; with --reply-bytes N the whole reply is N bytes.
 * With --many it serves every connection at once from one epoll loop, keeping each open
 * until its peer closes it, as a fleet of clients needs.
 *
 *   fast_device ADDR PORT [--keep-alive | --many] [--reply-bytes N]
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
#include <sys/epoll.h>
#include <sys/resource.h>
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
    int headSize =
        snprintf(head, sizeof head, "HTTP/1.1 200 OK\r\nContent-Type: application/json\r\nContent-Length: %zu\r\n\r\n",
                 bodySize);
    if (wanted > (size_t)headSize + bodySize) {
        /* The Content-Length digits depend on the body size: settle them first. */
        for (int i = 0; i < 3; ++i) {
            bodySize = wanted - (size_t)headSize;
            headSize =
                snprintf(head, sizeof head,
                         "HTTP/1.1 200 OK\r\nContent-Type: application/json\r\nContent-Length: %zu\r\n\r\n", bodySize);
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
    memcpy(reply + headSize, body, sizeof body - 2); /* all but the final brace */
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

/* The length of the first whole request in the bytes, or 0 while it is not all there. */
static size_t requestLength(const char *bytes, size_t have)
{
    const char *end = memmem(bytes, have, "\r\n\r\n", 4);
    if (!end)
        return 0;
    size_t headerSize = (size_t)(end - bytes) + 4;
    size_t length = 0;
    for (const char *line = bytes; line < end; line = (const char *)memchr(line, '\n', (size_t)(end + 2 - line)) + 1)
        if (strncasecmp(line, "Content-Length:", 15) == 0)
            length = strtoul(line + 15, NULL, 10);
    return have >= headerSize + length ? headerSize + length : 0;
}

/* Every connection at once: what each has sent, answered as each request is whole. */
static void serveMany(int listener)
{
    enum { maxConnections = 65536, bufferSize = 4096 };
    static char *buffers[maxConnections];
    static size_t have[maxConnections];
    struct rlimit limit;
    if (getrlimit(RLIMIT_NOFILE, &limit) == 0) {
        limit.rlim_cur = limit.rlim_max;
        setrlimit(RLIMIT_NOFILE, &limit);
    }
    int poller = epoll_create1(EPOLL_CLOEXEC);
    struct epoll_event event = {.events = EPOLLIN, .data.fd = listener};
    epoll_ctl(poller, EPOLL_CTL_ADD, listener, &event);
    struct epoll_event ready[256];
    int yes = 1;
    for (;;) {
        int count = epoll_wait(poller, ready, 256, -1);
        for (int i = 0; i < count; ++i) {
            int fd = ready[i].data.fd;
            if (fd == listener) {
                int peer = accept4(listener, NULL, NULL, SOCK_CLOEXEC | SOCK_NONBLOCK);
                if (peer < 0 || peer >= maxConnections) {
                    if (peer >= 0)
                        close(peer);
                    continue;
                }
                setsockopt(peer, IPPROTO_TCP, TCP_NODELAY, &yes, sizeof yes);
                if (!buffers[peer])
                    buffers[peer] = malloc(bufferSize);
                have[peer] = 0;
                struct epoll_event readable = {.events = EPOLLIN, .data.fd = peer};
                epoll_ctl(poller, EPOLL_CTL_ADD, peer, &readable);
                continue;
            }
            ssize_t got = read(fd, buffers[fd] + have[fd], bufferSize - have[fd]);
            if (got <= 0) {
                if (got < 0 && errno == EAGAIN)
                    continue;
                close(fd); /* leaves the epoll set with it */
                continue;
            }
            have[fd] += (size_t)got;
            size_t length;
            while ((length = requestLength(buffers[fd], have[fd])) > 0) {
                if (writeAll(fd, reply, replySize) != 0)
                    break;
                memmove(buffers[fd], buffers[fd] + length, have[fd] - length);
                have[fd] -= length;
            }
            if (have[fd] == bufferSize)
                close(fd); /* no request of ours is that long */
        }
    }
}

/* Reads one whole request; returns 0 when the peer closed or failed first. */
static int readRequest(int fd)
{
    static char buffer[65536];
    size_t have = 0;
    while (requestLength(buffer, have) == 0) {
        if (have == sizeof buffer)
            return 0;
        ssize_t got = read(fd, buffer + have, sizeof buffer - have);
        if (got < 0 && errno == EINTR)
            continue;
        if (got <= 0)
            return 0;
        have += (size_t)got;
    }
    return 1;
}

int main(int argc, char *argv[])
{
    if (argc < 3) {
        fprintf(stderr, "usage: fast_device ADDR PORT [--keep-alive | --many] [--reply-bytes N]\n");
        return 2;
    }
    int keepAlive = 0;
    int many = 0;
    size_t replyBytes = 0;
    for (int i = 3; i < argc; ++i) {
        if (strcmp(argv[i], "--keep-alive") == 0)
            keepAlive = 1;
        else if (strcmp(argv[i], "--many") == 0)
            many = 1;
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
    if (bind(listener, (struct sockaddr *)&where, sizeof where) != 0 || listen(listener, 4096) != 0) {
        perror("fast_device: cannot listen");
        return 1;
    }
    fprintf(stderr, "fast_device: listening on %s port %s\n", argv[1], argv[2]);
    if (many)
        serveMany(listener);

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
