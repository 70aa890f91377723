// device_sim's parts in process: what its command line accepts and refuses, and the plan
// each mode makes of a request.
#include "http.h"
#include "options.h"
#include "replies.h"

#include <QTemporaryDir>
#include <QtTest>

#include <sys/stat.h>

namespace {

const QByteArray clientRequest =
    "POST /api.php HTTP/1.1\r\nHost: 127.0.0.1:80\r\nConnection: Keep-Alive\r\n"
    "Content-Length: 56\r\n\r\n{\"jsonrp\":\"2.0\",\"method\":\"getSp\",\"params\":null},\"id\":70}";

Request requestOf(const QByteArray &bytes)
{
    RequestReader reader(1024 * 1024);
    reader.append(bytes);
    return reader.next().request;
}

const char *endingName(Ending ending)
{
    switch (ending) {
    case Ending::KeepOpen:
        return "keep-open";
    case Ending::Close:
        return "close";
    case Ending::Reset:
        return "reset";
    case Ending::Endless:
        return "endless";
    }
    return "?";
}

// "label, gaps before each step, ending[, holds], braces opening/closing[, a zero byte]".
QByteArray described(const Plan &plan)
{
    QByteArrayList gaps;
    QByteArray bytes;
    for (const Step &step : plan.steps) {
        gaps.append(QByteArray::number(step.afterMs));
        bytes += step.bytes;
    }
    return plan.label.toLatin1() + ", gaps [" + gaps.join(',') + "], " + endingName(plan.ending) +
           (plan.holds ? ", holds" : "") + ", braces " + QByteArray::number(bytes.count('{')) + "/" +
           QByteArray::number(bytes.count('}')) + (bytes.contains('\0') ? ", a zero byte" : "");
}

}  // namespace

class DeviceSimPartsTest : public QObject {
    Q_OBJECT

private slots:
    void badOptions_data();
    void badOptions();
    void plans_data();
    void plans();

private:
    QTemporaryDir files_;
};

void DeviceSimPartsTest::badOptions_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<QByteArray>("error");
    const QByteArray modes = "ok, silent, no-brace, truncated, burst, gap, stream, zero-byte, refuse, reset, garbage, "
                             "slow-accept";
    const QByteArray faults = "silent, no-brace, truncated, burst, gap, stream, zero-byte, refuse, reset, garbage";
    QTest::newRow("unknown option") << QStringList{"--bogus"} << QByteArray("Unknown option 'bogus'.");
    QTest::newRow("missing value") << QStringList{"--mode"} << QByteArray("Missing value after '--mode'.");
    QTest::newRow("value on a flag") << QStringList{"--close=yes"} << QByteArray("Unexpected value after '--close'.");
    QTest::newRow("a stray argument") << QStringList{"80"} << QByteArray("unexpected argument '80' (see --help)");
    QTest::newRow("port not a number") << QStringList{"--port", "eighty"}
                                       << QByteArray("--port needs a number from 1 to 65535, not 'eighty'");
    QTest::newRow("port 0, as --opt=value")
        << QStringList{"--port=0"} << QByteArray("--port needs a number from 1 to 65535, not '0'");
    QTest::newRow("port above 65535") << QStringList{"--port", "65536"}
                                      << QByteArray("--port needs a number from 1 to 65535, not '65536'");
    QTest::newRow("mistyped mode lists the modes")
        << QStringList{"--mode", "truncate"} << "unknown mode 'truncate'; the modes are " + modes;
    QTest::newRow("listen on a name") << QStringList{"--listen", "localhost"}
                                      << QByteArray("--listen needs an IP address, not 'localhost'");
    QTest::newRow("negative gap") << QStringList{"--gap-ms", "-1"}
                                  << QByteArray("--gap-ms needs a number from 0 to 3600000, not '-1'");
    QTest::newRow("reply size too large")
        << QStringList{"--reply-bytes", "300000000"}
        << QByteArray("--reply-bytes needs a number from 0 to 268435456, not '300000000'");
    QTest::newRow("rate 0") << QStringList{"--rate", "0"}
                            << QByteArray("--rate needs a number from 1 to 1000000000, not '0'");
    QTest::newRow("down without up") << QStringList{"--down-ms", "500"}
                                     << QByteArray("--down-ms and --up-ms go together");
    QTest::newRow("unreadable reply file")
        << QStringList{"--reply-file", "/nonexistent/reply"}
        << QByteArray("cannot read --reply-file '/nonexistent/reply': No such file or directory");
    mkfifo(QFile::encodeName(files_.filePath("fifo")).constData(), 0600);
    QTest::newRow("reply file a FIFO, which would block the start")
        << QStringList{"--reply-file", files_.filePath("fifo")}
        << "--reply-file '" + files_.filePath("fifo").toUtf8() + "' must be a regular file: it is a FIFO";
    QTest::newRow("reply file a device, which reports no size")
        << QStringList{"--reply-file", "/dev/zero"}
        << QByteArray("--reply-file '/dev/zero' must be a regular file: it is a device");
    QTest::newRow("reply file a directory")
        << QStringList{"--reply-file", "/"} << QByteArray("--reply-file '/' must be a regular file: it is a directory");
    QFile overCap(files_.filePath("over-cap"));
    if (overCap.open(QIODevice::WriteOnly))
        overCap.resize(256 * 1024 * 1024 + 1);  // sparse: it takes no room on the disk
    QTest::newRow("reply file over the largest reply")
        << QStringList{"--reply-file", overCap.fileName()}
        << "--reply-file '" + overCap.fileName().toUtf8() + "' holds more than the 268435456 bytes a reply may have";
    QTest::newRow("a reply size below the smallest reply") << QStringList{"--reply-bytes", "100"}
                                                           << QByteArray("--reply-bytes 100 is less than the smallest "
                                                                         "reply of mode ok, 194 bytes");
    QTest::newRow("--help-all, which it does not have")
        << QStringList{"--help-all"} << QByteArray("Unknown option 'help-all'.");
    QTest::newRow("reply file and reply size") << QStringList{"--reply-file", "/dev/null", "--reply-bytes", "100"}
                                               << QByteArray("--reply-file and --reply-bytes cannot be combined");
    QTest::newRow("fault rate above 1") << QStringList{"--fault-rate", "1.5"}
                                        << QByteArray("--fault-rate needs a number from 0 to 1, not '1.5'");
    QTest::newRow("a mode is no fault") << QStringList{"--fault-rate", "0.5", "--faults", "reset,ok"}
                                        << "unknown fault 'ok'; the faults are " + faults;
    QTest::newRow("faults without a rate")
        << QStringList{"--faults", "reset"} << QByteArray("--faults needs --fault-rate");
    QTest::newRow("a mix and a mode") << QStringList{"--fault-rate", "0.5", "--mode", "gap"}
                                      << QByteArray("--fault-rate draws each request's mode; leave out --mode");
    QTest::newRow("seed not a number") << QStringList{"--seed", "x"}
                                       << QByteArray("--seed needs a number from 0 to 4294967295, not 'x'");
}

void DeviceSimPartsTest::badOptions()
{
    QFETCH(QStringList, arguments);
    QFETCH(QByteArray, error);

    Options options;
    const CommandLine parsed = parseOptions(QStringList{"device_sim"} + arguments, &options);
    QCOMPARE(parsed.error.toUtf8(), error);
}

void DeviceSimPartsTest::plans_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<QByteArray>("request");
    QTest::addColumn<QByteArray>("plan");
    QTest::newRow("ok") << QStringList{} << clientRequest << QByteArray("ok, gaps [0], keep-open, braces 2/2");
    QTest::newRow("ok, --close") << QStringList{"--close"} << clientRequest
                                 << QByteArray("ok, gaps [0], close, braces 2/2");
    QTest::newRow("silent: nothing, held") << QStringList{"--mode", "silent"} << clientRequest
                                           << QByteArray("silent, gaps [], keep-open, holds, braces 0/0");
    QTest::newRow("no-brace") << QStringList{"--mode", "no-brace"} << clientRequest
                              << QByteArray("no-brace, gaps [0], keep-open, braces 0/0");
    QTest::newRow("truncated: cut inside the JSON, then a close")
        << QStringList{"--mode", "truncated"} << clientRequest << QByteArray("truncated, gaps [0], close, braces 2/0");
    QTest::newRow("burst: 4 pieces, 100 ms apart") << QStringList{"--mode", "burst"} << clientRequest
                                                   << QByteArray("burst, gaps [0,100,100,100], keep-open, braces 2/2");
    QTest::newRow("gap: 2 halves, --gap-ms apart") << QStringList{"--mode", "gap", "--gap-ms", "700"} << clientRequest
                                                   << QByteArray("gap, gaps [0,700], keep-open, braces 2/2");
    QTest::newRow("stream: a header, then for ever")
        << QStringList{"--mode", "stream"} << clientRequest << QByteArray("stream, gaps [0], endless, braces 0/0");
    QTest::newRow("zero-byte") << QStringList{"--mode", "zero-byte"} << clientRequest
                               << QByteArray("zero-byte, gaps [0], keep-open, braces 2/2, a zero byte");
    QTest::newRow("refuse: a close, nothing sent")
        << QStringList{"--mode", "refuse"} << clientRequest << QByteArray("refuse, gaps [], close, braces 0/0");
    QTest::newRow("reset: half, then a reset")
        << QStringList{"--mode", "reset"} << clientRequest << QByteArray("reset, gaps [0], reset, braces 1/0");
    QTest::newRow("another path: 404, whatever the mode")
        << QStringList{"--mode", "silent"} << QByteArray(clientRequest).replace("/api.php", "/index.html")
        << QByteArray("404, gaps [0], keep-open, braces 0/0");
    QTest::newRow("a query string is no other path")
        << QStringList{} << QByteArray(clientRequest).replace("/api.php", "/api.php?x=1")
        << QByteArray("ok, gaps [0], keep-open, braces 2/2");
    QTest::newRow("GET: 405") << QStringList{} << QByteArray(clientRequest).replace("POST", "GET")
                              << QByteArray("405, gaps [0], keep-open, braces 0/0");
}

void DeviceSimPartsTest::plans()
{
    QFETCH(QStringList, arguments);
    QFETCH(QByteArray, request);
    QFETCH(QByteArray, plan);

    Options options;
    const CommandLine parsed = parseOptions(QStringList{"device_sim", "--seed", "1"} + arguments, &options);
    QVERIFY2(parsed.error.isEmpty(), qPrintable(parsed.error));
    Replies replies(options.replies);
    const Request taken = requestOf(request);
    QCOMPARE(described(replies.planFor(taken, options.close || taken.wantsClose)), plan);
}

QTEST_GUILESS_MAIN(DeviceSimPartsTest)
#include "tst_device_sim_parts.moc"
