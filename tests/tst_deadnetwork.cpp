// A server that vanishes without closing the connection, during a long
// statement: the run must end through the lost-connection path once the
// keepalive probes go unanswered, and not hang. The whole test process moves
// into a network namespace of its own, whose loopback carries a server of
// its own, so that dropping that port's packets touches nothing else.
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
}

void TestDeadNetwork::cleanupTestCase()
{
    m_server.reset();
    if (m_madeNamespace)
        run({ u"ip"_qs, u"netns"_qs, u"del"_qs, m_namespace });
}

void TestDeadNetwork::vanishedServerIsALostConnection()
{
    resetSharedState(m_appDir);
    RecordingPlatform platform;
    installPlatform(&platform);
    const Connection::KeepAlive timers { 1, 1, 3 };
    Connection::setKeepAlive(timers);
    const qint64 boundMs = (timers.idleSeconds + timers.intervalSeconds * timers.probes) * 1000;
    QVERIFY(connectShared(m_server->server()));

    QElapsedTimer sinceDrop;
    QString nftOutput;
    const QString port = m_server->server().port;
    WhileRunning drop(1, [&] {
        const bool dropped = run(
            { u"nft"_qs,
                u"add table inet tesmor_dead; add chain inet tesmor_dead in { type "
                "filter hook input priority 0; }; add rule inet tesmor_dead in tcp "
                "sport %1 drop; add rule inet tesmor_dead in tcp dport %1 drop"_qs.arg(port) },
            &nftOutput);
        QVERIFY2(dropped, qPrintable(nftOutput));
        sinceDrop.start();
    });
    ScriptListener *extra[] = { &drop };
    const RunSummary summary = executeScript(u"DO 1;\r\nSELECT SLEEP(60);\r\nDO 3"_qs, extra);
    const qint64 tookMs = sinceDrop.isValid() ? sinceDrop.elapsed() : -1;
    run({ u"nft"_qs, u"delete table inet tesmor_dead"_qs });
    Connection::setKeepAlive({});
    installPlatform(nullptr);
    ModPublic::Cnn.reset();

    QVERIFY2(tookMs >= 0, "the packets were never dropped");
    qInfo("lost after %lld ms, keepalive bound %lld ms", tookMs, boundMs);
    QVERIFY(summary.connectionLost);
    QCOMPARE(summary.executed, 2);
    QCOMPARE(platform.messages, QStringList { u"MySQL server has gone away"_qs });
    QCOMPARE(platform.endRequests, 1);
    // The probes, not anything sooner, noticed it, and no later than they should.
    QVERIFY2(tookMs >= boundMs - 1500 && tookMs <= boundMs + 3000,
        qPrintable(u"lost after %1 ms, keepalive bound %2 ms"_qs.arg(tookMs).arg(boundMs)));
}

QTEST_GUILESS_MAIN(TestDeadNetwork)
#include "tst_deadnetwork.moc"
