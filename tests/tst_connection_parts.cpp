// The parts of one device_sim connection, in process: the plan player against a clock the
// test sets, the request side and the outbox against real sockets.
#include "outbox.h"
#include "plan_player.h"
#include "request_side.h"

#include <QtTest>

#include <cerrno>

#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

Q_DECLARE_METATYPE(RequestSide::State)

namespace {

const QByteArray body = CLIENT_REQUEST_BODY;
const QByteArray clientRequest = "POST /api.php HTTP/1.1\r\nHost: " CLIENT_DEFAULT_IP
                                 ":80\r\nConnection: Keep-Alive\r\nContent-Length: " +
                                 QByteArray::number(body.size()) + "\r\n\r\n" + body;

QString described(const PlanPlayer::Move &move)
{
    switch (move.what) {
    case PlanPlayer::Move::What::Send:
        return QStringLiteral("send ") + QString::fromLatin1(move.bytes);
    case PlanPlayer::Move::What::Wait:
        return QStringLiteral("wait %1").arg(move.untilMs);
    case PlanPlayer::Move::What::Full:
        return QStringLiteral("full");
    case PlanPlayer::Move::What::Done:
        break;
    }
    return QStringLiteral("done");
}

// A connected TCP pair on loopback: the served end non-blocking, as device_sim's.
struct TcpPair {
    int served = -1;
    int peer = -1;

    TcpPair()
    {
        const int listener = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in where{};
        where.sin_family = AF_INET;
        where.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t size = sizeof where;
        if (listener < 0 || ::bind(listener, reinterpret_cast<sockaddr *>(&where), size) != 0 ||
            ::listen(listener, 1) != 0 || ::getsockname(listener, reinterpret_cast<sockaddr *>(&where), &size) != 0)
            return;
        peer = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (::connect(peer, reinterpret_cast<sockaddr *>(&where), size) == 0)
            served = ::accept4(listener, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
        ::close(listener);
    }
    ~TcpPair()
    {
        for (const int fd : {served, peer})
            if (fd >= 0)
                ::close(fd);
    }
    // Waits until the served end has something to read, or 2 s pass.
    void waitForInput() const
    {
        pollfd ready{served, POLLIN, 0};
        ::poll(&ready, 1, 2000);
    }
};

}  // namespace

class ConnectionPartsTest : public QObject {
    Q_OBJECT

private slots:
    void planPlayer_data();
    void planPlayer();
    void requestSide_data();
    void requestSide();
    void outboxTakesWhatTheKernelTakes();
    void outboxFailsWhenThePeerIsGone();
};

void ConnectionPartsTest::planPlayer_data()
{
    QTest::addColumn<QStringList>("steps");  // each "AFTER_MS:BYTES"
    QTest::addColumn<int>("delayMs");
    QTest::addColumn<QByteArray>("endless");
    QTest::addColumn<int>("rate");
    QTest::addColumn<QStringList>("calls");  // each "NOW_MS/ROOM"
    QTest::addColumn<QStringList>("moves");

    QTest::newRow("one step, whole, then done")
        << QStringList{"0:abc"} << 0 << QByteArray() << 0 << QStringList{"0/100", "0/100", "5/100"}
        << QStringList{"send abc", "done", "done"};
    QTest::newRow("the delay first") << QStringList{"0:abc"} << 50 << QByteArray() << 0
                                     << QStringList{"0/100", "20/100", "50/100", "50/100"}
                                     << QStringList{"wait 50", "wait 50", "send abc", "done"};
    QTest::newRow("a gap between two pieces")
        << QStringList{"0:ab", "100:cd"} << 0 << QByteArray() << 0 << QStringList{"0/100", "0/100", "30/100", "100/100"}
        << QStringList{"send ab", "wait 100", "wait 100", "send cd"};
    QTest::newRow("the output's room bounds each send; none: full")
        << QStringList{"0:abcdef"} << 0 << QByteArray() << 0 << QStringList{"0/4", "0/0", "1/4", "1/4"}
        << QStringList{"send abcd", "full", "send ef", "done"};
    QTest::newRow("--rate 100: two bytes a 20 ms tick, the first at once")
        << QStringList{"0:abcdef"} << 0 << QByteArray() << 100
        << QStringList{"0/100", "0/100", "20/100", "40/100", "40/100"}
        << QStringList{"send ab", "wait 20", "send cd", "send ef", "done"};
    QTest::newRow("--rate: a gap is silence, not time that allows bytes")
        << QStringList{"0:ab", "1000:cd"} << 0 << QByteArray() << 100
        << QStringList{"0/100", "0/100", "1000/100", "1020/100"}
        << QStringList{"send ab", "wait 1000", "wait 1020", "send cd"};
    QTest::newRow("--rate: no more than a second's worth saved up")
        << QStringList{"0:" + QString(300, QLatin1Char('x'))} << 0 << QByteArray() << 100
        << QStringList{"0/1", "5000/1000"} << QStringList{"send x", "send " + QString(100, QLatin1Char('x'))};
    QTest::newRow("endless bytes again and again after the steps")
        << QStringList{"0:H"} << 0 << QByteArray("xy") << 0 << QStringList{"0/10", "0/10", "0/10", "0/1"}
        << QStringList{"send H", "send xy", "send xy", "send x"};
    QTest::newRow("no steps, as silent: done at once")
        << QStringList() << 0 << QByteArray() << 0 << QStringList{"0/100"} << QStringList{"done"};
}

void ConnectionPartsTest::planPlayer()
{
    QFETCH(QStringList, steps);
    QFETCH(int, delayMs);
    QFETCH(QByteArray, endless);
    QFETCH(int, rate);
    QFETCH(QStringList, calls);
    QFETCH(QStringList, moves);

    Plan plan;
    plan.delayMs = delayMs;
    for (const QString &step : steps)
        plan.steps.append({step.section(QLatin1Char(':'), 0, 0).toInt(), step.section(QLatin1Char(':'), 1).toLatin1()});
    if (!endless.isEmpty()) {
        plan.ending = Ending::Endless;
        plan.endless = endless;
    }
    PlanPlayer player(rate);
    player.start(plan, 0);
    QStringList played;
    for (const QString &call : calls)
        played.append(described(player.next(call.section(QLatin1Char('/'), 0, 0).toLongLong(),
                                            call.section(QLatin1Char('/'), 1).toLongLong())));
    QCOMPARE(played, moves);
}

void ConnectionPartsTest::requestSide_data()
{
    QTest::addColumn<QByteArray>("sent");
    QTest::addColumn<QString>("then");  // "", "FIN" or "RST"
    QTest::addColumn<int>("reads");     // allowed for each call
    QTest::addColumn<QStringList>("taken");
    QTest::addColumn<RequestSide::State>("state");

    QTest::newRow("a whole request, and the side stays open")
        << clientRequest << QString() << 4 << QStringList{"done", "incomplete"} << RequestSide::State::Open;
    QTest::newRow("no read allowed: nothing taken")
        << clientRequest << QString() << 0 << QStringList{"incomplete"} << RequestSide::State::Open;
    QTest::newRow("a request, then the peer's FIN: taken, then ended")
        << clientRequest << "FIN" << 4 << QStringList{"done", "incomplete"} << RequestSide::State::Ended;
    QTest::newRow("half a request, then FIN: ended")
        << clientRequest.left(40) << "FIN" << 4 << QStringList{"incomplete"} << RequestSide::State::Ended;
    QTest::newRow("a refusal ends it: what follows is not taken")
        << "GARBAGE\r\n\r\n" + clientRequest << QString() << 4 << QStringList{"rejected"} << RequestSide::State::Ending;
    QTest::newRow("a reset: broken") << clientRequest.left(40) << "RST" << 4 << QStringList{"incomplete"}
                                     << RequestSide::State::Broken;
}

void ConnectionPartsTest::requestSide()
{
    QFETCH(QByteArray, sent);
    QFETCH(QString, then);
    QFETCH(int, reads);
    QFETCH(QStringList, taken);
    QFETCH(RequestSide::State, state);

    TcpPair pair;
    QVERIFY(pair.served >= 0);
    QCOMPARE(::send(pair.peer, sent.constData(), static_cast<std::size_t>(sent.size()), 0), ssize_t(sent.size()));
    if (then == QLatin1String("FIN")) {
        QCOMPARE(::shutdown(pair.peer, SHUT_WR), 0);
    } else if (then == QLatin1String("RST")) {
        const linger abortive{1, 0};
        setsockopt(pair.peer, SOL_SOCKET, SO_LINGER, &abortive, sizeof abortive);
        ::close(pair.peer);
        pair.peer = -1;
    }
    pair.waitForInput();
    QTest::qWait(50);  // the FIN or the reset after the bytes

    RequestSide side(1024 * 1024);
    QStringList results;
    for (int call = 0; call < 8; ++call) {
        int allowed = reads;
        const ParseResult parsed = side.next(pair.served, &allowed);
        results.append(parsed.state == Parse::Done       ? QStringLiteral("done")
                       : parsed.state == Parse::Rejected ? QStringLiteral("rejected")
                                                         : QStringLiteral("incomplete"));
        if (parsed.state != Parse::Done)
            break;
    }
    QCOMPARE(results, taken);
    QCOMPARE(side.state(), state);
}

void ConnectionPartsTest::outboxTakesWhatTheKernelTakes()
{
    TcpPair pair;
    QVERIFY(pair.served >= 0);
    Outbox outbox;
    outbox.queue("small", 100);
    QCOMPARE(outbox.lastTakenMs(), qint64{100});  // the send time-out counts from the queueing
    QCOMPARE(outbox.flush(pair.served, 150), Outbox::Flush::Drained);
    QCOMPARE(outbox.unsent(), qint64{0});
    QCOMPARE(outbox.lastTakenMs(), qint64{150});

    // More than the kernel's buffers hold: the rest waits until the peer reads.
    const QByteArray big(16 * 1024 * 1024, 'b');
    outbox.queue(big, 200);
    QCOMPARE(outbox.flush(pair.served, 210), Outbox::Flush::Waiting);
    const qint64 left = outbox.unsent();
    QVERIFY(left > 0 && left < big.size());
    QCOMPARE(outbox.lastTakenMs(), qint64{210});
    outbox.queue("more", 220);
    QCOMPARE(outbox.lastTakenMs(), qint64{210});  // still waiting since the last take
    QByteArray received;
    char chunk[65536];
    QVERIFY(QTest::qWaitFor(
        [&] {
            for (ssize_t got; (got = ::recv(pair.peer, chunk, sizeof chunk, MSG_DONTWAIT)) > 0;)
                received.append(chunk, static_cast<int>(got));
            return outbox.flush(pair.served, 300) == Outbox::Flush::Drained && received.size() == 5 + big.size() + 4;
        },
        10000));
    QVERIFY(received == "small" + big + "more");
}

void ConnectionPartsTest::outboxFailsWhenThePeerIsGone()
{
    TcpPair pair;
    QVERIFY(pair.served >= 0);
    const linger abortive{1, 0};
    setsockopt(pair.peer, SOL_SOCKET, SO_LINGER, &abortive, sizeof abortive);
    ::close(pair.peer);
    pair.peer = -1;
    QTest::qWait(50);
    Outbox outbox;
    outbox.queue("lost", 0);
    QCOMPARE(outbox.flush(pair.served, 0), Outbox::Flush::Failed);
}

QTEST_GUILESS_MAIN(ConnectionPartsTest)
#include "tst_connection_parts.moc"
