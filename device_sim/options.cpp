#include "options.h"

#include "log.h"

#include <QCommandLineParser>
#include <QFile>

#include <cerrno>
#include <cstring>
#include <random>

#include <fcntl.h>
#include <linux/magic.h>
#include <sys/stat.h>
#include <sys/vfs.h>
#include <unistd.h>

namespace {

QString namesOf(bool faultsOnly)
{
    QStringList names;
    for (const ModeInfo &info : modes())
        if (!faultsOnly || info.perRequestFault)
            names.append(QLatin1String(info.name));
    return names.join(QStringLiteral(", "));
}

const ModeInfo *modeNamed(const QString &name)
{
    for (const ModeInfo &info : modes())
        if (name == QLatin1String(info.name))
            return &info;
    return nullptr;
}

// "64 KiB", "1 MiB": a bound as the help gives it.
QString sizeText(qint64 bytes)
{
    if (bytes % (1024 * 1024) == 0)
        return QStringLiteral("%1 MiB").arg(bytes / (1024 * 1024));
    if (bytes % 1024 == 0)
        return QStringLiteral("%1 KiB").arg(bytes / 1024);
    return QStringLiteral("%1 bytes").arg(bytes);
}

QString modesHelp()
{
    QString text = QStringLiteral("\nModes (--mode; --fault-rate draws from those marked *):\n");
    for (const ModeInfo &info : modes())
        text += QStringLiteral("  %1%2 %3\n")
                    .arg(QLatin1String(info.name), -12)
                    .arg(QLatin1String(info.perRequestFault ? "*" : " "), QLatin1String(info.help));
    return text + QStringLiteral("\nAlso bounded: a header to %1 (431); a body kept to its first %2; a\n"
                                 "connection with %3 to %4 of unsent output (%5 replies' worth) not\n"
                                 "read from until its peer reads, with one request read ahead of the one it\n"
                                 "answers; the --reply-bytes padding and the --reply-file held once, for all\n"
                                 "replies to share; after a refusal, %6 s and %7 of what the\n"
                                 "peer still sends read and dropped before the close; the log's queue to %8,\n"
                                 "then dropped lines are counted.\n"
                                 "\nLogs one line per request on stderr, and one when a limit acts.\n"
                                 "Ctrl-C, SIGTERM, SIGHUP, SIGUSR1, SIGUSR2 or SIGALRM ends it.\n")
                      .arg(sizeText(maxHeaderBytes), sizeText(maxKeptBodyBytes), sizeText(minOutputBound),
                           sizeText(maxOutputBound))
                      .arg(outputBoundReplies)
                      .arg(lingerMs / 1000)
                      .arg(sizeText(maxLingerBytes), sizeText(maxQueuedLogBytes));
}

// The parser's help names the program as it was started; the usage line names it plainly.
QString helpText(const QCommandLineParser &parser)
{
    QString text = parser.helpText();
    text.replace(0, text.indexOf(QLatin1Char('\n')), QStringLiteral("Usage: device_sim [options]"));
    return text + modesHelp();
}

struct OptionEntry {
    const char *name;
    const char *valueName;  // empty for a flag
    const char *help;
    // The default of a limit, which the help gives after its text; null for none.
    qint64 (*limit)(const Options &defaults) = nullptr;
};

const OptionEntry optionEntries[] = {
    {"listen", "addr", "Address to listen on (127.0.0.1)."},
    {"port", "n", "TCP port, 1 to 65535 (80)."},
    {"mode", "name", "How to answer (ok); see the modes below."},
    {"close", "", "Close the connection after each reply."},
    {"gap-ms", "ms", "Silence inside a reply in burst and gap modes."},
    {"reply-bytes", "n", "Pad JSON replies to n bytes, headers and all."},
    {"reply-file", "file", "Answer with this file's bytes, headers and all."},
    {"delay-ms", "ms", "Wait this long before each reply (0)."},
    {"jitter-ms", "ms", "Wait up to this much longer, drawn at random (0)."},
    {"rate", "bytes", "Send replies at this many bytes per second."},
    {"down-ms", "ms", "Stop listening for this long after each --up-ms."},
    {"up-ms", "ms", "Listen for this long between the --down-ms pauses."},
    {"fault-rate", "p", "Share of requests, 0 to 1, that get a fault."},
    {"faults", "list", "Faults to draw from, by commas (all marked *)."},
    {"seed", "n", "Seed of the fault, jitter and garbage draws."},
    {"dump", "", "Log the raw bytes of every request too, escaped."},
    {"max-body-bytes", "n", "Refuse (413) a body over n bytes", [](const Options &o) { return o.maxBodyBytes; }},
    {"request-timeout-ms", "ms", "Close a request not whole in time",
     [](const Options &o) { return qint64{o.requestTimeoutMs}; }},
    {"idle-timeout-ms", "ms", "Close a connection idle this long",
     [](const Options &o) { return qint64{o.idleTimeoutMs}; }},
    {"send-timeout-ms", "ms", "Close a peer that reads no output this long",
     [](const Options &o) { return qint64{o.sendTimeoutMs}; }},
    {"max-connections", "n", "At most n connections (fd limit less a margin)."},
};

class OptionValues {
public:
    explicit OptionValues(const QCommandLineParser &parser) : parser_(parser) {}

    bool has(const char *name) const { return parser_.isSet(QLatin1String(name)); }
    QString value(const char *name) const { return parser_.value(QLatin1String(name)); }

    // Reads the value of NAME, when given, as a whole number from LOW to HIGH.
    QString number(const char *name, int low, int high, int *into) const
    {
        if (!has(name))
            return QString();
        bool isNumber = false;
        const int number = value(name).toInt(&isNumber);
        if (!isNumber || number < low || number > high)
            return QStringLiteral("--%1 needs a number from %2 to %3, not '%4'")
                .arg(QLatin1String(name))
                .arg(low)
                .arg(high)
                .arg(value(name));
        *into = number;
        return QString();
    }

private:
    const QCommandLineParser &parser_;
};

// A file of /proc or /sys, whose bytes the kernel makes as they are read.
bool isKernelFile(int fd)
{
    struct statfs where {};
    return fstatfs(fd, &where) == 0 && (where.f_type == PROC_SUPER_MAGIC || where.f_type == SYSFS_MAGIC);
}

// Regular files only: a FIFO would block the start for ever, and a device reports no size.
// Reads at most one byte more than a reply may hold, so no file can make it hold more.
QString readReplyFile(const QString &name, ReplySettings *replies)
{
    const QByteArray path = QFile::encodeName(name);
    const int fd = ::open(path.constData(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        return QStringLiteral("cannot read --reply-file '%1': %2")
            .arg(name, QString::fromLocal8Bit(std::strerror(errno)));
    struct stat info {};
    QString kind;
    if (fstat(fd, &info) != 0)
        kind = QString::fromLocal8Bit(std::strerror(errno));
    else if (S_ISDIR(info.st_mode))
        kind = QStringLiteral("it is a directory");
    else if (S_ISFIFO(info.st_mode))
        kind = QStringLiteral("it is a FIFO");
    else if (S_ISCHR(info.st_mode) || S_ISBLK(info.st_mode))
        kind = QStringLiteral("it is a device");
    else if (!S_ISREG(info.st_mode))
        kind = QStringLiteral("it is not a regular file");
    else if (isKernelFile(fd))
        kind = QStringLiteral("it is the kernel's, under /proc or /sys, where a read can change what it holds");
    if (!kind.isEmpty()) {
        ::close(fd);
        return QStringLiteral("--reply-file '%1' must be a regular file: %2").arg(name, kind);
    }
    QFile file;
    if (!file.open(fd, QIODevice::ReadOnly, QFileDevice::AutoCloseHandle))
        return QStringLiteral("cannot read --reply-file '%1': %2").arg(name, file.errorString());
    const QByteArray bytes = file.read(qint64{maxReplyBytes} + 1);
    if (bytes.size() > maxReplyBytes)
        return QStringLiteral("--reply-file '%1' holds more than the %2 bytes a reply may have")
            .arg(name)
            .arg(maxReplyBytes);
    replies->replyFile = bytes;
    return QString();
}

QString readFaultMix(const OptionValues &read, ReplySettings *replies)
{
    if (read.has("mode"))
        return QStringLiteral("--fault-rate draws each request's mode; leave out --mode");
    bool isNumber = false;
    replies->faultRate = read.value("fault-rate").toDouble(&isNumber);
    if (!isNumber || !(replies->faultRate >= 0 && replies->faultRate <= 1))
        return QStringLiteral("--fault-rate needs a number from 0 to 1, not '%1'").arg(read.value("fault-rate"));
    const QString names = read.has("faults") ? read.value("faults") : namesOf(true).remove(QLatin1Char(' '));
    for (const QString &name : names.split(QLatin1Char(','))) {
        const ModeInfo *fault = modeNamed(name);
        if (!fault || !fault->perRequestFault)
            return QStringLiteral("unknown fault '%1'; the faults are %2").arg(name, namesOf(true));
        replies->faults.append(fault->mode);
    }
    return QString();
}

QString readOptions(const OptionValues &read, Options *options)
{
    ReplySettings &replies = options->replies;
    if (read.has("listen") && !options->listen.setAddress(read.value("listen")))
        return QStringLiteral("--listen needs an IP address, not '%1'").arg(read.value("listen"));
    int port = options->port;
    int gapMs = 0;
    int maxBodyBytes = static_cast<int>(options->maxBodyBytes);
    int maxConnections = 0;
    for (const auto &[name, low, high, into] :
         {std::tuple{"port", 1, 65535, &port}, std::tuple{"gap-ms", 0, 3600000, &gapMs},
          std::tuple{"reply-bytes", 0, maxReplyBytes, &replies.replyBytes},
          std::tuple{"delay-ms", 0, 3600000, &replies.delayMs}, std::tuple{"jitter-ms", 0, 3600000, &replies.jitterMs},
          std::tuple{"rate", 1, 1000000000, &options->rate}, std::tuple{"down-ms", 1, 3600000, &options->downMs},
          std::tuple{"up-ms", 1, 3600000, &options->upMs}, std::tuple{"max-body-bytes", 0, 1 << 30, &maxBodyBytes},
          std::tuple{"request-timeout-ms", 1, 3600000, &options->requestTimeoutMs},
          std::tuple{"idle-timeout-ms", 1, 86400000, &options->idleTimeoutMs},
          std::tuple{"send-timeout-ms", 1, 86400000, &options->sendTimeoutMs},
          std::tuple{"max-connections", 1, 1000000, &maxConnections}}) {
        const QString error = read.number(name, low, high, into);
        if (!error.isEmpty())
            return error;
    }
    options->port = static_cast<quint16>(port);
    options->maxBodyBytes = maxBodyBytes;
    if (read.has("gap-ms"))
        replies.gapMs = gapMs;
    if (read.has("max-connections"))
        options->maxConnections = maxConnections;
    if (read.has("mode")) {
        const ModeInfo *mode = modeNamed(read.value("mode"));
        if (!mode)
            return QStringLiteral("unknown mode '%1'; the modes are %2").arg(read.value("mode"), namesOf(false));
        replies.mode = mode->mode;
    }
    options->close = read.has("close");
    options->dump = read.has("dump");
    if (read.has("down-ms") != read.has("up-ms"))
        return QStringLiteral("--down-ms and --up-ms go together");
    if (read.has("reply-file") && read.has("reply-bytes"))
        return QStringLiteral("--reply-file and --reply-bytes cannot be combined");
    const int smallestReply = Replies::smallestJsonReply(replies.mode);
    if (read.has("reply-bytes") && replies.replyBytes < smallestReply)
        return QStringLiteral("--reply-bytes %1 is less than the smallest reply of mode %2, %3 bytes")
            .arg(replies.replyBytes)
            .arg(modeName(replies.mode))
            .arg(smallestReply);
    if (read.has("reply-file")) {
        const QString error = readReplyFile(read.value("reply-file"), &replies);
        if (!error.isEmpty())
            return error;
    }
    bool isNumber = true;
    replies.seed = read.has("seed") ? read.value("seed").toUInt(&isNumber) : std::random_device{}();
    if (!isNumber)
        return QStringLiteral("--seed needs a number from 0 to 4294967295, not '%1'").arg(read.value("seed"));
    if (read.has("faults") && !read.has("fault-rate"))
        return QStringLiteral("--faults needs --fault-rate");
    return read.has("fault-rate") ? readFaultMix(read, &replies) : QString();
}

}  // namespace

CommandLine parseOptions(const QStringList &arguments, Options *options)
{
    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral("Plays the device that testVRN730 polls, well or badly."));
    // Not Qt's help option, which adds --help-all for options device_sim does not have.
    const QCommandLineOption help({QStringLiteral("h"), QStringLiteral("help")},
                                  QStringLiteral("Displays help on commandline options."));
    parser.addOption(help);
    const QCommandLineOption version = parser.addVersionOption();
    for (const OptionEntry &entry : optionEntries) {
        QString text = QLatin1String(entry.help);
        if (entry.limit)
            text += QStringLiteral(" (%1).").arg(entry.limit(Options()));
        parser.addOption(QCommandLineOption(QLatin1String(entry.name), text, QLatin1String(entry.valueName)));
    }

    CommandLine result;
    if (!parser.parse(arguments))
        result.error = parser.errorText();
    else if (parser.isSet(help))
        result = {Command::Help, QString(), helpText(parser)};
    else if (parser.isSet(version))
        result = {Command::Version, QString(), QStringLiteral("device_sim %1\n").arg(QLatin1String(PROJECT_VERSION))};
    else if (!parser.positionalArguments().isEmpty())
        result.error =
            QStringLiteral("unexpected argument '%1' (see --help)").arg(parser.positionalArguments().first());
    else
        result.error = readOptions(OptionValues(parser), options);
    return result;
}
