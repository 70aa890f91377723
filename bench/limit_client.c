/* The poll cycle with nothing but system calls: the limit that testVRN730's design can
 * reach. Same options, request, waits, read loop and status line as the client; the
 * previous cycle's socket is closed when the next cycle starts; one buffer for all cycles.
 * Addresses in digits only.
 *
 *   limit_client -i ADDR [-p period_ms] [-t responseTimeOut]
 */
#define _GNU_SOURCE
#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

enum { maxReplyBytes = 16 * 1024 * 1024 };

static const char json[] = "{\"jsonrp\":\"2.0\",\"method\":\"getSp\",\"params\":null},\"id\":70}";

static char *response;
static size_t responseSize;
static size_t responseCapacity;

static int waitFor(int fd, short events, int timeoutMs)
{
    struct pollfd p = {.fd = fd, .events = events};
    int ready;
    while ((ready = poll(&p, 1, timeoutMs)) < 0 && errno == EINTR) {
    }
    return ready > 0;
}

static int connectTo(const struct sockaddr_in *device, int timeoutMs)
{
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return -1;
    if (connect(fd, (const struct sockaddr *)device, sizeof *device) == 0)
        return fd;
    int error = 0;
    socklen_t size = sizeof error;
    if (errno == EINPROGRESS && waitFor(fd, POLLOUT, timeoutMs) &&
        getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &size) == 0 && error == 0)
        return fd;
    close(fd);
    return -1;
}

static void appendAvailable(int fd, int available)
{
    size_t wanted = (size_t)available;
    if (wanted > maxReplyBytes - responseSize)
        wanted = maxReplyBytes - responseSize;
    if (responseSize + wanted > responseCapacity) {
        responseCapacity = responseCapacity ? responseCapacity : 65536;
        while (responseCapacity < responseSize + wanted)
            responseCapacity *= 2;
        response = realloc(response, responseCapacity);
        if (!response)
            abort();
    }
    ssize_t got = read(fd, response + responseSize, wanted);
    if (got > 0)
        responseSize += (size_t)got;
}

static void printStatus(int passes)
{
    printf("nLoop:\t%d", passes);
    const char *end = memchr(response, '\0', responseSize);
    if (!end)
        end = response + responseSize;
    const char *key = memmem(response, (size_t)(end - response), "\"realTime\":", 11);
    if (key) {
        const char *comma = memchr(key, ',', (size_t)(end - key));
        printf("\t%.*s\t", (int)((comma ? comma : end) - key), key);
    }
    /* Small counters over fixed blocks, so the compiler compares 16 bytes at a time. */
    int opening = 0, closing = 0;
    size_t at = 0;
    for (; at + 64 <= responseSize; at += 64) {
        unsigned char blockOpening = 0, blockClosing = 0;
        for (size_t i = 0; i < 64; ++i) {
            blockOpening += response[at + i] == '{';
            blockClosing += response[at + i] == '}';
        }
        opening += blockOpening;
        closing += blockClosing;
    }
    for (; at < responseSize; ++at) {
        opening += response[at] == '{';
        closing += response[at] == '}';
    }
    printf("\tlen:\t%zu\tn{:%d\tn}:%d\r", responseSize, opening, closing);
    if (opening != closing || opening == 0 || responseSize == 0)
        fputs("\033[0;37;41m\nError\033[0m\n", stdout);
    fputs("\033[0m", stdout);
    if (fflush(stdout) != 0)
        exit(1);
}

int main(int argc, char *argv[])
{
    const char *ip = NULL;
    int period = 500, timeout = 1000, option;
    while ((option = getopt(argc, argv, "i:p:t:")) != -1) {
        if (option == 'i')
            ip = optarg;
        else if (option == 'p')
            period = atoi(optarg);
        else if (option == 't')
            timeout = atoi(optarg);
    }
    struct sockaddr_in device = {.sin_family = AF_INET, .sin_port = htons(80)};
    if (!ip || inet_pton(AF_INET, ip, &device.sin_addr) != 1) {
        fprintf(stderr, "usage: limit_client -i ADDR [-p period_ms] [-t responseTimeOut]\n");
        return 2;
    }
    char request[512];
    int requestSize = snprintf(request, sizeof request,
                               "POST /api.php HTTP/1.1\r\nHost: %s:80\r\nConnection: Keep-Alive\r\n"
                               "Content-Length: %zu\r\n\r\n%s",
                               ip, sizeof json - 1, json);

    int previous = -1;
    for (;;) {
        if (period > 0) {
            struct timespec pause = {period / 1000, (period % 1000) * 1000000L};
            while (nanosleep(&pause, &pause) == -1 && errno == EINTR) {
            }
        }
        responseSize = 0;
        if (previous >= 0)
            close(previous);
        previous = connectTo(&device, timeout * 10);
        if (previous < 0) {
            fputs("\033[0;37;41mNo connection\033[0m\n", stdout);
            fflush(stdout);
            continue;
        }
        ssize_t sent = write(previous, request, (size_t)requestSize); /* unchecked, as in the client */
        (void)sent;
        waitFor(previous, POLLIN, 30000);
        int passes = 0, available = 0;
        while (ioctl(previous, FIONREAD, &available) == 0 && available > 0) {
            ++passes;
            appendAvailable(previous, available);
            if (responseSize >= maxReplyBytes)
                break;
            waitFor(previous, POLLIN, timeout);
        }
        printStatus(passes);
    }
}
