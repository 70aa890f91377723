// testVRN730-watch: runs testVRN730 unattended and logs every cycle in fixed columns, in
// UTC; `report` and `plot` read the logs back.

#include "fleet/supervisor.h"
#include "fleet/targets.h"
#include "fleet/watch.h"
#include "log/format.h"
#include "log/log_set.h"
#include "metrics/exposition.h"
#include "metrics/server.h"
#include "os/say.h"
#include "report/plot.h"
#include "report/report.h"

#include <QByteArray>
#include <QFile>
#include <QList>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include <fcntl.h>
#include <getopt.h>
#include <sys/ioctl.h>
#include <unistd.h>

namespace {

// The help, its bounds taken from where they are kept.
QByteArray usage()
{
    const metricsserver::Limits limits;
    const QVector<double> buckets = metrics::defaultBuckets();
    const auto number = [](qint64 value) { return QByteArray::number(value); };
    return QByteArray(
        "Usage: testVRN730-watch [--log FILE] [-i ip] [-p period_ms] [-t responseTimeOut]\n"
        "                        [--metrics ADDRESS:PORT [--buckets SECONDS,...]]\n"
        "       testVRN730-watch --targets FILE --log-dir DIR [-p period_ms] [-t responseTimeOut]\n"
        "                        [--metrics ADDRESS:PORT [--buckets SECONDS,...]]\n"
        "       testVRN730-watch report [--outages | --unwatched] [--min-outage SECONDS]\n"
        "                               [--since TIME] [--until TIME] LOG...\n"
        "       testVRN730-watch plot [--output FILE.png [--size WxH] | --terminal] [--since TIME]\n"
        "                             [--until TIME] LOG...\n"
        "\n"
        "Runs testVRN730 (found beside this program, then on PATH) with -i, -p and -t, shows its\n"
        "status line when standard output is a terminal, and appends one line per cycle to the\n"
        "log, tab-separated, in UTC: time, state (ok, error, no-connection), cycle_ms, loops,\n"
        "bytes, open, close, realTime. Ctrl-C, SIGTERM or SIGHUP stops it; the log then holds\n"
        "every cycle that testVRN730 finished. A moved or removed log is made again.\n"
        "\n"
        "  --log FILE        the log, appended to (default: testVRN730-watch.log)\n"
        "  -i, -p, -t        passed to testVRN730; its own defaults when not given\n"
        "\n"
        "With --targets, one watch runs a testVRN730 for every device the file names, starts\n"
        "spread over the first period, and logs each to DIR/ADDRESS.log. A client that ends by\n"
        "itself starts again after " +
        number(Supervisor::firstBackOffMs / 1000) + " s, doubled up to " + number(Supervisor::lastBackOffMs / 1000) +
        " s while it keeps ending. The file is\n"
        "read again when it changes, and on SIGHUP; a bad one is refused, and the devices\n"
        "stay as they were. SIGTERM or Ctrl-C stops every client and ends every log.\n"
        "  --targets FILE    one device a line: ADDRESS [NAME=VALUE]..., the pairs being labels\n"
        "                    on its metrics; '#' starts a comment; at most " +
        number(targets::maxTargets) +
        " devices\n"
        "  --log-dir DIR     where the devices' logs go\n"
        "  --metrics ADDRESS:PORT  serves GET /metrics to Prometheus, in its text format or\n"
        "                    OpenMetrics; at most " +
        number(limits.maxConnections) + " connections, a request of " + number(limits.maxRequestBytes / 1024) +
        " KiB within\n" + "                    " + number(limits.requestTimeoutMs / 1000) + " s, the reply within " +
        number(limits.replyTimeoutMs / 1000) + " s; scrapes within " + metrics::number(limits.remakeAfterMs / 1000.0) +
        " s share a reply\n"
        "  --buckets SECONDS,...  the bounds of testvrn730_cycle_seconds (default: " +
        metrics::number(buckets[0]) + ",\n" + "                    " + metrics::number(buckets[1]) + ", ... " +
        metrics::number(buckets[buckets.size() - 2]) + ", " + metrics::number(buckets.last()) +
        "); -t, and -p plus -t, are always among them\n"
        "\n"
        "report reads logs, plain or gzip'd, and prints the watched time, the cycles, bad\n"
        "replies and failed connections, the share of good cycles, every outage with its\n"
        "bounds, the spans nothing watched, and the counts per hour.\n"
        "  --outages         only the outages: start, end, seconds, cycles, kinds; tab-separated\n"
        "  --unwatched       only the unwatched spans: start, end, seconds, reason; tab-separated\n"
        "  --min-outage SECONDS  leaves shorter outages out of the list (their cycles count)\n"
        "\n"
        "plot draws the cycles per interval by kind, the outages as bands, and cycle_ms, with\n"
        "gnuplot (Debian's gnuplot-nox).\n"
        "  --output FILE.png a PNG image (default: testVRN730-watch.png)\n"
        "  --size WxH        its size in pixels (default: 1280x720)\n"
        "  --terminal        text in the terminal instead, as wide as it is\n"
        "\n"
        "  --since TIME, --until TIME  only [since, until); TIME is UTC: 2026-12-08,\n"
        "                    2026-12-08T21:00, 2026-12-08T21:00:00 or 2026-12-08T21:00:00.000Z\n"
        "  -h, --help        this text;  --version  the version\n"
        "\n"
        "Exit status: 0; 1 when a log cannot be read or written, or testVRN730 cannot run; 2 for\n"
        "bad usage; after testVRN730 ended by itself, its status.\n");
}

[[noreturn]] void usageError(const char *format, const char *detail)
{
    std::fprintf(stderr, "%s: ", self);
    std::fprintf(stderr, format, detail);
    std::fprintf(stderr, "\nTry '%s --help'.\n", self);
    std::exit(2);
}

// A decimal in the 32 bits the client keeps.
bool isInt32(const char *text)
{
    errno = 0;
    char *end = nullptr;
    const long long value = std::strtoll(text, &end, 10);
    return *text != '\0' && *end == '\0' && errno == 0 && value >= INT32_MIN && value <= INT32_MAX;
}

enum LongOption {
    Log = 256,
    Version,
    Targets,
    LogDir,
    Metrics,
    Buckets,
    Outages,
    Unwatched,
    MinOutage,
    Since,
    Until,
    Output,
    Size,
    Terminal
};

int runWatch(int argc, char *argv[])
{
    static const option options[] = {
        {"log", required_argument, nullptr, Log},         {"targets", required_argument, nullptr, Targets},
        {"log-dir", required_argument, nullptr, LogDir},  {"metrics", required_argument, nullptr, Metrics},
        {"buckets", required_argument, nullptr, Buckets}, {"help", no_argument, nullptr, 'h'},
        {"version", no_argument, nullptr, Version},       {nullptr, 0, nullptr, 0}};
    WatchOptions watchOptions;
    bool logGiven = false;
    QByteArray why;
    opterr = 0;
    int option;
    while ((option = getopt_long(argc, argv, ":hi:p:t:", options, nullptr)) != -1) {
        switch (option) {
        case 'h':
            std::fputs(usage().constData(), stdout);
            return 0;
        case Version:
            std::printf("testVRN730-watch %s\n", PROJECT_VERSION);
            return 0;
        case Log:
            if (*optarg == '\0')
                usageError("--log needs a file name%s", "");
            watchOptions.logPath = optarg;
            logGiven = true;
            break;
        case Targets:
        case LogDir:
            if (*optarg == '\0')
                usageError(option == Targets ? "--targets needs a file name%s" : "--log-dir needs a directory%s", "");
            (option == Targets ? watchOptions.targetsPath : watchOptions.logDir) = optarg;
            break;
        case Metrics:
            watchOptions.metricsAddress = optarg;
            break;
        case Buckets:
            if (!metrics::parseBuckets(optarg, &watchOptions.buckets, &why))
                usageError("--buckets: %s", why.constData());
            break;
        case 'i':
            if (!targets::isAddress(optarg))
                usageError("-i '%s' is no address or host name", optarg);
            if (std::strchr(optarg, ':'))
                usageError("-i '%s' names a port or an IPv6 address; testVRN730 polls an IPv4 address or host "
                           "name, always on port 80, and has no port option",
                           optarg);
            watchOptions.ip = optarg;
            break;
        case 'p':
        case 't':
            if (!isInt32(optarg))
                usageError(option == 'p' ? "-p '%s' is not a whole number of milliseconds in 32 bits"
                                         : "-t '%s' is not a whole number of milliseconds in 32 bits",
                           optarg);
            (option == 'p' ? watchOptions.period : watchOptions.timeout) = optarg;
            break;
        case ':':
            usageError("%s needs a value", argv[optind - 1]);
        default:
            usageError("unknown option '%s'", argv[optind - 1]);
        }
    }
    if (optind < argc)
        usageError("unexpected argument '%s'", argv[optind]);
    const bool fleet = !watchOptions.targetsPath.isEmpty();
    if (fleet && watchOptions.logDir.isEmpty())
        usageError("--targets needs --log-dir, where each device's log goes%s", "");
    if (!fleet && !watchOptions.logDir.isEmpty())
        usageError("--log-dir is for the devices of --targets; one device's log is --log%s", "");
    if (fleet && (logGiven || !watchOptions.ip.isEmpty()))
        usageError("--targets names the devices and --log-dir their logs; -i and --log are for one device%s", "");
    return watch(watchOptions, PROJECT_VERSION);
}

// Seconds to the millisecond, from 0 to a week: "2", "0.5", "1.250".
bool parseSeconds(const char *text, qint64 *ms)
{
    const QByteArray value(text);
    const int point = static_cast<int>(value.indexOf('.'));
    const QByteArray whole = point < 0 ? value : value.left(point);
    const QByteArray fraction = point < 0 ? QByteArray() : value.mid(point + 1);
    const auto digits = [](const QByteArray &part) {
        return std::all_of(part.begin(), part.end(), [](char c) { return c >= '0' && c <= '9'; });
    };
    if (whole.isEmpty() || whole.size() > 6 || fraction.size() > 3 || !digits(whole) || !digits(fraction) ||
        (point >= 0 && fraction.isEmpty()))
        return false;
    *ms = whole.toLongLong() * 1000 + fraction.leftJustified(3, '0').toLongLong();
    return *ms <= 7 * 86400 * 1000;
}

bool parseSize(const char *text, watchlog::PlotRequest *request)
{
    int width = 0, height = 0;
    char rest = 0;
    if (std::sscanf(text, "%dx%d%c", &width, &height, &rest) != 2)
        return false;
    if (width < 100 || height < 100 || width > 10000 || height > 10000)
        return false;
    request->width = width;
    request->height = height;
    return true;
}

// The terminal's size: COLUMNS and LINES when set, else what the terminal on standard
// output says, else 100 by 40. The picture takes one line less, for the prompt after it.
void terminalSize(watchlog::PlotRequest *request)
{
    winsize size{};
    const bool told = ioctl(STDOUT_FILENO, TIOCGWINSZ, &size) == 0;
    int columns = told && size.ws_col > 0 ? size.ws_col : 100;
    int lines = told && size.ws_row > 0 ? size.ws_row : 40;
    for (const char *name : {"COLUMNS", "LINES"}) {
        const char *value = std::getenv(name);
        if (value && isInt32(value))
            (name[0] == 'C' ? columns : lines) = std::atoi(value);
    }
    request->width = std::clamp(columns, 40, 1000);
    request->height = std::clamp(lines, 17, 1000) - 1;
}

void printAll(const QList<QByteArray> &messages)
{
    for (const QByteArray &message : messages)
        say(message);
}

int runReader(bool plotting, int argc, char *argv[])
{
    static const option options[] = {{"outages", no_argument, nullptr, Outages},
                                     {"unwatched", no_argument, nullptr, Unwatched},
                                     {"min-outage", required_argument, nullptr, MinOutage},
                                     {"since", required_argument, nullptr, Since},
                                     {"until", required_argument, nullptr, Until},
                                     {"output", required_argument, nullptr, Output},
                                     {"size", required_argument, nullptr, Size},
                                     {"terminal", no_argument, nullptr, Terminal},
                                     {"help", no_argument, nullptr, 'h'},
                                     {nullptr, 0, nullptr, 0}};
    watchlog::Window window;
    watchlog::PlotRequest request;
    request.output = QStringLiteral("testVRN730-watch.png");
    bool outagesOnly = false;
    bool unwatchedOnly = false;
    qint64 minOutageMs = 0;
    bool terminal = false;
    bool sized = false;
    opterr = 0;
    optind = 2;
    int option;
    while ((option = getopt_long(argc, argv, ":h", options, nullptr)) != -1) {
        const bool plotOption = option == Output || option == Size || option == Terminal;
        const bool reportOption = option == Outages || option == Unwatched || option == MinOutage;
        if ((plotOption && !plotting) || (reportOption && plotting))
            usageError("unknown option '%s'", argv[optind - 1]);
        switch (option) {
        case 'h':
            std::fputs(usage().constData(), stdout);
            return 0;
        case Outages:
            outagesOnly = true;
            break;
        case Unwatched:
            unwatchedOnly = true;
            break;
        case MinOutage:
            if (!parseSeconds(optarg, &minOutageMs))
                usageError("--min-outage '%s' is not a number of seconds, such as 2 or 0.5", optarg);
            break;
        case Since:
        case Until:
            if (!watchlog::parseTimeArgument(optarg, option == Since ? &window.sinceMs : &window.untilMs))
                usageError("'%s' is no time such as 2026-12-08T21:00:00Z", optarg);
            break;
        case Output:
            request.output = QFile::decodeName(optarg);
            if (request.output.isEmpty())
                usageError("--output needs a file name%s", "");
            break;
        case Size:
            if (!parseSize(optarg, &request))
                usageError("--size '%s' is not WIDTHxHEIGHT, each from 100 to 10000", optarg);
            sized = true;
            break;
        case Terminal:
            terminal = true;
            break;
        case ':':
            usageError("%s needs a value", argv[optind - 1]);
        default:
            usageError("unknown option '%s'", argv[optind - 1]);
        }
    }
    if (outagesOnly && unwatchedOnly)
        usageError("--outages and --unwatched each print a list of their own; give one%s", "");
    if (terminal && sized)
        usageError("--size is for a PNG; --terminal takes the terminal's size%s", "");
    if (window.sinceMs > window.untilMs)
        usageError("--since is later than --until, so no time is left between them%s", "");
    if (optind == argc)
        usageError("which log? Name one or more%s", "");
    QList<QByteArray> paths;
    for (int i = optind; i < argc; ++i)
        paths.append(argv[i]);
    watchlog::LogSet logs;
    QList<QByteArray> messages;
    bool allRead = logs.open(paths, &messages);
    printAll(logs.warnings());
    watchlog::CycleLengths lengths;
    watchlog::Reader reader(window, plotting ? &lengths : nullptr);
    allRead = logs.readInto(&reader, &messages) && allRead;
    printAll(messages);
    if (!allRead)
        return 1;
    const QList<watchlog::Run> runs = reader.runs();
    if (plotting) {
        if (terminal) {
            request.output.clear();
            terminalSize(&request);
        }
        return watchlog::plot(logs, watchlog::summarize(runs, window), lengths.median(), window, request);
    }
    const QByteArray text = watchlog::reportOf(runs, window, minOutageMs,
                                               outagesOnly     ? watchlog::Listing::Outages
                                               : unwatchedOnly ? watchlog::Listing::Unwatched
                                                               : watchlog::Listing::Report);
    if (std::fwrite(text.constData(), 1, static_cast<std::size_t>(text.size()), stdout) !=
            static_cast<std::size_t>(text.size()) ||
        std::fflush(stdout) != 0) {
        std::fprintf(stderr, "%s: cannot write the report: %s\n", self, std::strerror(errno));
        return 1;
    }
    return 0;
}

// With a standard descriptor closed, the next file or pipe opened would take its place.
bool standardDescriptorsOpen()
{
    for (int fd = STDIN_FILENO; fd <= STDERR_FILENO; ++fd)
        if (fcntl(fd, F_GETFD) == -1 && errno == EBADF && open("/dev/null", O_RDWR) != fd)
            return false;
    return true;
}

}  // namespace

int main(int argc, char *argv[])
{
    if (!standardDescriptorsOpen())
        return 1;
    if (argc > 1 && std::strcmp(argv[1], "report") == 0)
        return runReader(false, argc, argv);
    if (argc > 1 && std::strcmp(argv[1], "plot") == 0)
        return runReader(true, argc, argv);
    return runWatch(argc, argv);
}
