/* Writes a month of testVRN730-watch log to standard output: a device polled ten times
 * a second (-p 0 -t 100 against a device that closes), with a bad reply now and then, a
 * 30 s down window every day, and a watch restarted at the middle of the month, as a
 * long-running watch leaves it. The same seed gives the same bytes.
 *
 * Usage: month_log [DAYS] [CYCLE_MS] > month.log    (default 30 days of 100 ms cycles) */
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>

static uint64_t state = 0x9e3779b97f4a7c15ULL;

static uint64_t next_random(void)
{
    state ^= state << 13;
    state ^= state >> 7;
    state ^= state << 17;
    return state;
}

/* 2026-11-01T00:00:00.000Z */
static void stamp(char *out, int64_t ms)
{
    time_t seconds = (time_t)(ms / 1000);
    struct tm utc;
    gmtime_r(&seconds, &utc);
    snprintf(out, 64, "%04d-%02d-%02dT%02d:%02d:%02d.%03dZ", utc.tm_year + 1900, utc.tm_mon + 1, utc.tm_mday,
             utc.tm_hour, utc.tm_min, utc.tm_sec, (int)(ms % 1000));
}

static void start_line(int64_t ms)
{
    char text[64];
    stamp(text, ms);
    printf("# testVRN730-watch 1.0.0 started %s: testVRN730 -i 127.0.0.1 -p 0 -t 100\n"
           "time\tstate\tcycle_ms\tloops\tbytes\topen\tclose\trealTime\n",
           text);
}

static void stop_line(int64_t ms)
{
    char text[64];
    stamp(text, ms);
    printf("# stopped %s (SIGTERM)\n", text);
}

int main(int argc, char **argv)
{
    const long days = argc > 1 ? strtol(argv[1], NULL, 10) : 30;
    const long cycle = argc > 2 ? strtol(argv[2], NULL, 10) : 100;
    if (days < 1 || days > 366 || cycle < 1 || cycle > 60000) {
        fprintf(stderr, "month_log: DAYS from 1 to 366, CYCLE_MS from 1 to 60000\n");
        return 2;
    }
    static char buffer[1 << 20];
    setvbuf(stdout, buffer, _IOFBF, sizeof buffer);
    const int64_t begin = 1793491200000LL; /* 2026-11-01T00:00:00Z */
    const int64_t end = begin + days * 86400000LL;
    const int64_t restart = begin + days * 86400000LL / 2;
    int64_t ms = begin;
    int restarted = 0;
    start_line(ms);
    while (ms < end) {
        if (!restarted && ms >= restart) {
            stop_line(ms);
            ms += 4 * 60000; /* four minutes unwatched */
            start_line(ms);
            restarted = 1;
        }
        const int64_t length = cycle + (int64_t)(next_random() % 5);
        ms += length;
        char text[64];
        stamp(text, ms);
        const int64_t of_day = (ms - begin) % 86400000LL;
        const int down = of_day >= 3 * 3600000LL && of_day < 3 * 3600000LL + 30000;
        const uint64_t roll = next_random() % 100000;
        if (down)
            printf("%s\tno-connection\t%lld\t\t\t\t\t\n", text, (long long)length);
        else if (roll < 20)
            printf("%s\terror\t%lld\t1\t96\t2\t1\t\"realTime\":\"%.8s\"\n", text, (long long)length, text + 11);
        else
            printf("%s\tok\t%lld\t1\t148\t2\t2\t\"realTime\":\"%.12s\"\n", text, (long long)length, text + 11);
    }
    stop_line(ms);
    return fflush(stdout) == 0 ? 0 : 1;
}
