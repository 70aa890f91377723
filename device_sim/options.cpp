#include "options.h"

#include <QCommandLineParser>
#include <QFile>

#include <random>

const QVector<ModeInfo> &modes()
{
    static const QVector<ModeInfo> table = {
        {"ok", Mode::Ok, false, "a JSON-RPC reply whose realTime changes"},
        {"silent", Mode::Silent, true, "reads the request, never answers"},
        {"no-brace", Mode::NoBrace, true, "HTTP 500 with an error page without braces"},
        {"truncated", Mode::Truncated, true, "the reply cut short inside its JSON, then a close"},
        {"burst", Mode::Burst, true, "the reply in 4 pieces, --gap-ms apart (100)"},
        {"gap", Mode::Gap, true, "half the reply, --gap-ms (1500) of silence, the rest"},
        {"stream", Mode::Stream, true, "data that never ends"},
        {"zero-byte", Mode::ZeroByte, true, "a zero byte before \"realTime\""},
        {"refuse", Mode::Refuse, true, "closes the connection without an answer"},
        {"reset", Mode::Reset, true, "half the reply, then a reset (RST), not a close"},
        {"garbage", Mode::Garbage, true, "random bytes without braces, then a close"},
        {"slow-accept", Mode::SlowAccept, false, "never accepts: connects neither succeed nor fail"},
    };
    return table;
}

QString modeName(Mode mode)
{
    for (const ModeInfo &info : modes())
        if (info.mode == mode)
            return QLatin1String(info.name);
    return QStringLiteral("?");
}

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

QString modesHelp()
{
    QString text = QStringLiteral("\nModes (--mode; --fault-rate draws from those marked *):\n");
    for (const ModeInfo &info : modes())
        text += QStringLiteral("  %1%2 %3\n")
                    .arg(QLatin1String(info.name), -12)
                    .arg(QLatin1String(info.perRequestFault ? "*" : " "), QLatin1String(info.help));
    return text + QStringLiteral("\nLogs one line per request on stderr. Ctrl-C or SIGTERM ends it.\n");
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
};

const OptionEntry optionEntries[] = {
    {"listen", "addr", "Address to listen on (127.0.0.1)."},
    {"port", "n", "TCP port, 1 to 65535 (80)."},
    {"mode", "name", "How to answer (ok); see the modes below."},
    {"close", "", "Close the connection after each reply."},
    {"gap-ms", "ms", "Silence inside a reply in burst and gap modes."},
    {"reply-bytes", "n", "Pad each JSON reply to make the whole reply n bytes."},
    {"reply-file", "file", "Answer with this file's bytes, headers and all."},
    {"delay-ms", "ms", "Wait this long before each reply (0)."},
    {"jitter-ms", "ms", "Wait up to this much longer, drawn at random (0)."},
    {"rate", "bytes", "Send replies at this many bytes per second."},
    {"down-ms", "ms", "Stop listening for this long after each --up-ms."},
    {"up-ms", "ms", "Listen for this long between the --down-ms pauses."},
    {"fault-rate", "p", "Share of requests, 0 to 1, that get a fault."},
    {"faults", "list", "Comma-separated faults to draw from (all marked *)."},
    {"seed", "n", "Seed of the fault, jitter and garbage draws."},
    {"dump", "", "Log the raw bytes of every request too, escaped."},
};

class Reader {
public:
    explicit Reader(const QCommandLineParser &parser) : parser_(parser) {}

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
                .arg(QLatin1String(name)).arg(low).arg(high).arg(value(name));
        *into = number;
        return QString();
    }

private:
    const QCommandLineParser &parser_;
};

QString readReplyFile(const QString &name, Options *options)
{
    QFile file(name);
    if (!file.open(QIODevice::ReadOnly))
        return QStringLiteral("cannot read --reply-file '%1': %2").arg(name, file.errorString());
    if (file.size() > maxReplyBytes)
        return QStringLiteral("--reply-file '%1' holds %2 bytes, more than the %3 a reply may have")
            .arg(name).arg(file.size()).arg(maxReplyBytes);
    options->replyFile = file.readAll();
    return QString();
}

QString readFaultMix(const Reader &read, Options *options)
{
    if (read.has("mode"))
        return QStringLiteral("--fault-rate draws each request's mode; leave out --mode");
    bool isNumber = false;
    options->faultRate = read.value("fault-rate").toDouble(&isNumber);
    if (!isNumber || !(options->faultRate >= 0 && options->faultRate <= 1))
        return QStringLiteral("--fault-rate needs a number from 0 to 1, not '%1'").arg(read.value("fault-rate"));
    const QString names = read.has("faults") ? read.value("faults") : namesOf(true).remove(QLatin1Char(' '));
    for (const QString &name : names.split(QLatin1Char(','))) {
        const ModeInfo *fault = modeNamed(name);
        if (!fault || !fault->perRequestFault)
            return QStringLiteral("unknown fault '%1'; the faults are %2").arg(name, namesOf(true));
        options->faults.append(fault->mode);
    }
    return QString();
}

QString readOptions(const Reader &read, Options *options)
{
    if (read.has("listen") && !options->listen.setAddress(read.value("listen")))
        return QStringLiteral("--listen needs an IP address, not '%1'").arg(read.value("listen"));
    int port = options->port;
    int gapMs = 0;
    for (const auto &[name, low, high, into] :
         {std::tuple{"port", 1, 65535, &port}, std::tuple{"gap-ms", 0, 3600000, &gapMs},
          std::tuple{"reply-bytes", 0, maxReplyBytes, &options->replyBytes},
          std::tuple{"delay-ms", 0, 3600000, &options->delayMs}, std::tuple{"jitter-ms", 0, 3600000, &options->jitterMs},
          std::tuple{"rate", 1, 1000000000, &options->rate}, std::tuple{"down-ms", 1, 3600000, &options->downMs},
          std::tuple{"up-ms", 1, 3600000, &options->upMs}}) {
        const QString error = read.number(name, low, high, into);
        if (!error.isEmpty())
            return error;
    }
    options->port = static_cast<quint16>(port);
    if (read.has("gap-ms"))
        options->gapMs = gapMs;
    if (read.has("mode")) {
        const ModeInfo *mode = modeNamed(read.value("mode"));
        if (!mode)
            return QStringLiteral("unknown mode '%1'; the modes are %2").arg(read.value("mode"), namesOf(false));
        options->mode = mode->mode;
    }
    options->close = read.has("close");
    options->dump = read.has("dump");
    if (read.has("down-ms") != read.has("up-ms"))
        return QStringLiteral("--down-ms and --up-ms go together");
    if (read.has("reply-file") && read.has("reply-bytes"))
        return QStringLiteral("--reply-file and --reply-bytes cannot be combined");
    if (read.has("reply-file")) {
        const QString error = readReplyFile(read.value("reply-file"), options);
        if (!error.isEmpty())
            return error;
    }
    bool isNumber = true;
    options->seed = read.has("seed") ? read.value("seed").toUInt(&isNumber) : std::random_device{}();
    if (!isNumber)
        return QStringLiteral("--seed needs a number from 0 to 4294967295, not '%1'").arg(read.value("seed"));
    if (read.has("faults") && !read.has("fault-rate"))
        return QStringLiteral("--faults needs --fault-rate");
    return read.has("fault-rate") ? readFaultMix(read, options) : QString();
}

}  // namespace

ParseResult parseOptions(const QStringList &arguments, Options *options)
{
    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral("Plays the device that testVRN730 polls, well or badly."));
    const QCommandLineOption help = parser.addHelpOption();
    const QCommandLineOption version = parser.addVersionOption();
    for (const OptionEntry &entry : optionEntries)
        parser.addOption(QCommandLineOption(QLatin1String(entry.name), QLatin1String(entry.help), QLatin1String(entry.valueName)));

    ParseResult result;
    if (!parser.parse(arguments))
        result.error = parser.errorText();
    else if (parser.isSet(help))
        result = {Command::Help, QString(), helpText(parser)};
    else if (parser.isSet(version))
        result = {Command::Version, QString(), QStringLiteral("device_sim %1\n").arg(QLatin1String(PROJECT_VERSION))};
    else if (!parser.positionalArguments().isEmpty())
        result.error = QStringLiteral("unexpected argument '%1' (see --help)").arg(parser.positionalArguments().first());
    else
        result.error = readOptions(Reader(parser), options);
    return result;
}
