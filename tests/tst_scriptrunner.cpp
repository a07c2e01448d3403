#include "ExtraServer.h"
#include "RunListeners.h"
#include "ServerProbe.h"
#include "TestSupport.h"
#include "db/Connection.h"
#include "db/FileScript.h"
#include "db/ScriptRunner.h"

#include <functional>

namespace {

// Records each failure as index and description.
class Failures final : public ScriptListener {
public:
    QStringList seen;
    void statementFinished(const Statement &s, const Outcome &o) override
    {
        if (o)
            seen << u"%1: %2"_qs.arg(s.index).arg(o->Description);
    }
};

// Records the order of what a listener is told.
class Trace final : public ScriptListener {
public:
    QStringList events;
    void runStarting(const RunPlan &p) override { events << u"run %1"_qs.arg(p.statements); }
    void statementStarting(const Statement &s) override { events << u"start %1"_qs.arg(s.index); }
    void statementFinished(const Statement &s, const Outcome &o) override
    {
        events << u"%1 %2"_qs.arg(o ? u"failed"_qs : u"done"_qs).arg(s.index);
    }
    void runFinished() override { events << u"end"_qs; }
};

} // namespace

class TestScriptRunner : public QObject {
    Q_OBJECT
private slots:
    void initTestCase();
    void init();
    void cleanup();
    void storesExactlyWhatWasWritten();
    void literalsAndSectionsRunAsWritten();
    void readsAsTheServerReads();
    void fileChangedDuringTheRunStopsIt();
    void failingStatementIsLoggedAndSkipped();
    void callWithResultsThenNextStatement();
    void lostConnectionStopsTheRun_data();
    void lostConnectionStopsTheRun();
    void nodeOutsideItsClusterEndsTheRun();
    void bigFailingStatementsDoNotStall_data();
    void bigFailingStatementsDoNotStall();
    void pipelinedRunMatchesOneByOne();
    void openTransactionIsReported_data();
    void openTransactionIsReported();
    void withoutConnectionEveryStatementFails();
    void listenersSeeEveryStatementInOrder();

private:
    void connect();
    QStringList rows();

    TestServer m_server;
    QTemporaryDir m_appDir;
    RecordingPlatform m_platform;
    std::unique_ptr<ServerProbe> m_probe;
    QString logPath() const { return m_appDir.filePath(u"GenLogger.log"_qs); }
};

void TestScriptRunner::initTestCase()
{
    REQUIRE_SERVER(m_server);
    // Where Connector/C finds localhost, read when it starts.
    qputenv("MYSQL_UNIX_PORT", qgetenv("TESMOR_TEST_SOCKET"));
    m_probe = std::make_unique<ServerProbe>(m_server, m_server.database);
    QVERIFY2(m_probe->ok(), qPrintable(m_probe->error()));
}

void TestScriptRunner::init()
{
    QFile::remove(logPath());
    resetSharedState(m_appDir);
    m_platform = RecordingPlatform();
    installPlatform(&m_platform);
    QVERIFY2(m_probe->exec(u"DROP TABLE IF EXISTS runner_rows"_qs)
            && m_probe->exec(u"CREATE TABLE runner_rows (id INT AUTO_INCREMENT PRIMARY KEY, "
                             "v VARCHAR(200) CHARACTER SET utf8mb4)"_qs),
        qPrintable(m_probe->error()));
}

void TestScriptRunner::cleanup()
{
    Connection::setCompressionWhereSlow();
    Connection::setReceiveBuffer();
    ModPublic::Cnn.reset();
    installPlatform(nullptr);
}

void TestScriptRunner::connect()
{
    QVERIFY(connectShared(m_server));
}

QStringList TestScriptRunner::rows()
{
    return m_probe->column(u"SELECT v FROM runner_rows ORDER BY id"_qs);
}

void TestScriptRunner::storesExactlyWhatWasWritten()
{
    connect();
    const QString script
        = u"INSERT INTO runner_rows (v) VALUES ('a;b \"quoted\" \\'x\\'');\r\n"
          "-- a note before the next statement\r\n"
          "INSERT INTO runner_rows (v)\r\nVALUES (CONCAT('multi', 'line'));\r\n"
          "/* nothing but a comment */;\r\n"
          "cnn.Execute \"INSERT INTO runner_rows (v) VALUES ('pasted \"\"code\"\"')\";\r\n"
          "UPDATE runner_rows SET v = \"dq\" WHERE v = 'nothing';\r\n"
          "INSERT INTO runner_rows (v) VALUES ('𝄞 Ünïcode');\r\n"
          "INSERT INTO runner_rows (v) VALUES ('last;')"_qs;

    const RunSummary summary = executeScript(script);

    QCOMPARE(rows(),
        (QStringList { u"a;b \"quoted\" 'x'"_qs, u"multiline"_qs, u"pasted \"code\""_qs,
            u"𝄞 Ünïcode"_qs, u"last;"_qs }));
    QCOMPARE(summary.executed, 6);
    QCOMPARE(summary.failed, 0);
    QCOMPARE(m_platform.messages, QStringList { u"Query Executed Successfully"_qs });
    QVERIFY(readLogLines(logPath()).isEmpty());
}

// A separator inside a literal is data, and a DELIMITER section's text runs
// whole, as several statements, while outside sections one text is still
// one statement.
void TestScriptRunner::literalsAndSectionsRunAsWritten()
{
    connect();
    QVERIFY(m_probe->exec(u"DROP PROCEDURE IF EXISTS runner_p9"_qs));
    QVERIFY(m_probe->exec(u"INSERT INTO runner_rows (v) VALUES ('victim')"_qs));
    const QString note = u"Cleanup tip;\nDELETE FROM runner_rows;\nthen reload."_qs;
    const RunSummary summary = executeScript(
        u"INSERT INTO runner_rows (v) VALUES ('%1');\n"
        "DELIMITER $$\n"
        "DROP PROCEDURE IF EXISTS runner_p9;\n"
        "CREATE PROCEDURE runner_p9() BEGIN SELECT 1; END$$\n"
        "INSERT INTO runner_rows (v) VALUES ('s1'); INSERT INTO no_such_table VALUES (1);\n"
        "  INSERT INTO runner_rows (v) VALUES ('never')$$\n"
        "DELIMITER ;\n"
        "INSERT INTO runner_rows (v) VALUES ('one'); INSERT INTO runner_rows (v) VALUES ('text');\n"
        "CALL runner_p9()"_qs.arg(note));

    QCOMPARE(rows(), (QStringList { u"victim"_qs, note, u"s1"_qs }));
    QCOMPARE(summary.failed, 2);
    const QStringList lines = readLogLines(logPath());
    QCOMPARE(lines.size(), 2);
    QVERIFY2(lines[0].contains(u"no_such_table"_qs)
            && lines[0].contains(u" MySQL 1146 (42S02) at line 7; nothing after the failing "
                                 "statement in this text ran "_qs),
        qPrintable(lines[0]));
    QVERIFY2(lines[1].contains(u"MySQL 1064 (42000) at line 10 "_qs), qPrintable(lines[1]));
    QCOMPARE(m_platform.messages.size(), 1);
    QVERIFY(m_probe->exec(u"DROP PROCEDURE runner_p9"_qs));
}

// What the box shows is what runs: a comment that a lone CR ends, a name
// holding the pasted-code prefix, a backslash under the session's
// NO_BACKSLASH_ESCAPES, whose answers after SET STATEMENT and after a
// routine that sets sql_mode are wrong about it; a form feed is a blank.
void TestScriptRunner::readsAsTheServerReads()
{
    QVERIFY(m_probe->exec(u"DROP PROCEDURE IF EXISTS runner_mode"_qs)
        && m_probe->exec(u"CREATE PROCEDURE runner_mode() SET sql_mode = ''"_qs)
        && m_probe->exec(u"DROP TABLE IF EXISTS runner_jobs"_qs)
        && m_probe->exec(u"CREATE TABLE runner_jobs (id INT, ExecutedBy VARCHAR(20))"_qs)
        && m_probe->exec(u"INSERT INTO runner_jobs VALUES (3, ''), (4, '')"_qs)
        && m_probe->exec(u"INSERT INTO runner_rows (v) VALUES ('keep'), ('old')"_qs));
    connect();
    const RunSummary summary
        = executeScript(u"DELETE FROM runner_rows -- purge old rows\rWHERE v = 'old';\r"
                        "-- step 2\rINSERT INTO runner_rows (v) VALUES ('step 2');\r\n"
                        "UPDATE runner_jobs AS cnn SET cnn.ExecutedBy = 'me' WHERE id = 3;\r\n"
                        "\f;\r\n"
                        "SET SESSION sql_mode = CONCAT(@@sql_mode, ',NO_BACKSLASH_ESCAPES');\r\n"
                        "INSERT INTO runner_rows (v) VALUES ('C:\\');\r\n"
                        "SET STATEMENT sql_mode = '' FOR DO 0;\r\n"
                        "INSERT INTO runner_rows (v) VALUES ('D:\\');\r\n"
                        "CALL runner_mode();\r\n"
                        "INSERT INTO runner_rows (v) VALUES ('E:\\');\r\n"
                        "SET sql_mode = DEFAULT;\r\n"
                        "INSERT INTO runner_rows (v) VALUES ('F:\\\\')"_qs);
    QVERIFY2(readLogLines(logPath()).isEmpty(), qPrintable(readLogLines(logPath()).join(u'\n')));
    QCOMPARE(summary.executed, 11);
    QCOMPARE(rows(),
        (QStringList { u"keep"_qs, u"step 2"_qs, u"C:\\"_qs, u"D:\\"_qs, u"E:\\"_qs, u"F:\\"_qs }));
    QCOMPARE(m_probe->column(u"SELECT ExecutedBy FROM runner_jobs ORDER BY id"_qs),
        (QStringList { u"me"_qs, QString() }));
    QVERIFY(m_probe->exec(u"DROP PROCEDURE runner_mode"_qs));
}

// A file that shrinks while it runs from disk stops the run where its
// reading stopped, as an ordinary end: never a crash, nothing made up.
void TestScriptRunner::fileChangedDuringTheRunStopsIt()
{
    QTemporaryDir dir;
    const QString path = dir.filePath(u"dump.sql"_qs);
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly));
    for (int i = 1; i <= 2000; ++i)
        file.write(u"INSERT INTO runner_rows (v) VALUES ('%1');\n"_qs.arg(i).toUtf8());
    file.close();
    connect();
    struct Truncate final : ScriptListener {
        QString path;
        void statementFinished(const Statement &s, const Outcome &) override
        {
            if (s.index == 100)
                QFile::resize(path, 1000);
        }
    } truncate;
    truncate.path = path;
    FileScript::setWindowBytes(4096);
    FileScript script({ path });
    QVERIFY(script.open());
    ScriptListener *const listeners[] = { &truncate };
    const RunSummary summary
        = runScript(ModPublic::Cnn.get(), script, listeners, RunPlan { script.size(), 0 });
    FileScript::setWindowBytes();
    const QStringList stored = rows();
    // What was sent before the change was noticed ran; nothing after it.
    QVERIFY2(
        stored.size() > 100 && stored.size() < 2000, qPrintable(QString::number(stored.size())));
    QCOMPARE(stored.last(), QString::number(stored.size()));
    QCOMPARE(summary.failed, 0);
    QCOMPARE(summary.stopped,
        u"\"%1\" changed while it ran: the run stopped at line %2, after the statements before "
        "it."_qs.arg(path)
            .arg(stored.size() + 1));
    QVERIFY(completionMessage(summary).endsWith(summary.stopped));
}

void TestScriptRunner::failingStatementIsLoggedAndSkipped()
{
    connect();
    // Larger than the server's default max_allowed_packet of 16 MiB, which
    // would otherwise cost the connection; fewer characters than that, but
    // more bytes in UTF-8.
    const QString big
        = u"INSERT INTO runner_rows (v) VALUES ('x"_qs + QString(10'485'750, u'\u00e9') + u"')"_qs;
    const QString script = u"\r\nINSERT INTO no_such_table VALUES (1);\r\n"
                           "INSERT INTO runner_rows (v) VALUES ('one');\r\n"_qs
        + big + u";\r\nINSERT INTO runner_rows (v) VALUES ('two')"_qs;
    executeScript(script);

    QCOMPARE(rows(), (QStringList { u"one"_qs, u"two"_qs }));
    const QStringList lines = readLogLines(logPath());
    QCOMPARE(lines.size(), 2);
    QVERIFY2(lines[0].contains(u"no_such_table"_qs) && lines[0].contains(u"FrmQuery\tExecuteNow"_qs)
            && lines[0].contains(u" MySQL 1146 (42S02) at line 2 "_qs),
        qPrintable(lines[0]));
    QVERIFY2(lines[1].contains(u" Statement of 20,971,540 bytes exceeds the server's "
                               "max_allowed_packet of 16,777,216 bytes "_qs)
            && lines[1].contains(u" MySQL 1153 (08S01) at line 4 "_qs),
        qPrintable(lines[1]));
    QCOMPARE(m_platform.messages,
        QStringList { u"2 of 4 statements failed (first at line 2).\r\nDetails are in %1."_qs.arg(
            logPath()) });
}

void TestScriptRunner::callWithResultsThenNextStatement()
{
    connect();
    QVERIFY(m_probe->exec(u"DROP PROCEDURE IF EXISTS runner_proc"_qs));
    QVERIFY(m_probe->exec(u"CREATE PROCEDURE runner_proc() BEGIN SELECT 1; SELECT 2, 3; "
                          "INSERT INTO runner_rows (v) VALUES ('from proc'); END"_qs));
    executeScript(u"CALL runner_proc();\r\nINSERT INTO runner_rows (v) VALUES ('after')"_qs);
    QCOMPARE(rows(), (QStringList { u"from proc"_qs, u"after"_qs }));
    QCOMPARE(m_platform.messages, QStringList { u"Query Executed Successfully"_qs });
    QVERIFY(readLogLines(logPath()).isEmpty());
}

namespace {
// What ends the connection while the third statement runs.
enum class Loss { AdminKill, Script, TlsServerKilled };
}

void TestScriptRunner::lostConnectionStopsTheRun_data()
{
    QTest::addColumn<QString>("third"); // the statement that meets the dead connection
    QTest::addColumn<int>("loss");
    QTest::addColumn<QString>("unknown"); // what the record says may have run
    QTest::addColumn<int>("padding"); // of the fourth and fifth statements
    const int adminKill = int(Loss::AdminKill);
    const int tlsServerKilled = int(Loss::TlsServerKilled);
    QTest::newRow("administrator's KILL during a long statement")
        << "SELECT SLEEP(30)" << adminKill << "; the outcome of the statement at line 3 is unknown"
        << 0;
    QTest::newRow("killed with the statements after it in flight")
        << "DO SLEEP(30)" << adminKill
        << "; the outcome of the statements from line 3 to line 5 is unknown" << 0;
    // The second large one waits until the first has left the socket, which
    // the sleeping server's receive window keeps from happening.
    QTest::newRow("killed with large statements queued")
        << "DO SLEEP(30)" << adminKill
        << "; the outcome of the statements from line 3 to line 4 is unknown" << 1'000'000;
    QTest::newRow("script kills its own connection: 1927")
        << "KILL CONNECTION_ID()" << int(Loss::Script) << "" << 0;
    // Over TLS Connector/C reports the failed read as 2026.
    QTest::newRow("TLS server killed during a statement that runs alone")
        << "SELECT SLEEP(30)" << tlsServerKilled
        << "; the outcome of the statement at line 3 is unknown" << 0;
    QTest::newRow("TLS server killed with the statements after it in flight")
        << "DO SLEEP(30)" << tlsServerKilled
        << "; the outcome of the statements from line 3 to line 5 is unknown" << 0;
}

void TestScriptRunner::lostConnectionStopsTheRun()
{
    // The ranges count what waits unsent in the socket, which compression
    // would shrink: a loaded machine can make loopback look slow enough.
    Connection::setCompressionWhereSlow(false);
    QFETCH(QString, third);
    QFETCH(int, loss);
    QFETCH(QString, unknown);
    QFETCH(int, padding);
    const QString pad(padding, u'x');
    std::unique_ptr<ExtraServer> victim;
    if (Loss(loss) == Loss::TlsServerKilled) {
        ExtraServerOptions options;
        options.selfSignedTls = true;
        victim = std::make_unique<ExtraServer>(options);
        QVERIFY2(victim->ok(), qPrintable(victim->error()));
        QVERIFY2(victim->sql(u"CREATE TABLE TESMOR_TEST.runner_rows (id INT AUTO_INCREMENT "
                             "PRIMARY KEY, v VARCHAR(200))"_qs),
            qPrintable(victim->error()));
        QVERIFY(connectShared(victim->server()));
        QVERIFY(!ModPublic::Cnn->sslCipher().isEmpty());
    } else {
        connect();
    }
    const unsigned long id = ModPublic::Cnn->threadId();
    ServerProbe admin(m_server);
    WhileRunning killer(2, [&] {
        if (Loss(loss) == Loss::AdminKill)
            QVERIFY(admin.exec(u"KILL %1"_qs.arg(id)));
        else if (victim)
            victim->kill();
    });
    ScriptListener *extra[] = { &killer };
    const RunSummary summary = executeScript(u"INSERT INTO runner_rows (v) VALUES ('1');\r\n"
                                             "INSERT INTO no_such_table VALUES (2);\r\n"_qs
            + third
            + u";\r\nINSERT INTO runner_rows (v) VALUES (LEFT('4%1', 1));\r\n"
              "INSERT INTO runner_rows (v) VALUES (LEFT('5%1', 1));\r\nSELECT 6"_qs.arg(pad),
        extra);
    QVERIFY(summary.connectionLost);
    QCOMPARE(summary.executed, 3);
    // A killed server's rows are gone with it.
    if (!victim)
        QCOMPARE(rows(), QStringList { u"1"_qs });
    const QStringList lines = readLogLines(logPath());
    QCOMPARE(lines.size(), 2);
    QVERIFY(lines[0].contains(u"no_such_table"_qs));
    QVERIFY2(lines[1].contains(u"MySQL server has gone away"_qs)
            && lines[1].contains(u" at line 3"_qs)
            && lines[1].contains(u"is unknown"_qs) == !unknown.isEmpty()
            && lines[1].contains(unknown),
        qPrintable(lines[1]));
    QCOMPARE(m_platform.messages, QStringList { u"MySQL server has gone away"_qs });
    QCOMPARE(m_platform.endRequests, 1);
}

// A cluster node cut off from the rest of its cluster refuses every
// statement that touches data: going on would leave a hole in the script.
void TestScriptRunner::nodeOutsideItsClusterEndsTheRun()
{
    if (!GaleraPair::installed())
        QSKIP("galera-4 is not installed (no /usr/lib/galera/libgalera_smm.so): no cluster");
    GaleraPair cluster;
    QVERIFY2(cluster.ok(), qPrintable(cluster.error()));
    ExtraServer &survivor = cluster.first();
    QVERIFY2(survivor.sql(u"CREATE TABLE TESMOR_TEST.cluster_rows (id INT PRIMARY KEY)"_qs),
        qPrintable(survivor.error()));
    QVERIFY(connectShared(survivor.server()));
    // Alone of two, the survivor has no quorum.
    cluster.second().kill();
    QVERIFY(survivor.waitForStatus(u"wsrep_ready"_qs, u"OFF"_qs));

    // SET GLOBAL is still taken: it shows what reached the node.
    const RunSummary summary = executeScript(u"SET GLOBAL max_connect_errors = 101;\r\n"
                                             "INSERT INTO cluster_rows VALUES (2);\r\n"
                                             "SET GLOBAL max_connect_errors = 103;\r\n"
                                             "SELECT 4;\r\n"
                                             "SET GLOBAL max_connect_errors = 105"_qs);
    QVERIFY(summary.connectionLost);
    const QStringList lines = readLogLines(logPath());
    QCOMPARE(lines.size(), 1);
    QVERIFY2(lines[0].contains(u"WSREP"_qs)
            && lines[0].contains(u" MySQL 1047 (08S01) at line 2"_qs)
            && lines[0].contains(u"of the statement at line 3 is unknown"_qs),
        qPrintable(lines[0]));
    QCOMPARE(m_platform.messages.size(), 1);
    QVERIFY2(m_platform.messages[0].contains(u"WSREP"_qs), qPrintable(m_platform.messages[0]));
    QCOMPARE(m_platform.endRequests, 1);
    QCOMPARE(m_platform.exitStatus, EXIT_FAILURE);
    // The statement in flight ran; nothing after the refusal was sent.
    ServerProbe probe(survivor.server());
    QCOMPARE(probe.scalar(u"SELECT @@max_connect_errors"_qs), u"103"_qs);
}

// A window of large statements whose answers are all errors of the largest
// size runs through: the answers never overflow what the socket holds while
// a send waits. The receive buffer is shrunk over TCP as the larger buffers
// of a network card would fill it; over the Unix socket the server's send
// buffer holds the answers.
void TestScriptRunner::bigFailingStatementsDoNotStall_data()
{
    QTest::addColumn<bool>("unixSocket");
    QTest::addColumn<int>("receiveBuffer"); // asked for
    QTest::newRow("TCP, small receive buffer") << false << 32 * 1024;
    QTest::newRow("Unix socket") << true << Connection::kReceiveBuffer;
}

void TestScriptRunner::bigFailingStatementsDoNotStall()
{
    QFETCH(bool, unixSocket);
    QFETCH(int, receiveBuffer);
    if (unixSocket && qEnvironmentVariableIsEmpty("TESMOR_TEST_SOCKET"))
        QSKIP("TESMOR_TEST_SOCKET not set: run the tests with scripts/test");
    Connection::setReceiveBuffer(receiveBuffer);
    TestServer server = m_server;
    if (unixSocket)
        server.port.clear();
    QVERIFY(connectShared(server, unixSocket ? u"localhost"_qs : QString()));
    QCOMPARE(ModPublic::Cnn->answerRoom() == 0, unixSocket);
    QVERIFY(m_probe->exec(u"DROP FUNCTION IF EXISTS runner_fail"_qs)
        && m_probe->exec(u"CREATE FUNCTION runner_fail(pad LONGTEXT) RETURNS INT BEGIN "
                         "DECLARE text TEXT DEFAULT REPEAT('\u00e9', 300); "
                         "SIGNAL SQLSTATE '45000' SET MESSAGE_TEXT = text; RETURN 0; END"_qs));
    constexpr int kStatements = 300;
    const QString statement = u"INSERT INTO runner_rows (v) VALUES (runner_fail('%1'));\r\n"_qs.arg(
        QString(64 * 1024, u'x'));
    // A stall shows as no answer for long. The kill ends the run; over TCP
    // a stalled client takes nothing in, not even that, and both ends still
    // answer the network's probes: the run hangs until the test's time-out.
    bool stalled = false;
    ServerProbe admin(m_server);
    const unsigned long id = ModPublic::Cnn->threadId();
    WhileRunning breaker(
        -1,
        [&] {
            stalled = true;
            admin.exec(u"KILL %1"_qs.arg(id));
        },
        30'000);
    ScriptListener *extra[] = { &breaker };
    const RunSummary summary = executeScript(statement.repeated(kStatements), extra);
    QVERIFY2(!stalled, "no answer came for 30 s");
    QCOMPARE(summary.failed, kStatements);
    const QStringList lines = readLogLines(logPath());
    QCOMPARE(lines.size(), kStatements);
    QVERIFY2(lines.last().contains(u"\u00e9\u00e9"_qs)
            && lines.last().contains(u" MySQL 1644 (45000) at line %1 "_qs.arg(kStatements)),
        qPrintable(lines.last()));
}

// Statements sent ahead of their answers store, fail and report exactly as
// one statement at a time does, across barriers and result sets.
void TestScriptRunner::pipelinedRunMatchesOneByOne()
{
    QVERIFY(m_probe->exec(u"DROP PROCEDURE IF EXISTS runner_sets"_qs));
    QVERIFY(m_probe->exec(u"CREATE PROCEDURE runner_sets() BEGIN SELECT 1; SELECT v FROM "
                          "runner_rows; INSERT INTO runner_rows (v) VALUES ('proc'); END"_qs));
    QString text;
    for (int i = 0; i < 1200; ++i) {
        if (i % 97 == 5)
            text += u"INSERT INTO no_such_table VALUES (%1);\r\n"_qs.arg(i);
        else if (i % 151 == 7)
            text += u"INSERT INTO runner_rows (v) VALUES (REPEAT('x', 300));\r\n"_qs;
        else if (i % 400 == 9) // barriers, with more than a window between
            text += u"CALL runner_sets();\r\nSELECT COUNT(*) FROM runner_rows;\r\n"
                    "SET @n = (SELECT COUNT(*) FROM runner_rows);\r\n"
                    "UPDATE runner_rows SET v = CONCAT(v, '+', @n) WHERE id = 1;\r\n"_qs;
        else
            text += u"INSERT INTO runner_rows (v) VALUES ('%1');\r\n"_qs.arg(i);
    }
    const CutScript script = CutScript::cut(text);

    // One at a time, through the same connection class.
    connect();
    QStringList oneByOne;
    for (qsizetype i = 0; i < script.size(); ++i) {
        if (const Outcome o = ModPublic::Cnn->execute(script.text(i)))
            oneByOne << u"%1: %2"_qs.arg(i).arg(o->Description);
    }
    const QStringList storedOneByOne = rows();
    QVERIFY(oneByOne.size() > 10);

    init();
    connect();
    Failures failures;
    ScriptListener *extra[] = { &failures };
    const RunSummary summary = executeScript(text, extra);
    QCOMPARE(failures.seen, oneByOne);
    QCOMPARE(rows(), storedOneByOne);
    QCOMPARE(summary.failed, oneByOne.size());
    QCOMPARE(summary.executed, script.size());
    QCOMPARE(summary.firstFailureLine, 6);
    QCOMPARE(readLogLines(logPath()).size(), oneByOne.size());
}

void TestScriptRunner::openTransactionIsReported_data()
{
    QTest::addColumn<QString>("script");
    QTest::addColumn<QString>("firstLine");
    QTest::addColumn<bool>("open");
    QTest::newRow("autocommit switched off") << "SET autocommit = 0;\r\n"
                                                "INSERT INTO runner_rows (v) VALUES ('kept')"
                                             << "Query Executed Successfully" << true;
    QTest::newRow("transaction begun, then a failure")
        << "START TRANSACTION;\r\nINSERT INTO runner_rows (v) VALUES ('kept');\r\nSELECT nope"
        << "1 of 3 statements failed (first at line 3)." << true;
    // The last answers are errors, which carry no status: the last OK said
    // the opposite of what holds.
    QTest::newRow("begun by a failing statement")
        << "SET autocommit = 0;\r\nCOMMIT;\r\nCALL runner_insert_then_fail()"
        << "1 of 3 statements failed (first at line 3)." << true;
    QTest::newRow("committed by a failing statement")
        << "START TRANSACTION;\r\nINSERT INTO runner_rows (v) VALUES ('kept');\r\n"
           "CREATE TABLE runner_rows (x INT)"
        << "1 of 3 statements failed (first at line 3)." << false;
}

void TestScriptRunner::openTransactionIsReported()
{
    QFETCH(QString, script);
    QFETCH(QString, firstLine);
    QFETCH(bool, open);
    QVERIFY(m_probe->exec(u"DROP PROCEDURE IF EXISTS runner_insert_then_fail"_qs));
    QVERIFY(m_probe->exec(u"CREATE PROCEDURE runner_insert_then_fail() BEGIN "
                          "INSERT INTO runner_rows (v) VALUES ('kept'); "
                          "SIGNAL SQLSTATE '45000' SET MESSAGE_TEXT = 'refused'; END"_qs));
    connect();
    const RunSummary summary = executeScript(script);
    QCOMPARE(summary.openTransaction, open);
    QCOMPARE(m_platform.messages.size(), 1);
    const QStringList lines = m_platform.messages[0].split(u"\r\n"_qs);
    QCOMPARE(lines.front(), firstLine);
    QCOMPARE(lines.back()
            == u"The connection has an open transaction: its changes are not committed."_qs,
        open);
    // An open transaction is neither committed nor rolled back: other
    // sessions see the row only once this one commits.
    QCOMPARE(rows(), open ? QStringList() : QStringList { u"kept"_qs });
    QCOMPARE(ModPublic::Cnn->inTransaction(), open);
    VERIFY_OK(ModPublic::Cnn->Execute(u"COMMIT"_qs));
    QCOMPARE(rows(), QStringList { u"kept"_qs });
}

void TestScriptRunner::withoutConnectionEveryStatementFails()
{
    executeScript(u"SELECT 1;\r\nSELECT 2"_qs);
    const QStringList lines = readLogLines(logPath());
    QCOMPARE(lines.size(), 2);
    QVERIFY(lines[1].contains(u"FrmQuery\tExecuteNow"_qs));
    QVERIFY2(!lines[1].contains(u"at line"_qs), qPrintable(lines[1])); // not the server's failure
    QCOMPARE(m_platform.messages.size(), 1);
    QVERIFY(m_platform.messages[0].startsWith(u"2 of 2 statements failed (first at line 1)."_qs));
    QCOMPARE(m_platform.endRequests, 0);
}

void TestScriptRunner::listenersSeeEveryStatementInOrder()
{
    connect();
    Trace trace;
    ScriptListener *extra[] = { &trace };
    executeScript(u"SELECT 1;\r\nSELECT nope;\r\n;\r\nSELECT 3"_qs, extra);
    QCOMPARE(trace.events,
        (QStringList { u"run 3"_qs, u"start 0"_qs, u"done 0"_qs, u"start 1"_qs, u"failed 1"_qs,
            u"start 2"_qs, u"done 2"_qs, u"end"_qs }));
}

QTEST_GUILESS_MAIN(TestScriptRunner)
#include "tst_scriptrunner.moc"
