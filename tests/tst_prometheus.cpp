// A fleet watch scraped by a real Prometheus (Debian's package) inside the test's network
// namespace: three device_sims with seeded fault mixes, one with a down window; what
// Prometheus stored is checked against the devices' logs, and the shipped rules load.
#include "poll_harness.h"

#include <QDir>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QUrl>
#include <QtTest>

#include <csignal>

using namespace harness;

namespace {

const QString host = QStringLiteral("127.0.9.1");
const QString devices[] = {QStringLiteral("127.0.9.2"), QStringLiteral("127.0.9.3"), QStringLiteral("127.0.9.4")};

// GET PATH from Prometheus's API, or from the watch's PORT; the body, or empty.
QByteArray get(const QByteArray &path, quint16 port = 9090)
{
    QTcpSocket socket;
    socket.connectToHost(host, port);
    if (!socket.waitForConnected(5000))
        return {};
    socket.write("GET " + path + " HTTP/1.0\r\nHost: prometheus\r\n\r\n");
    while (socket.state() == QAbstractSocket::ConnectedState && socket.waitForReadyRead(10000)) {
    }
    const QByteArray reply = socket.readAll();
    return reply.left(reply.indexOf("\r\n")).contains(" 200 ") ? reply.mid(reply.indexOf("\r\n\r\n") + 4)
                                                               : QByteArray();
}

QJsonArray query(const QByteArray &promql)
{
    const QJsonObject answer =
        QJsonDocument::fromJson(get("/api/v1/query?query=" + QUrl::toPercentEncoding(promql))).object();
    return answer.value(QStringLiteral("data")).toObject().value(QStringLiteral("result")).toArray();
}

QStringList runOf(const QString &program, const QStringList &arguments)
{
    QProcess process;
    process.start(program, arguments);
    process.waitForFinished(10000);
    return QString::fromLatin1(process.readAllStandardOutput()).split(QLatin1Char('\n'), Qt::SkipEmptyParts);
}

void signalAll(const QStringList &pids, int signal)
{
    for (const QString &pid : pids)
        kill(pid.toInt(), signal);
}

// A device's log: its cycle lines' times and states.
QList<QPair<qint64, QByteArray>> cyclesIn(const QString &path)
{
    QList<QPair<qint64, QByteArray>> cycles;
    QFile log(path);
    if (!log.open(QIODevice::ReadOnly))
        return cycles;
    for (const QByteArray &line : log.readAll().split('\n')) {
        const QList<QByteArray> fields = line.split('\t');
        if (fields.size() < 3 || !fields[0].startsWith("20"))
            continue;
        cycles.append(
            {QDateTime::fromString(QString::fromLatin1(fields[0]), Qt::ISODateWithMs).toMSecsSinceEpoch(), fields[1]});
    }
    return cycles;
}

}  // namespace

class PrometheusTest : public QObject {
    Q_OBJECT

private slots:
    void scrapedFleetMatchesItsLogs();
};

void PrometheusTest::scrapedFleetMatchesItsLogs()
{
    const QString prometheus = QStandardPaths::findExecutable(QStringLiteral("prometheus"));
    if (prometheus.isEmpty())
        QFAIL("prometheus is not installed: scripts/install-deps test installs Debian's package");
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    SimRun steady({"--listen", devices[0], "--close"});
    SimRun faulty(
        {"--listen", devices[1], "--close", "--fault-rate", "0.3", "--faults", "garbage,no-brace", "--seed", "7"});
    SimRun flaky({"--listen", devices[2], "--close", "--up-ms", "3000", "--down-ms", "3000", "--seed", "8"});
    for (SimRun *sim : {&steady, &faulty, &flaky})
        QVERIFY(sim->waitForListening());
    QFile targets(dir.filePath(QStringLiteral("targets")));
    QVERIFY(targets.open(QIODevice::WriteOnly));
    targets.write("# the test's rack\n127.0.9.2 site=lab role=steady\n127.0.9.3 site=lab role=faulty\n"
                  "127.0.9.4 site=lab role=flaky\n");
    targets.close();
    QFile config(dir.filePath(QStringLiteral("prometheus.yml")));
    QVERIFY(config.open(QIODevice::WriteOnly));
    config.write("global:\n  scrape_interval: 1s\n  evaluation_interval: 1s\nrule_files:\n  - " SOURCE_DIR
                 "/watch/testvrn730.rules.yml\nscrape_configs:\n  - job_name: testvrn730\n    static_configs:\n"
                 "      - targets: ['127.0.9.1:9730']\n");
    config.close();
    QVERIFY(QDir(dir.path()).mkdir(QStringLiteral("logs")));

    QProcess watch;
    watch.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    watch.start(QStringLiteral(WATCH), {"--targets", targets.fileName(), "--log-dir", dir.filePath("logs"), "-p", "100",
                                        "-t", "500", "--metrics", host + ":9730"});
    QVERIFY(watch.waitForStarted(5000));
    QProcess server;
    server.setProcessChannelMode(QProcess::MergedChannels);
    server.start(prometheus, {"--config.file=" + config.fileName(), "--storage.tsdb.path=" + dir.filePath("data"),
                              "--web.listen-address=" + host + ":9090"});
    QVERIFY(server.waitForStarted(5000));
    const auto endAll = qScopeGuard([&] {
        endByPid(server);
        endByPid(watch);
    });
    QVERIFY2(QTest::qWaitFor([] { return get("/-/ready").startsWith("Prometheus Server is Ready."); }, 60000),
             server.readAll().right(2000).constData());

    // Two down windows of the flaky device, then the clients stand still, so that every
    // cycle in the logs has been scraped by the last scrape.
    QTest::qWait(9000);
    const QStringList clients = runOf(QStringLiteral("pgrep"), {"-P", QString::number(watch.processId())});
    QCOMPARE(clients.size(), 3);
    signalAll(clients, SIGSTOP);
    QTest::qWait(3000);

    QHash<QString, QHash<QString, int>> scraped;
    for (const QJsonValue &series : query("testvrn730_cycles_total")) {
        const QJsonObject labels = series.toObject().value(QStringLiteral("metric")).toObject();
        QCOMPARE(labels.value(QStringLiteral("site")).toString(), QStringLiteral("lab"));
        scraped[labels.value(QStringLiteral("device")).toString()][labels.value(QStringLiteral("state")).toString()] =
            series.toObject().value(QStringLiteral("value")).toArray().at(1).toString().toInt();
    }
    for (const QString &device : devices) {
        QHash<QString, int> logged{{"ok", 0}, {"error", 0}, {"no_connection", 0}};
        for (const auto &cycle : cyclesIn(dir.filePath("logs/" + device + ".log")))
            ++logged[QString::fromLatin1(cycle.second).replace(QLatin1Char('-'), QLatin1Char('_'))];
        QCOMPARE(scraped.value(device), logged);
    }
    QVERIFY(scraped[devices[1]]["error"] > 0);
    QVERIFY(scraped[devices[2]]["no_connection"] > 0);

    // The flaky device was down, and only while its log shows it failing to connect.
    const QJsonArray upSamples =
        query("testvrn730_up{device=\"127.0.9.4\"}[1m]").at(0).toObject().value(QStringLiteral("values")).toArray();
    const auto flakyCycles = cyclesIn(dir.filePath("logs/127.0.9.4.log"));
    int downSamples = 0;
    for (const QJsonValue &sample : upSamples) {
        if (sample.toArray().at(1).toString() != QLatin1String("0"))
            continue;
        ++downSamples;
        // Prometheus stamps a sample as it starts the scrape, and the watch answers a moment
        // later: the cycle that made it 0 is the last one stamped before, or one just after.
        const qint64 atMs = static_cast<qint64>(sample.toArray().at(0).toDouble() * 1000);
        QByteArray lastState;
        bool failedJustAfter = false;
        for (const auto &cycle : flakyCycles) {
            if (cycle.first <= atMs)
                lastState = cycle.second;
            else if (cycle.first <= atMs + 1000 && cycle.second == "no-connection")
                failedJustAfter = true;
        }
        QVERIFY2(lastState == "no-connection" || failedJustAfter, QByteArray::number(atMs).constData());
    }
    QVERIFY2(downSamples >= 2, QByteArray::number(downSamples).constData());
    QCOMPARE(query("min_over_time(testvrn730_up{device=\"127.0.9.2\"}[1m])")
                 .at(0)
                 .toObject()
                 .value("value")
                 .toArray()
                 .at(1)
                 .toString(),
             QStringLiteral("1"));

    // The shipped rules loaded, each one healthy.
    const QJsonArray groups = QJsonDocument::fromJson(get("/api/v1/rules"))
                                  .object()
                                  .value(QStringLiteral("data"))
                                  .toObject()
                                  .value(QStringLiteral("groups"))
                                  .toArray();
    QCOMPARE(groups.size(), 1);
    const QJsonArray rules = groups.at(0).toObject().value(QStringLiteral("rules")).toArray();
    QCOMPARE(rules.size(), 5);
    for (const QJsonValue &rule : rules)
        QCOMPARE(rule.toObject().value(QStringLiteral("health")).toString(), QStringLiteral("ok"));

    // A scrape in the text format passes promtool's lint.
    const QByteArray scrape = get("/metrics", 9730);
    QVERIFY(scrape.contains("testvrn730_cycles_total{device=\"127.0.9.2\",site=\"lab\",role=\"steady\""));
    QProcess lint;
    lint.setProcessChannelMode(QProcess::MergedChannels);
    lint.start(QStringLiteral("promtool"), {"check", "metrics"});
    QVERIFY(lint.waitForStarted(5000));
    lint.write(scrape);
    lint.closeWriteChannel();
    QVERIFY(lint.waitForFinished(30000));
    QVERIFY2(lint.exitCode() == 0, lint.readAll().constData());

    signalAll(clients, SIGCONT);
    watch.terminate();
    QVERIFY(watch.waitForFinished(15000));
}

QTEST_GUILESS_MAIN(PrometheusTest)
#include "tst_prometheus.moc"
