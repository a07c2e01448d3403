// A server that vanishes without closing the connection, during a long
// statement: the run must end through the lost-connection path once the
// probes go unanswered, and not hang; while the server answers them, however
// long it works with statements queued behind it, the run goes on. The
// whole test process moves into a network namespace of its own, whose
// loopback carries a server of its own, so that dropping that port's packets
// touches nothing else.
#include "ExtraServer.h"
#include "RunListeners.h"
#include "TestSupport.h"
#include "db/Connection.h"
#include "db/ScriptRunner.h"

#include <QElapsedTimer>

#include <fcntl.h>
#include <sched.h>
#include <unistd.h>

namespace {

bool run(const QStringList &command, QString *output = nullptr)
{
    QProcess p;
    p.setProcessChannelMode(QProcess::MergedChannels);
    p.start(command.first(), command.mid(1));
    const bool ok
        = p.waitForFinished(30000) && p.exitStatus() == QProcess::NormalExit && p.exitCode() == 0;
    if (output)
        *output = QString::fromLocal8Bit(p.readAll());
    return ok;
}

} // namespace

class TestDeadNetwork : public QObject {
    Q_OBJECT
private slots:
    void initTestCase();
    void cleanupTestCase();
    void vanishedServerIsALostConnection_data();
    void vanishedServerIsALostConnection();

private:
    QString m_namespace = u"tesmor-dead-%1"_qs.arg(getpid());
    bool m_madeNamespace = false;
    QTemporaryDir m_appDir;
    std::unique_ptr<ExtraServer> m_server;
};

void TestDeadNetwork::initTestCase()
{
    QString why;
    QString output;
    if (geteuid() != 0)
        why = u"network namespaces need root"_qs;
    else if (!run({ u"ip"_qs, u"netns"_qs, u"add"_qs, m_namespace }, &output))
        why = u"ip netns add failed: "_qs + output;
    else
        m_madeNamespace = true;
    if (why.isEmpty()) {
        const int fd = ::open(qPrintable(u"/run/netns/"_qs + m_namespace), O_RDONLY | O_CLOEXEC);
        if (fd < 0 || setns(fd, CLONE_NEWNET) != 0)
            why = u"cannot enter the namespace"_qs;
        if (fd >= 0)
            ::close(fd);
    }
    if (why.isEmpty() && !run({ u"ip"_qs, u"link"_qs, u"set"_qs, u"lo"_qs, u"up"_qs }, &output))
        why = u"no loopback in the namespace: "_qs + output;
    if (why.isEmpty() && !run({ u"nft"_qs, u"--version"_qs }, &output))
        why = u"nft is missing: "_qs + output;
    if (!why.isEmpty()) {
        if (qEnvironmentVariableIsSet("CI"))
            QFAIL(qPrintable(u"cannot make a network of the test's own: "_qs + why));
        QSKIP(qPrintable(u"cannot make a network of the test's own: "_qs + why));
    }
    // Children started from here on live in the namespace too.
    m_server = std::make_unique<ExtraServer>();
    QVERIFY2(m_server->ok(), qPrintable(m_server->error()));
    QVERIFY2(m_server->sql(u"CREATE TABLE TESMOR_TEST.dead_rows (v LONGTEXT)"_qs),
        qPrintable(m_server->error()));
}

void TestDeadNetwork::cleanupTestCase()
{
    m_server.reset();
    if (m_madeNamespace)
        run({ u"ip"_qs, u"netns"_qs, u"del"_qs, m_namespace });
}

namespace {

// Shortened, to see a dead network quickly.
constexpr Connection::KeepAlive kTimers { 1, 1, 3 };
constexpr qint64 kBoundMs = (kTimers.idleSeconds + kTimers.intervalSeconds * kTimers.probes) * 1000;

// A long statement and, queued behind it, more than the server's receive
// window takes in while it works.
QString longStatementWithBigOnesQueued()
{
    const QString big
        = u"INSERT INTO dead_rows (v) VALUES ('%1');\r\n"_qs.arg(QString(100'000, u'x'));
    return u"DO SLEEP(12);\r\n"_qs + big.repeated(120) + u"DO 0"_qs;
}

} // namespace

void TestDeadNetwork::vanishedServerIsALostConnection_data()
{
    QTest::addColumn<QString>("script");
    QTest::addColumn<int>("dropDuring"); // the statement running when the packets stop; -1: never
    QTest::addColumn<int>("dropAfterMs"); // into it
    QTest::addColumn<int>("executed");
    QTest::addColumn<qint64>("earliestMs"); // from the drop to the lost connection
    QTest::addColumn<qint64>("latestMs");
    // The keepalive's probes, not anything sooner, notice it, and no later
    // than they should.
    QTest::newRow("waiting for the answer") << u"DO 1;\r\nSELECT SLEEP(60);\r\nDO 3"_qs << 1 << 300
                                            << 2 << kBoundMs - 1500 << kBoundMs + 3000;
    // The server keeps its window closed for three times the bound, and
    // answers every probe.
    QTest::newRow("statements queued behind a long one outlive the bound")
        << longStatementWithBigOnesQueued() << -1 << 0 << 122 << 0LL << 0LL;
    // The window probes back off by doubling, so the one in progress at the
    // drop is at most as long as the stall had lasted by then.
    constexpr int stalledMs = 6000;
    QTest::newRow("network gone while statements wait behind a long one")
        << longStatementWithBigOnesQueued() << 0 << stalledMs << 1 << 0LL
        << kBoundMs + stalledMs + 3000;
}

void TestDeadNetwork::vanishedServerIsALostConnection()
{
    QFETCH(QString, script);
    QFETCH(int, dropDuring);
    QFETCH(int, dropAfterMs);
    QFETCH(int, executed);
    QFETCH(qint64, earliestMs);
    QFETCH(qint64, latestMs);
    resetSharedState(m_appDir);
    RecordingPlatform platform;
    installPlatform(&platform);
    Connection::setKeepAlive(kTimers);
    QVERIFY(connectShared(m_server->server()));

    QElapsedTimer sinceDrop;
    QString nftOutput;
    const QString port = m_server->server().port;
    WhileRunning drop(
        dropDuring,
        [&] {
            if (dropDuring < 0)
                return;
            const bool dropped = run(
                { u"nft"_qs,
                    u"add table inet tesmor_dead; add chain inet tesmor_dead in { type "
                    "filter hook input priority 0; }; add rule inet tesmor_dead in tcp "
                    "sport %1 drop; add rule inet tesmor_dead in tcp dport %1 drop"_qs.arg(port) },
                &nftOutput);
            QVERIFY2(dropped, qPrintable(nftOutput));
            sinceDrop.start();
        },
        dropAfterMs);
    ScriptListener *extra[] = { &drop };
    QElapsedTimer took;
    took.start();
    const RunSummary summary = executeScript(script, extra);
    const qint64 runMs = took.elapsed();
    const qint64 tookMs = sinceDrop.isValid() ? sinceDrop.elapsed() : -1;
    if (dropDuring >= 0)
        run({ u"nft"_qs, u"delete table inet tesmor_dead"_qs });
    Connection::setKeepAlive({});
    installPlatform(nullptr);
    ModPublic::Cnn.reset();

    QCOMPARE(summary.executed, executed);
    if (dropDuring < 0) {
        qInfo("ran for %lld ms, bound %lld ms", runMs, kBoundMs);
        QVERIFY(!summary.connectionLost);
        QCOMPARE(summary.failed, 0);
        QCOMPARE(platform.messages, QStringList { u"Query Executed Successfully"_qs });
        return;
    }
    QVERIFY2(tookMs >= 0, "the packets were never dropped");
    qInfo("lost after %lld ms, bound %lld ms", tookMs, kBoundMs);
    QVERIFY(summary.connectionLost);
    QCOMPARE(platform.messages, QStringList { u"MySQL server has gone away"_qs });
    QCOMPARE(platform.endRequests, 1);
    QVERIFY2(tookMs >= earliestMs && tookMs <= latestMs,
        qPrintable(u"lost after %1 ms, expected from %2 to %3 ms"_qs.arg(tookMs)
                       .arg(earliestMs)
                       .arg(latestMs)));
}

QTEST_GUILESS_MAIN(TestDeadNetwork)
#include "tst_deadnetwork.moc"
