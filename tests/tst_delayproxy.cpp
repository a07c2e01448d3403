#include "ServerProbe.h"
#include "TestSupport.h"
#include "db/Connection.h"
#include "db/ConnectionString.h"

#include <QElapsedTimer>
#include <QProcess>

#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <optional>
#include <thread>

namespace {

// The benchmark's delay proxy in front of host:port, ended (end of its
// input) when this goes, whatever the test's outcome.
struct Proxy {
    QProcess process;
    QString port; // empty when it did not start

    Proxy(const QString &host, const QString &target, int delayMs, int rateMbit = 0)
    {
        QStringList arguments { u"0"_qs, host, target, QString::number(delayMs) };
        if (rateMbit > 0)
            arguments << QString::number(rateMbit);
        process.start(QString::fromUtf8(DELAY_PROXY), arguments);
        if (!process.waitForReadyRead(10000))
            return;
        const QByteArray line = process.readLine();
        if (line.startsWith("listening on "))
            port = QString::fromLatin1(line.mid(13).trimmed());
    }
    ~Proxy()
    {
        if (!ended())
            process.kill();
        process.waitForFinished(5000);
    }
    bool ended()
    {
        process.closeWriteChannel();
        return process.waitForFinished(5000) && process.exitCode() == 0;
    }
};

int loopbackSocket(unsigned short port, bool listening)
{
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr {};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = htons(port);
    auto *a = reinterpret_cast<sockaddr *>(&addr);
    if (listening ? bind(fd, a, sizeof addr) != 0 || listen(fd, 1) != 0
                  : ::connect(fd, a, sizeof addr) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

// Sends back whatever one connection sends, until it closes.
class EchoServer {
public:
    EchoServer()
        : m_listen(loopbackSocket(0, true))
    {
        sockaddr_in addr {};
        socklen_t len = sizeof addr;
        getsockname(m_listen, reinterpret_cast<sockaddr *>(&addr), &len);
        port = ntohs(addr.sin_port);
        m_thread = std::thread([this] {
            const int c = accept(m_listen, nullptr, nullptr);
            char buf[4096];
            ssize_t n = 0;
            while (c >= 0 && (n = read(c, buf, sizeof buf)) > 0)
                send(c, buf, static_cast<size_t>(n), MSG_NOSIGNAL);
            if (c >= 0)
                ::close(c);
        });
    }
    ~EchoServer()
    {
        shutdown(m_listen, SHUT_RDWR); // ends a wait for a connection that never came
        m_thread.join();
        ::close(m_listen);
    }
    unsigned short port = 0;

private:
    int m_listen;
    std::thread m_thread;
};

} // namespace

class TestDelayProxy : public QObject {
    Q_OBJECT
private slots:
    void carriesSessionAndEndsWithInput();
    void delaysChunksOnceNotOneAfterAnother();
    void compressesWhereTheLinkIsSlow_data();
    void compressesWhereTheLinkIsSlow();
};

// A result of thousands of rows crosses in many chunks: any loss or
// reordering breaks the protocol or changes the rows.
void TestDelayProxy::carriesSessionAndEndsWithInput()
{
    const TestServer server;
    REQUIRE_SERVER(server);
    Proxy proxy(server.host, server.port, 0);
    TestServer through = server;
    through.port = proxy.port;
    QVERIFY(!through.port.isEmpty());
    const QString big
        = u"SELECT CONCAT(seq, REPEAT(CHAR(65 + seq % 26), 2000)) FROM seq_1_to_3000"_qs;
    QStringList direct, proxied;
    {
        ServerProbe d(server, server.database);
        ServerProbe p(through, server.database);
        direct = d.column(big);
        proxied = p.column(big);
        QVERIFY2(d.ok() && p.ok(), qPrintable(d.error() + p.error()));
    }
    QCOMPARE(proxied.size(), 3000);
    QVERIFY(proxied == direct);

    QVERIFY(proxy.ended());
}

// Twenty chunks sent 10 ms apart through a 100 ms proxy to an echo: each
// comes back about 200 ms after it left. Delaying each chunk after the one
// before would take 20 x 100 ms and more.
void TestDelayProxy::delaysChunksOnceNotOneAfterAnother()
{
    constexpr int kDelayMs = 100;
    constexpr int kChunks = 20;
    EchoServer echo;
    Proxy proxy(u"127.0.0.1"_qs, QString::number(echo.port), kDelayMs);
    QVERIFY(!proxy.port.isEmpty());
    const int fd = loopbackSocket(proxy.port.toUShort(), false);
    QVERIFY(fd >= 0);
    QElapsedTimer clock;
    clock.start();
    QByteArray sent;
    for (int i = 0; i < kChunks; ++i) {
        const QByteArray chunk = QByteArray::number(i).rightJustified(8, '0');
        send(fd, chunk.constData(), static_cast<size_t>(chunk.size()), MSG_NOSIGNAL);
        sent += chunk;
        QTest::qSleep(10);
    }
    QByteArray received;
    qint64 firstBackMs = -1;
    char buf[256];
    ssize_t n = 0;
    while (received.size() < sent.size() && (n = read(fd, buf, sizeof buf)) > 0) {
        if (firstBackMs < 0)
            firstBackMs = clock.elapsed();
        received.append(buf, n);
    }
    const qint64 lastBackMs = clock.elapsed();
    ::close(fd);
    QCOMPARE(received, sent);
    // The proxy may send up to a quarter of the delay early, to make up for
    // its timer's wake-up time.
    QVERIFY2(firstBackMs >= 2 * kDelayMs * 3 / 4, qPrintable(QString::number(firstBackMs)));
    QVERIFY2(lastBackMs < kChunks * kDelayMs / 2, qPrintable(QString::number(lastBackMs)));
}

void TestDelayProxy::compressesWhereTheLinkIsSlow_data()
{
    QTest::addColumn<int>("delayMs"); // -1: straight to the server
    QTest::addColumn<int>("rateMbit"); // 0: uncapped
    QTest::addColumn<bool>("allowed");
    QTest::addColumn<bool>("compressed");
    QTest::newRow("loopback") << -1 << 0 << true << false;
    QTest::newRow("2 ms each way, uncapped") << 2 << 0 << true << false;
    QTest::newRow("2 ms each way, 20 Mbit/s") << 2 << 20 << true << true;
    QTest::newRow("2 ms each way, 20 Mbit/s, turned off") << 2 << 20 << false << false;
}

// As the server sees the session, and before any statement of the user's.
void TestDelayProxy::compressesWhereTheLinkIsSlow()
{
    QFETCH(int, delayMs);
    QFETCH(int, rateMbit);
    QFETCH(bool, allowed);
    QFETCH(bool, compressed);
    const TestServer server;
    REQUIRE_SERVER(server);
    ServerProbe probe(server, server.database);
    QVERIFY2(probe.exec(u"CREATE OR REPLACE TABLE link_compression (id BIGINT, seen TEXT)"_qs),
        qPrintable(probe.error()));
    std::optional<Proxy> proxy;
    if (delayMs >= 0)
        proxy.emplace(server.host, server.port, delayMs, rateMbit);
    const QString port = proxy ? proxy->port : server.port;
    QVERIFY(!port.isEmpty());

    Connection::setCompressionWhereSlow(allowed);
    Connection c;
    c.setConnectionString(
        composeConnectionString(port, server.host, u"olun"_qs, QString(), server.database));
    const Outcome opened = c.Open();
    Connection::setCompressionWhereSlow();
    VERIFY_OK(opened);
    VERIFY_OK(c.Execute(u"INSERT INTO link_compression SELECT CONNECTION_ID(), VARIABLE_VALUE "
                        "FROM information_schema.SESSION_STATUS WHERE VARIABLE_NAME = "
                        "'Compression'"_qs));
    const QString seen
        = probe.scalar(u"SELECT seen FROM link_compression WHERE id = %1"_qs.arg(c.threadId()));
    const QString rate = c.linkRate() ? QString::number(*c.linkRate() / 1e6) : u"none"_qs;
    QVERIFY2(seen == (compressed ? u"ON" : u"OFF"), qPrintable(seen + u", MB/s: "_qs + rate));
    QCOMPARE(c.compressed(), compressed);
    // The link was measured wherever the choice was Tesmor's to make.
    QCOMPARE(c.linkRate().has_value(), allowed);
    QVERIFY(probe.exec(u"DROP TABLE link_compression"_qs));
}

QTEST_GUILESS_MAIN(TestDelayProxy)
#include "tst_delayproxy.moc"
