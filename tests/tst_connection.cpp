#include "ExtraServer.h"
#include "FakeListener.h"
#include "ServerProbe.h"
#include "TestSupport.h"
#include "db/Connection.h"
#include "db/ConnectionString.h"
#include "db/PeerWatch.h"
#include "db/VerifiedServers.h"

#include <QFileInfo>
#include <QScopeGuard>

#include <sys/resource.h>
#include <sys/stat.h>

namespace {

// What the watch of a connection reads at one look.
struct PeerLook {
    qint64 atMs;
    bool owed;
    qint64 silentMs;
};

long peakRssKiB()
{
    rusage usage {};
    getrusage(RUSAGE_SELF, &usage);
    return usage.ru_maxrss;
}

} // namespace

Q_DECLARE_METATYPE(QList<PeerLook>)

class TestConnection : public QObject {
    Q_OBJECT
private slots:
    void initTestCase();
    void init();
    void cleanup();
    void makeConnection_data();
    void makeConnection();
    void openRefusedWithoutTrying_data();
    void openRefusedWithoutTrying();
    void serverNameIsOnlyAHost_data();
    void serverNameIsOnlyAHost();
    void failedHandshakeIsNotGoneAway_data();
    void failedHandshakeIsNotGoneAway();
    void refusedAccount();
    void typedLocalhostWorks();
    void executeFailureCarriesNativeCodes();
    void executeOnClosedConnectionFails();
    void callResultsAreDrained();
    void largeSelectStreamsInConstantMemory();
    void localFilesCannotBeRead();
    void killedConnectionTakesFatalPath_data();
    void killedConnectionTakesFatalPath();
    void newConnectionReplacesOld();
    void tlsWhenOffered_data();
    void tlsWhenOffered();
    void verifiedServerIsHeldToIt();
    void overSizeStatementsAreNotSent_data();
    void overSizeStatementsAreNotSent();
    void silentPeerIsGone_data();
    void silentPeerIsGone();
    void cleanupTestCase();

private:
    Connection *openDirect(const QString &database, const TestServer *server = nullptr);
    ExtraServer *tlsServer(bool caSigned = false);

    TestServer m_server;
    QTemporaryDir m_appDir;
    RecordingPlatform m_platform;
    std::unique_ptr<Connection> m_direct;
    QTemporaryDir m_certDir;
    std::unique_ptr<ExtraServer> m_tlsServer;
    std::unique_ptr<ExtraServer> m_caSignedServer;
    // The remembered servers' file is looked for here.
    QTemporaryDir m_stateDir;
    QString logPath() const { return m_appDir.filePath(u"GenLogger.log"_qs); }
};

void TestConnection::initTestCase()
{
    qputenv("XDG_STATE_HOME", QFile::encodeName(m_stateDir.path()));
    // Where Connector/C finds the local socket, read when it starts.
    qputenv("MYSQL_UNIX_PORT", qgetenv("TESMOR_TEST_SOCKET"));
}

void TestConnection::init()
{
    QFile::remove(logPath());
    resetSharedState(m_appDir);
    m_platform = RecordingPlatform();
    installPlatform(&m_platform);
}

void TestConnection::cleanup()
{
    ModPublic::Cnn.reset();
    m_direct.reset();
    installPlatform(nullptr);
}

void TestConnection::cleanupTestCase()
{
    m_tlsServer.reset();
    m_caSignedServer.reset();
}

Connection *TestConnection::openDirect(const QString &database, const TestServer *server)
{
    const TestServer &s = server ? *server : m_server;
    m_direct = std::make_unique<Connection>();
    m_direct->setConnectionString(
        composeConnectionString(s.port, s.host, u"olun"_qs, QString(), database));
    const Outcome failure = m_direct->Open();
    if (failure) {
        qWarning("open failed: %s", qPrintable(failure->Description));
        return nullptr;
    }
    return m_direct.get();
}

void TestConnection::makeConnection_data()
{
    QTest::addColumn<QString>("server");
    QTest::addColumn<QString>("port");
    QTest::addColumn<QString>("database");
    QTest::addColumn<QString>("failure"); // empty: the connection opens
    QTest::addColumn<QString>("seenFrom"); // the host the server sees, when it opens
    // What stands where the verified servers are listed; empty: nothing.
    QTest::addColumn<QString>("list");

    const TestServer s;
    const QString tcp = s.host + u':';
    const auto row
        = [](const char *name, const QString &server, const QString &port, const QString &database,
              const QString &failure, const QString &seenFrom, const QString &list = QString()) {
              QTest::newRow(name) << server << port << database << failure << seenFrom << list;
          };
    row("opens", s.host, s.port, s.database, u""_qs, tcp);
    row("database typed in capitals", s.host, s.port, s.database.toUpper(), u""_qs, tcp);
    row("unknown host", u"no-such-host.invalid"_qs, s.port, s.database, u"Unknown server host"_qs,
        u""_qs);
    row("refused port", u"127.0.0.1"_qs, u"1"_qs, s.database, u"Can't connect"_qs, u""_qs);
    row("unknown database", s.host, s.port, u"NO_SUCH_DB"_qs, u"Unknown database"_qs, u""_qs);
    row("database holding an option", s.host, s.port, u"NO_SUCH_DB;database="_qs + s.database,
        u"Unknown database 'no_such_db;database="_qs, u""_qs);
    row("port not a number", s.host, u"33O6"_qs, s.database, u"Invalid port \"33O6\""_qs, u""_qs);
    row("port out of range", s.host, u"65536"_qs, s.database, u"Invalid port \"65536\""_qs, u""_qs);
    row("port zero", s.host, u"0"_qs, s.database, u"Invalid port \"0\""_qs, u""_qs);
    // Connector/C alone would take the exact name to the local socket.
    row("pasted localhost with a port: TCP to that port", u"localhost"_qs, s.port, s.database,
        u""_qs, tcp);
    row("LOCALHOST without a port: the local socket", u"LOCALHOST"_qs, u""_qs, s.database, u""_qs,
        u"localhost"_qs);
    // A list that cannot be read could hold any server, this one too.
    const QString unreadable = u"tesmor/verified-servers cannot be read: "_qs;
    row("list a folder: refused", s.host, s.port, s.database, unreadable + u"it is a folder"_qs,
        u""_qs, u"folder"_qs);
    row("list a FIFO: refused, not waited on", s.host, s.port, s.database,
        unreadable + u"it is not a regular file"_qs, u""_qs, u"fifo"_qs);
    row("state folder a file: refused", s.host, s.port, s.database,
        unreadable + u"Not a directory"_qs, u""_qs, u"under a file"_qs);
    row("list a symlink: refused", s.host, s.port, s.database,
        unreadable + u"it is a symbolic link"_qs, u""_qs, u"symlink"_qs);
    const QString malformed = unreadable + u"line 2 is not \"host port\""_qs;
    row("line with a byte order mark: refused", s.host, s.port, s.database, malformed, u""_qs,
        u"\uFEFF"_qs + s.host + u' ' + s.port);
    row("comment line: refused", s.host, s.port, s.database, malformed, u""_qs,
        u"# since May: "_qs + s.host + u' ' + s.port);
    row("host:port line: refused", s.host, s.port, s.database, malformed, u""_qs,
        s.host + u':' + s.port);
}

void TestConnection::makeConnection()
{
    REQUIRE_SERVER(m_server);
    QFETCH(QString, server);
    QFETCH(QString, port);
    QFETCH(QString, database);
    QFETCH(QString, failure);
    QFETCH(QString, seenFrom);
    QFETCH(QString, list);

    // A state folder of the row's own.
    QTemporaryDir state;
    const auto restore
        = qScopeGuard([this] { qputenv("XDG_STATE_HOME", QFile::encodeName(m_stateDir.path())); });
    if (!list.isEmpty()) {
        qputenv("XDG_STATE_HOME", QFile::encodeName(state.path()));
        const QByteArray path = QFile::encodeName(VerifiedServers::filePath());
        const QString real = state.filePath(u"real-list"_qs);
        QVERIFY(list == u"under a file" || QDir().mkpath(stateDirectory()));
        if (list == u"folder") {
            QVERIFY(QDir().mkpath(VerifiedServers::filePath()));
        } else if (list == u"fifo") {
            QCOMPARE(::mkfifo(path.constData(), 0600), 0);
        } else if (list == u"under a file") {
            QVERIFY(appendToRegularFile(stateDirectory(), "not a folder\n"));
        } else if (list == u"symlink") {
            QVERIFY(appendToRegularFile(real, "db1.example.com 3306\n"));
            QCOMPARE(::symlink(QFile::encodeName(real).constData(), path.constData()), 0);
        } else {
            QVERIFY(appendToRegularFile(
                VerifiedServers::filePath(), "db1.example.com 3306\n" + list.toUtf8() + '\n'));
        }
    }

    ModPublic::ServerName = server;
    ModPublic::Port = port;
    ModPublic::DBName = database;
    ModPublic::UserName = u"TYPED USER"_qs;
    ModPublic::Password = u"TYPED PASSWORD"_qs;

    const bool opened = ModPublic::MakeConnection();

    // The typed account never reaches the server.
    QCOMPARE(ModPublic::UserName, u"olun"_qs);
    QCOMPARE(ModPublic::Password, QString());
    QVERIFY(ModPublic::Cnn);
    QVERIFY(!ModPublic::Cnn->connectionString().contains(u"TYPED"_qs));
    QCOMPARE(ModPublic::Cnn->cursorLocation(), 3);

    const QStringList lines = readLogLines(logPath());
    if (failure.isEmpty()) {
        QVERIFY2(opened, qPrintable(lines.join(u'\n')));
        QCOMPARE(ModPublic::Cnn->State(), 1);
        ServerProbe probe(m_server);
        const QString host
            = probe.scalar(u"SELECT HOST FROM information_schema.PROCESSLIST WHERE ID = %1"_qs.arg(
                ModPublic::Cnn->threadId()));
        QVERIFY2(host == seenFrom || (seenFrom.endsWith(u':') && host.startsWith(seenFrom)),
            qPrintable(host));
        QVERIFY(m_platform.messages.isEmpty());
        QVERIFY(lines.isEmpty());
    } else {
        QVERIFY(!opened);
        QCOMPARE(ModPublic::Cnn->State(), 0);
        QCOMPARE(m_platform.messages.size(), 1);
        // The reason in plain sight, as the log has it, without internal names.
        const std::optional<QString> reason
            = connectFailureReason(m_platform.messages[0], logPath());
        QVERIFY2(reason && reason->contains(failure)
                && !reason->contains(QString::fromUtf16(kConnectionSource)),
            qPrintable(m_platform.messages[0]));
        QCOMPARE(lines.size(), 1);
        QVERIFY2(lines[0].contains(failure), qPrintable(lines[0]));
        QVERIFY(lines[0].contains(u"ModPublic\tMakeConnection"_qs));
        QVERIFY(lines[0].contains(QString::number(kDriverFailure)));
    }
    QCOMPARE(m_platform.endRequests, 0);
}

void TestConnection::openRefusedWithoutTrying_data()
{
    QTest::addColumn<QString>("connectionString");
    QTest::addColumn<QString>("failure");
    QTest::newRow("other provider") << "PROVIDER=SQLOLEDB;driver={MySQL};server=h"
                                    << "Provider \"SQLOLEDB\" is not available";
    QTest::newRow("other driver") << "PROVIDER=MSDASQL;driver={SQL Server};server=h"
                                  << "Driver \"SQL Server\" is not available";
    QTest::newRow("no driver") << "PROVIDER=MSDASQL;server=h"
                               << "Driver \"\" is not available";
    QTest::newRow("negative port") << "driver={MySQL};server=h;Port=-1"
                                   << "Invalid port \"-1\"";
}

void TestConnection::openRefusedWithoutTrying()
{
    QFETCH(QString, connectionString);
    QFETCH(QString, failure);
    Connection c;
    c.setConnectionString(connectionString);
    const Outcome outcome = c.Open();
    QVERIFY(outcome);
    QVERIFY2(outcome->Description.startsWith(failure), qPrintable(outcome->Description));
    QCOMPARE(outcome->Number, kDriverFailure);
    QCOMPARE(c.State(), 0);
}

void TestConnection::serverNameIsOnlyAHost_data()
{
    QTest::addColumn<QString>("server");
    QTest::addColumn<bool>("valid");
    QTest::newRow("local files option") << "host=127.0.0.1;local_infile=1" << false;
    QTest::newRow("plugin of the user's choice")
        << "host=127.0.0.1;plugin-dir=/tmp;default-auth=x" << false;
    QTest::newRow("init command") << "host=127.0.0.1;init-command=DROP DATABASE x" << false;
    QTest::newRow("socket override") << "127.0.0.1;socket=/run/mysqld/mysqld.sock" << false;
    QTest::newRow("stray semicolon used the local socket") << "DB.EXAMPLE.INVALID;" << false;
    QTest::newRow("socket path") << "/run/mysqld/mysqld.sock" << false;
    QTest::newRow("space inside") << "127.0.0.1 x" << false;
    QTest::newRow("control character") << "127.0.0.1\n" << false;
    QTest::newRow("port after colon") << "127.0.0.1:3306" << false;
    QTest::newRow("brackets around a name") << "[db1]" << false;
    QTest::newRow("empty label") << "db..example" << false;
    QTest::newRow("empty") << "" << false;
    QTest::newRow("IPv4") << "127.0.0.1" << true;
    QTest::newRow("name in capitals") << "LOCALHOST" << true;
    QTest::newRow("IPv6") << "::1" << true;
    QTest::newRow("IPv6 in brackets") << "[::1]" << true;
}

// A hostile name fails before anything is connected; a plain one goes on to
// the network (where nothing speaks MySQL).
void TestConnection::serverNameIsOnlyAHost()
{
    QFETCH(QString, server);
    QFETCH(bool, valid);
    const FakeListener listener(FakeListener::Manner::Closes);
    QVERIFY(listener.port());
    Connection c;
    c.setConnectTimeout(2);
    c.setConnectionString(composeConnectionString(
        QString::number(listener.port()), server, u"olun"_qs, QString(), u"TESMOR_TEST"_qs));
    const Outcome outcome = c.Open();
    QVERIFY(outcome);
    QCOMPARE(c.State(), 0);
    const QString invalid = u"Invalid server name \"%1\": "_qs.arg(server);
    QVERIFY2(outcome->Description.startsWith(invalid) != valid, qPrintable(outcome->Description));
    if (!valid)
        QCOMPARE(listener.accepted(), 0);
}

void TestConnection::failedHandshakeIsNotGoneAway_data()
{
    QTest::addColumn<int>("manner");
    QTest::newRow("stays silent") << int(FakeListener::Manner::Silent);
    QTest::newRow("accepts, closes") << int(FakeListener::Manner::Closes);
    QTest::newRow("answers like a web server") << int(FakeListener::Manner::WebServer);
}

// Only an open connection can be lost: a port that does not speak MySQL is
// a failed connect, with the library's own message.
void TestConnection::failedHandshakeIsNotGoneAway()
{
    QFETCH(int, manner);
    const FakeListener listener { FakeListener::Manner(manner) };
    QVERIFY(listener.port());
    Connection c;
    c.setConnectTimeout(1); // the silent one would hold the test for the whole default
    c.setConnectionString(composeConnectionString(
        QString::number(listener.port()), u"127.0.0.1"_qs, u"olun"_qs, QString(), u"DB"_qs));
    const Outcome outcome = c.Open();
    QVERIFY(outcome);
    QVERIFY2(outcome->Description.startsWith(u"Lost connection to server at '"_qs),
        qPrintable(outcome->Description + u' ' + outcome->Source));
    QVERIFY(!isGoneAway(*outcome));
}

void TestConnection::refusedAccount()
{
    REQUIRE_SERVER(m_server);
    Connection c;
    // Read as options, these would log in as olun; they are only a name and a password.
    c.setConnectionString(composeConnectionString(m_server.port, m_server.host,
        u"nobody;user=olun"_qs, u"wrong;password="_qs, m_server.database));
    const Outcome outcome = c.Open();
    QVERIFY(outcome);
    QVERIFY2(outcome->Description.contains(u"Access denied for user 'nobody;user=olun'"_qs),
        qPrintable(outcome->Description));
    QCOMPARE(outcome->Source, u"MySQL 1045 (28000)"_qs);
    QCOMPARE(c.State(), 0);
}

void TestConnection::typedLocalhostWorks()
{
    REQUIRE_SERVER(m_server);
    if (m_server.host != u"127.0.0.1")
        QSKIP("the test server is not on 127.0.0.1");
    QVERIFY2(
        connectShared(m_server, u"LOCALHOST"_qs), qPrintable(readLogLines(logPath()).join(u'\n')));
}

void TestConnection::executeFailureCarriesNativeCodes()
{
    REQUIRE_SERVER(m_server);
    Connection *c = openDirect(m_server.database);
    QVERIFY(c);
    const Outcome outcome = c->Execute(u"SELECT * FROM no_such_table"_qs);
    QVERIFY(outcome);
    QCOMPARE(outcome->Number, kDriverFailure);
    QCOMPARE(outcome->Source, u"MySQL 1146 (42S02)"_qs);
    QVERIFY(outcome->Description.contains(u"no_such_table"_qs));
    // The connection stays usable after a failed statement.
    VERIFY_OK(c->Execute(u"SELECT 1"_qs));
}

void TestConnection::executeOnClosedConnectionFails()
{
    Connection c;
    const Outcome outcome = c.Execute(u"SELECT 1"_qs);
    QVERIFY(outcome);
    QVERIFY(!isGoneAway(*outcome));
}

void TestConnection::callResultsAreDrained()
{
    REQUIRE_SERVER(m_server);
    Connection *c = openDirect(m_server.database);
    QVERIFY(c);
    VERIFY_OK(c->Execute(u"DROP PROCEDURE IF EXISTS two_results"_qs));
    VERIFY_OK(c->Execute(
        u"CREATE PROCEDURE two_results() BEGIN SELECT 1; SELECT 'a', 'b' UNION SELECT 'c', 'd'; END"_qs));
    VERIFY_OK(c->Execute(u"CALL two_results()"_qs));
    VERIFY_OK(c->Execute(u"SELECT 2"_qs));
    VERIFY_OK(c->Execute(u"CALL two_results()"_qs));
    VERIFY_OK(c->Execute(u"DROP PROCEDURE two_results"_qs));
}

void TestConnection::largeSelectStreamsInConstantMemory()
{
    REQUIRE_SERVER(m_server);
    Connection *c = openDirect(m_server.database);
    QVERIFY(c);
    VERIFY_OK(c->Execute(u"SELECT 1"_qs));
    const long before = peakRssKiB();
    // About 300 MB of rows: holding them would show at once in the peak.
    VERIFY_OK(c->Execute(u"SELECT seq, REPEAT('x', 1000) FROM seq_1_to_300000"_qs));
    const long grownKiB = peakRssKiB() - before;
    QVERIFY2(grownKiB < 64 * 1024, qPrintable(u"peak grew by %1 KiB"_qs.arg(grownKiB)));
    VERIFY_OK(c->Execute(u"SELECT 1"_qs));
}

void TestConnection::localFilesCannotBeRead()
{
    REQUIRE_SERVER(m_server);
    Connection *c = openDirect(m_server.database);
    QVERIFY(c);
    VERIFY_OK(c->Execute(u"CREATE TEMPORARY TABLE lines_read (line TEXT)"_qs));
    const Outcome outcome
        = c->Execute(u"LOAD DATA LOCAL INFILE '/etc/hostname' INTO TABLE lines_read"_qs);
    QVERIFY(outcome);
    ServerProbe probe(m_server, m_server.database);
    QVERIFY2(probe.ok(), qPrintable(probe.error()));
}

void TestConnection::killedConnectionTakesFatalPath_data()
{
    QTest::addColumn<bool>("tls");
    QTest::newRow("administrator's KILL: 1927") << false;
    // Connector/C closes the connection and reports the failed read as a
    // TLS error.
    QTest::newRow("TLS server killed: 2026") << true;
}

void TestConnection::killedConnectionTakesFatalPath()
{
    REQUIRE_SERVER(m_server);
    QFETCH(bool, tls);
    std::unique_ptr<ExtraServer> victim;
    if (tls) {
        ExtraServerOptions options;
        options.selfSignedTls = true;
        victim = std::make_unique<ExtraServer>(options);
        QVERIFY2(victim->ok(), qPrintable(victim->error()));
    }
    QVERIFY(connectShared(tls ? victim->server() : m_server));
    QCOMPARE(ModPublic::Cnn->sslCipher().isEmpty(), !tls);

    if (tls) {
        victim->kill();
    } else {
        ServerProbe admin(m_server);
        QVERIFY2(admin.ok(), qPrintable(admin.error()));
        QVERIFY2(
            admin.exec(u"KILL %1"_qs.arg(ModPublic::Cnn->threadId())), qPrintable(admin.error()));
    }

    const Outcome outcome = ModPublic::Cnn->Execute(u"SELECT 1"_qs);
    QVERIFY(outcome);
    QVERIFY2(isGoneAway(*outcome), qPrintable(outcome->Description + u' ' + outcome->Source));

    const Trap trap(u"FrmQuery"_qs, u"ExecuteNow"_qs);
    trap(*outcome);
    const QStringList lines = readLogLines(logPath());
    QCOMPARE(lines.size(), 1);
    QVERIFY(lines[0].contains(u"MySQL server has gone away"_qs));
    QCOMPARE(m_platform.messages, QStringList { u"MySQL server has gone away"_qs });
    QCOMPARE(m_platform.endRequests, 1);
}

void TestConnection::newConnectionReplacesOld()
{
    REQUIRE_SERVER(m_server);
    QVERIFY(connectShared(m_server));
    const unsigned long first = ModPublic::Cnn->threadId();
    QVERIFY(ModPublic::MakeConnection());
    QVERIFY(ModPublic::Cnn->threadId() != first);

    // The first connection was closed when it was replaced.
    ServerProbe probe(m_server);
    QTRY_COMPARE(
        probe.scalar(
            u"SELECT COUNT(*) FROM information_schema.PROCESSLIST WHERE ID = %1"_qs.arg(first)),
        u"0"_qs);
}

constexpr int kSmallPacket = 65536;

// Servers of the suite's own, started on first use, with a small packet
// limit: one with a self-signed certificate, and one whose certificate the
// suite's own CA signed for the names the tests type, the CA standing in for
// the system's trust store.
ExtraServer *TestConnection::tlsServer(bool caSigned)
{
    std::unique_ptr<ExtraServer> &server = caSigned ? m_caSignedServer : m_tlsServer;
    if (server)
        return server->ok() ? server.get() : nullptr;
    ExtraServerOptions options;
    options.serverArguments = { u"--max-allowed-packet=%1"_qs.arg(kSmallPacket) };
    if (caSigned) {
        const QString key = m_certDir.filePath(u"signed-key.pem"_qs);
        const QString cert = m_certDir.filePath(u"signed.pem"_qs);
        const QString caKey = m_certDir.filePath(u"ca-key.pem"_qs);
        const QString ca = m_certDir.filePath(u"ca.pem"_qs);
        if (!newCertificate(u"/CN=Tesmor test CA"_qs, caKey, ca)
            || !newCertificate(u"/CN=tesmor-test-server"_qs, key, cert,
                { u"-CA"_qs, ca, u"-CAkey"_qs, caKey, u"-addext"_qs,
                    u"subjectAltName=DNS:localhost,IP:127.0.0.1"_qs, u"-addext"_qs,
                    u"basicConstraints=CA:FALSE"_qs }))
            return nullptr;
        qputenv("SSL_CERT_FILE", QFile::encodeName(ca));
        options.serverArguments << u"--ssl-cert="_qs + cert << u"--ssl-key="_qs + key;
    } else {
        options.selfSignedTls = true;
    }
    server = std::make_unique<ExtraServer>(options);
    if (!server->ok()) {
        qWarning("extra server: %s", qPrintable(server->error()));
        return nullptr;
    }
    return server.get();
}

void TestConnection::tlsWhenOffered_data()
{
    QTest::addColumn<bool>("offered");
    QTest::newRow("server with TLS: encrypted") << true;
    QTest::newRow("usual server without TLS: plain") << false;
}

void TestConnection::tlsWhenOffered()
{
    REQUIRE_SERVER(m_server);
    QFETCH(bool, offered);
    ExtraServer *extra = offered ? tlsServer() : nullptr;
    QVERIFY(extra || !offered);
    const TestServer server = offered ? extra->server() : m_server;
    Connection *c = openDirect(server.database, &server);
    QVERIFY(c);

    // What the server says about the program's own session.
    VERIFY_OK(c->Execute(u"DROP TABLE IF EXISTS tls_seen"_qs));
    VERIFY_OK(
        c->Execute(u"CREATE TABLE tls_seen AS SELECT VARIABLE_VALUE AS cipher FROM "
                   "information_schema.SESSION_STATUS WHERE VARIABLE_NAME = 'Ssl_cipher'"_qs));
    ServerProbe probe(server, server.database);
    const QString seen = probe.scalar(u"SELECT cipher FROM tls_seen"_qs);
    QVERIFY2(probe.ok(), qPrintable(probe.error()));
    QCOMPARE(seen.isEmpty(), !offered);
    QCOMPARE(c->sslCipher(), seen);
    // Never verified, so never held to a certificate.
    const VerifiedServers::Lookup held
        = VerifiedServers::find(server.host.toLatin1(), server.port.toUInt());
    QVERIFY(held.lines.isEmpty() && held.problem.isEmpty());
}

// What the user types stays the same; what answers at that address changes.
void TestConnection::verifiedServerIsHeldToIt()
{
    REQUIRE_SERVER(m_server);
    ExtraServer *const signedByCa = tlsServer(true);
    ExtraServer *const selfSigned = tlsServer();
    QVERIFY(signedByCa && selfSigned);
    FakeListener proxy(FakeListener::Manner::Forwards);
    QVERIFY(proxy.port());
    const quint16 caPort = signedByCa->server().port.toUShort();
    const quint16 selfSignedPort = selfSigned->server().port.toUShort();
    TestServer address = signedByCa->server();
    address.port = QString::number(proxy.port());

    // Servers remembered before stay as they are.
    QByteArray expected = "db1.example.com 3306\n::1 3307\n";
    QDir().mkpath(stateDirectory());
    QVERIFY(appendToRegularFile(VerifiedServers::filePath(), expected));
    const auto listed = [] {
        QFile list(VerifiedServers::filePath());
        return list.open(QIODevice::ReadOnly) ? list.readAll() : QByteArray();
    };

    struct Step {
        const char *what;
        QString typed;
        quint16 target;
        bool stripTls;
        QByteArray byHand; // a line another program or the user adds first
        QByteArray added; // the line it adds to the list
        QString refusal; // the lines a refusal names; empty: it opens with TLS
    };
    const QByteArray port = QByteArray::number(proxy.port());
    const Step steps[] = {
        { "name in capitals, verified: remembered", u"LOCALHOST"_qs, caPort, false, {},
            "localhost " + port + '\n', {} },
        { "IP address, verified: remembered", u"127.0.0.1"_qs, caPort, false, {},
            "127.0.0.1 " + port + '\n', {} },
        { "remembered name again: opens", u"LOCALHOST"_qs, caPort, false, {}, {}, {} },
        { "TLS bit cleared in the greeting: refused", u"LOCALHOST"_qs, caPort, true, {}, {},
            u"line 3"_qs },
        { "another certificate at that address: refused", u"127.0.0.1"_qs, selfSignedPort, false,
            {}, {}, u"line 4"_qs },
        // Both must go for the server to be let go.
        { "name listed twice: both named", u"LOCALHOST"_qs, caPort, true, "Localhost. " + port, {},
            u"lines 3 and 5"_qs },
    };
    for (const Step &step : steps) {
        proxy.forwardTo(step.target, step.stripTls);
        QFile::remove(logPath());
        m_platform.messages.clear();
        if (!step.byHand.isEmpty())
            QVERIFY(appendToRegularFile(VerifiedServers::filePath(), step.byHand + '\n'));
        expected += step.byHand.isEmpty() ? QByteArray() : step.byHand + '\n';
        const bool opened = connectShared(address, step.typed);
        const QStringList lines = readLogLines(logPath());
        QVERIFY2(opened == step.refusal.isEmpty(), step.what);
        if (opened) {
            QVERIFY2(!ModPublic::Cnn->sslCipher().isEmpty(), step.what);
        } else {
            QCOMPARE(m_platform.messages.size(), 1);
            QVERIFY2(connectFailureReason(m_platform.messages[0], logPath()),
                qPrintable(m_platform.messages[0]));
            QCOMPARE(lines.size(), 1);
            QVERIFY2(lines[0].contains(
                         u"remove %1 of %2"_qs.arg(step.refusal, VerifiedServers::filePath())),
                qPrintable(lines[0]));
        }
        // Not even the login went out in clear text.
        if (step.stripTls)
            QCOMPARE(proxy.clientBytes(), 0);
        expected += step.added;
        QCOMPARE(listed(), expected);
        // The proxy serves one connection at a time.
        ModPublic::Cnn.reset();
    }
    // A line already there is not added again.
    QCOMPARE(VerifiedServers::remember("127.0.0.1", proxy.port()), QString());
    QCOMPARE(listed(), expected);

    // Made afresh, the list and its folders are the user's alone.
    proxy.forwardTo(caPort, false);
    QTemporaryDir fresh;
    const QString state = fresh.filePath(u"state"_qs);
    qputenv("XDG_STATE_HOME", QFile::encodeName(state));
    const auto restore
        = qScopeGuard([this] { qputenv("XDG_STATE_HOME", QFile::encodeName(m_stateDir.path())); });
    QVERIFY(connectShared(address, u"LOCALHOST"_qs));
    ModPublic::Cnn.reset();
    const auto mode = [](const QString &path) {
        struct stat info { };
        return ::stat(QFile::encodeName(path).constData(), &info) == 0 ? info.st_mode & 07777 : 0;
    };
    QCOMPARE(mode(state), 0700U);
    QCOMPARE(mode(stateDirectory()), 0700U);
    QCOMPARE(mode(VerifiedServers::filePath()), 0600U);
    QCOMPARE(mode(fresh.path()), 0700U); // QTemporaryDir's own, left as it was

    // A list that cannot be written: the server opens, and the log says so.
    qputenv("XDG_STATE_HOME", "/proc/self");
    QFile::remove(logPath());
    QVERIFY(connectShared(address, u"LOCALHOST"_qs));
    const QStringList lines = readLogLines(logPath());
    QCOMPARE(lines.size(), 1);
    QVERIFY2(lines[0].contains(u"/proc/self/tesmor/verified-servers could not be written: "_qs),
        qPrintable(lines[0]));
    QVERIFY(lines[0].contains(u"ModPublic\tMakeConnection"_qs));
}

void TestConnection::overSizeStatementsAreNotSent_data()
{
    QTest::addColumn<int>("bytes");
    QTest::addColumn<QString>("failure"); // empty: the server runs it

    // The command byte and the text must stay below the limit.
    QTest::newRow("largest that fits") << kSmallPacket - 2 << "";
    QTest::newRow("one byte more") << kSmallPacket - 1
                                   << "Statement of 65,535 bytes does not fit the server's "
                                      "max_allowed_packet of 65,536 bytes";
}

void TestConnection::overSizeStatementsAreNotSent()
{
    REQUIRE_SERVER(m_server);
    QFETCH(int, bytes);
    QFETCH(QString, failure);
    ExtraServer *extra = tlsServer();
    QVERIFY(extra);
    const TestServer server = extra->server();
    Connection *c = openDirect(server.database, &server);
    QVERIFY(c);
    QCOMPARE(c->maxAllowedPacket(), kSmallPacket);

    const Outcome outcome = c->Execute(u"SELECT '"_qs + QString(bytes - 9, u'x') + u'\'');
    if (failure.isEmpty()) {
        VERIFY_OK(outcome);
    } else {
        QVERIFY(outcome);
        QCOMPARE(outcome->Number, kDriverFailure);
        QCOMPARE(outcome->Description, failure);
    }
    // Nothing reached the server that would have made it drop the connection.
    VERIFY_OK(c->Execute(u"SELECT 1"_qs));
}

void TestConnection::silentPeerIsGone_data()
{
    QTest::addColumn<QList<PeerLook>>("looks");
    QTest::addColumn<int>("goneAt"); // the look that finds the peer gone; -1: none
    // The kernel's window probes back off to one every 120 s: a working
    // server's answer comes a round trip after a probe.
    QTest::newRow("probe answered after 120 s of silence")
        << QList<PeerLook> { { 0, false, 119'000 }, { 1000, true, 120'000 }, { 2000, false, 0 } }
        << -1;
    QTest::newRow("probe unanswered for 10 s after 90 s of silence")
        << QList<PeerLook> { { 0, true, 95'000 }, { 5000, true, 100'000 }, { 9999, true, 104'999 },
               { 10'000, true, 105'000 } }
        << 3;
    QTest::newRow("data streaming, acknowledged all along") << QList<PeerLook> { { 0, true, 100 },
        { 100'000, true, 100 }, { 200'000, true, 100 } } << -1;
    QTest::newRow("probe unanswered, until 90 s of silence") << QList<PeerLook> {
        { 0, true, 10'000 }, { 79'000, true, 89'000 }, { 80'000, true, 90'000 }
    } << 2;
    QTest::newRow("an answer in between starts the unanswered time over")
        << QList<PeerLook> { { 0, true, 100'000 }, { 5000, false, 105'000 },
               { 6000, true, 106'000 }, { 12'000, true, 112'000 }, { 16'000, true, 116'000 } }
        << 4;
}

void TestConnection::silentPeerIsGone()
{
    QFETCH(QList<PeerLook>, looks);
    QFETCH(int, goneAt);
    PeerSilence silence(90'000, 10'000);
    int found = -1;
    for (int i = 0; i < looks.size() && found < 0; ++i) {
        if (silence.peerGone(looks[i].owed, looks[i].silentMs, looks[i].atMs))
            found = i;
    }
    QCOMPARE(found, goneAt);
}

QTEST_GUILESS_MAIN(TestConnection)
#include "tst_connection.moc"
