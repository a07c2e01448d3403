#include "TestSupport.h"

#include <QCoreApplication>
#include <QProcess>
#include <QRegularExpression>

#include <csignal>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

class TestErrorLog : public QObject {
    Q_OBJECT
private slots:
    void init();
    void cleanup();
    void recordFormat_data();
    void recordFormat();
    void whatIsWritten_data();
    void whatIsWritten();
    void appendsAndNeverTruncates();
    void twoProcessesDoNotInterleave();
    void unwritableFallbacks_data();
    void unwritableFallbacks();
    void installDirectories_data();
    void installDirectories();
    void installedProgramLogsPerUser();
    void goneAwayIsLoggedShownAndEnds();
    void trapRecordsLocation();
    void mainFixesAppPathAndShowsServerDetails();
    void trailingSlash_data();
    void trailingSlash();

private:
    QTemporaryDir m_appDir;
    QTemporaryDir m_stateDir;
    RecordingPlatform m_platform;
    QString logPath() const { return m_appDir.filePath(u"GenLogger.log"_qs); }
};

void TestErrorLog::init()
{
    QVERIFY(m_appDir.isValid());
    QFile::remove(logPath());
    resetSharedState(m_appDir);
    qputenv("XDG_STATE_HOME", m_stateDir.path().toLocal8Bit());
    m_platform = RecordingPlatform();
    installPlatform(&m_platform);
}

void TestErrorLog::cleanup()
{
    installPlatform(nullptr);
}

void TestErrorLog::recordFormat_data()
{
    QTest::addColumn<QDateTime>("when");
    QTest::addColumn<QString>("description");
    QTest::addColumn<QString>("expected");

    const QDate day(2026, 12, 8);
    const QString tail = u"MySQL 1146 (42S02)          FrmQuery\tExecuteNow         \r\n"_qs;
    QTest::newRow("short items padded to zones")
        << QDateTime(day, QTime(9, 5, 7)) << "Boom"
        << u"12/8/26 9:05:07 AM          -2147467259   Boom          "_qs + tail;
    QTest::newRow("midnight shows the date alone") << QDateTime(
        day, QTime(0, 0, 0)) << "Boom" << u"12/8/26       -2147467259   Boom          "_qs + tail;
    QTest::newRow("item filling its zone still gets a space")
        << QDateTime(day, QTime(0, 0, 0)) << "Exactly14chars"
        << u"12/8/26       -2147467259   Exactly14chars              "_qs + tail;
    QTest::newRow("line breaks folded to one space each")
        << QDateTime(day, QTime(0, 0, 0)) << "a\r\nb\nc\rd"
        << u"12/8/26       -2147467259   a b c d       "_qs + tail;
}

void TestErrorLog::recordFormat()
{
    QFETCH(QDateTime, when);
    QFETCH(QString, description);
    QFETCH(QString, expected);
    const QLocale us(QLocale::English, QLocale::UnitedStates);
    const QString record = formatLogRecord(when,
        { kDriverFailure, description, u"MySQL 1146 (42S02)"_qs }, u"FrmQuery\tExecuteNow"_qs, us);
    QCOMPARE(record, expected);
}

void TestErrorLog::whatIsWritten_data()
{
    QTest::addColumn<int>("number");
    QTest::addColumn<QString>("description");
    QTest::addColumn<bool>("logged");

    QTest::newRow("number 0 writes nothing") << 0 << "x" << false;
    QTest::newRow("number 5 is dropped") << 5 << "x" << false;
    QTest::newRow("driver failure logged") << kDriverFailure << "Table 'T' doesn't exist" << true;
    QTest::newRow("prefixed gone-away is not fatal")
        << kDriverFailure << "[MySQL] MySQL server has gone away" << true;
    QTest::newRow("gone-away text with another number is not fatal")
        << 42 << "MySQL server has gone away" << true;
    QTest::newRow("text outside Latin-1 kept as UTF-8") << 7 << "Ünïcödé 𝄞 表" << true;
}

void TestErrorLog::whatIsWritten()
{
    QFETCH(int, number);
    QFETCH(QString, description);
    QFETCH(bool, logged);

    ModPublic::ErrLocation = u"ModPublic\tMain"_qs;
    WriteErrorLog({ number, description, u"src"_qs });

    const QStringList lines = readLogLines(logPath());
    QCOMPARE(lines.size(), logged ? 1 : 0);
    if (logged) {
        QVERIFY(lines[0].contains(description));
        QVERIFY(lines[0].contains(u"ModPublic\tMain"_qs));
        QVERIFY(lines[0].contains(QString::number(number)));
    }
    QVERIFY(m_platform.messages.isEmpty());
    QCOMPARE(m_platform.endRequests, 0);
}

void TestErrorLog::appendsAndNeverTruncates()
{
    {
        QFile f(logPath());
        QVERIFY(f.open(QIODevice::WriteOnly));
        f.write("earlier line\r\n");
    }
    WriteErrorLog({ 1, u"first"_qs, u"s"_qs });
    WriteErrorLog({ 2, u"second"_qs, u"s"_qs });
    const QStringList lines = readLogLines(logPath());
    QCOMPARE(lines.size(), 3);
    QCOMPARE(lines[0], u"earlier line"_qs);
    QVERIFY(lines[1].contains(u"first"_qs));
    QVERIFY(lines[2].contains(u"second"_qs));
    QCOMPARE(logFilePath(), logPath());
}

void TestErrorLog::twoProcessesDoNotInterleave()
{
    constexpr int perProcess = 2000;
    QProcess a, b;
    a.start(QStringLiteral(LOG_WRITER), { m_appDir.path(), QString::number(perProcess), u"A"_qs });
    b.start(QStringLiteral(LOG_WRITER), { m_appDir.path(), QString::number(perProcess), u"B"_qs });
    QVERIFY(a.waitForFinished(60000));
    QVERIFY(b.waitForFinished(60000));
    QCOMPARE(a.exitCode(), 0);
    QCOMPARE(b.exitCode(), 0);

    const QStringList lines = readLogLines(logPath());
    QCOMPARE(lines.size(), 2 * perProcess);
    const QRegularExpression whole(
        u"^\\S.* -2147467259 +([AB]) \\d+ (A{300}|B{300}) +\\1 +LogWriter\tmain +$"_qs);
    int seen[2] = { 0, 0 };
    for (const QString &line : lines) {
        const auto m = whole.match(line);
        QVERIFY2(m.hasMatch(), qPrintable(line.left(120)));
        QCOMPARE(m.captured(2).front(), m.captured(1).front());
        ++seen[m.captured(1) == u"B"_qs];
    }
    QCOMPARE(seen[0], perProcess);
    QCOMPARE(seen[1], perProcess);
}

void TestErrorLog::unwritableFallbacks_data()
{
    QTest::addColumn<bool>("stateWritable");
    // What stands where the log goes in a writable program directory; empty:
    // the program directory cannot be written.
    QTest::addColumn<QString>("appLog");
    QTest::newRow("program directory unwritable: per-user state file") << true << "";
    QTest::newRow("both unwritable: standard error") << false << "";
    QTest::newRow("log a FIFO without reader: no hang, per-user state file") << true << "fifo";
    QTest::newRow("log a symlink: its target untouched, per-user state file") << true << "symlink";
    QTest::newRow("log a dangling symlink: no file made, per-user state file")
        << true << "dangling symlink";
    QTest::newRow("disk full within a record: no torn record, per-user state file")
        << true << "full";
}

void TestErrorLog::unwritableFallbacks()
{
    QFETCH(bool, stateWritable);
    QFETCH(QString, appLog);
    const QString stateLog = m_stateDir.filePath(u"tesmor/GenLogger.log"_qs);
    QFile::remove(stateLog);
    // A directory below a regular file cannot be written, even by root.
    const QString blocker = m_appDir.filePath(u"not-a-directory"_qs);
    {
        QFile f(blocker);
        QVERIFY(f.open(QIODevice::WriteOnly));
    }
    QProcess writer;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(u"XDG_STATE_HOME"_qs, stateWritable ? m_stateDir.path() : blocker + u"/state"_qs);
    writer.setProcessEnvironment(env);
    const QByteArray log = QFile::encodeName(logPath());
    // A file a shell sources, say; and one that does not exist yet.
    const QString target = m_appDir.filePath(u"target"_qs);
    const QByteArray targetText = "echo kept\n";
    QFile::remove(target);
    // Earlier records fill all but a few bytes of what the disk takes.
    const QByteArray earlier = QByteArray(2000, 'x') + "\r\n";
    if (appLog == u"fifo") {
        QCOMPARE(::mkfifo(log.constData(), 0644), 0);
    } else if (appLog.endsWith(u"symlink")) {
        if (!appLog.startsWith(u"dangling")) {
            QFile f(target);
            QVERIFY(f.open(QIODevice::WriteOnly) && f.write(targetText) == targetText.size());
        }
        QCOMPARE(::symlink(QFile::encodeName(target).constData(), log.constData()), 0);
    } else if (appLog == u"full") {
        QFile f(logPath());
        QVERIFY(f.open(QIODevice::WriteOnly) && f.write(earlier) == earlier.size());
        const rlim_t limit = earlier.size() + 20;
        writer.setChildProcessModifier([limit] {
            const rlimit size { limit, limit };
            ::setrlimit(RLIMIT_FSIZE, &size);
            ::signal(SIGXFSZ, SIG_IGN); // a short write instead
        });
    }
    const QString appDir = appLog.isEmpty() ? blocker + u"/app/"_qs : m_appDir.path() + u'/';
    writer.start(QStringLiteral(LOG_WRITER), { appDir, u"2"_qs, u"Fallback"_qs });
    QVERIFY(writer.waitForFinished(30000));
    QCOMPARE(writer.exitStatus(), QProcess::NormalExit);
    QCOMPARE(writer.exitCode(), 0);

    const QString stderrText = QString::fromUtf8(writer.readAllStandardError());
    if (stateWritable) {
        QCOMPARE(readLogLines(stateLog).size(), 2);
        QVERIFY(stderrText.isEmpty());
    } else {
        QVERIFY(!QFile::exists(stateLog));
        QCOMPARE(stderrText.count(u"Fallback 1"_qs), 1);
        QCOMPARE(stderrText.count(u"\r\n"_qs), 2);
    }
    if (appLog.endsWith(u"symlink")) {
        QFile f(target);
        QCOMPARE(f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray("(none)"),
            appLog.startsWith(u"dangling") ? QByteArray("(none)") : targetText);
    } else if (appLog == u"full") {
        QFile f(logPath());
        QVERIFY(f.open(QIODevice::ReadOnly));
        QCOMPARE(f.readAll(), earlier);
    }
}

void TestErrorLog::installDirectories_data()
{
    QTest::addColumn<QString>("dir");
    QTest::addColumn<bool>("installed");
    QTest::newRow("a package's /usr/bin") << "/usr/bin/" << true;
    QTest::newRow("cmake --install's default, /usr/local/bin") << "/usr/local/bin" << true;
    QTest::newRow("a build folder") << "/home/user/tesmor/build/" << false;
    QTest::newRow("a name that only begins like /usr") << "/usrlocal/bin" << false;
}

void TestErrorLog::installDirectories()
{
    QFETCH(QString, dir);
    QFETCH(bool, installed);
    QCOMPARE(isInstallDirectory(dir), installed);
}

// The configured install bindir counts as installed: its directory is
// writable (as /usr/bin is to root), yet the log goes to the per-user folder.
void TestErrorLog::installedProgramLogsPerUser()
{
    const QString stateLog = m_stateDir.filePath(u"tesmor/GenLogger.log"_qs);
    QFile::remove(stateLog);
    const QString configured = setInstallBinDir(m_appDir.path());
    WriteErrorLog({ kDriverFailure, u"installed"_qs, u"s"_qs });
    setInstallBinDir(configured);
    QVERIFY(!QFile::exists(logPath()));
    QCOMPARE(readLogLines(stateLog).size(), 1);
    QCOMPARE(logFilePath(), stateLog);
}

void TestErrorLog::goneAwayIsLoggedShownAndEnds()
{
    const Trap trap(u"FrmQuery"_qs, u"ExecuteNow"_qs);
    trap({ kDriverFailure, u"MySQL server has gone away"_qs, u"MySQL 2013 (HY000)"_qs });

    const QStringList lines = readLogLines(logPath());
    QCOMPARE(lines.size(), 1);
    QVERIFY(lines[0].contains(u"MySQL server has gone away"_qs));
    QCOMPARE(m_platform.messages, QStringList { u"MySQL server has gone away"_qs });
    QCOMPARE(m_platform.endRequests, 1);
    QCOMPARE(m_platform.exitStatus, EXIT_FAILURE); // so whoever started the program can tell
}

void TestErrorLog::trapRecordsLocation()
{
    const Trap trap(u"FrmQuery"_qs, u"ExecuteNow"_qs);
    trap({ kDriverFailure, u"one"_qs, u"s"_qs });
    trap({ kDriverFailure, u"two"_qs, u"s"_qs });
    QCOMPARE(ModPublic::ErrLocation, u"FrmQuery\tExecuteNow"_qs);
    const QStringList lines = readLogLines(logPath());
    QCOMPARE(lines.size(), 2);
    QVERIFY(lines[0].contains(u"one"_qs) && lines[0].contains(u"FrmQuery\tExecuteNow"_qs));
    QVERIFY(lines[1].contains(u"two"_qs) && lines[1].contains(u"FrmQuery\tExecuteNow"_qs));
}

void TestErrorLog::mainFixesAppPathAndShowsServerDetails()
{
    ModPublic::AppPath.clear();
    ModPublic::Main();
    QCOMPARE(ModPublic::AppPath, QCoreApplication::applicationDirPath() + u'/');
    QCOMPARE(m_platform.shown, QList<Window> { Window::ServerDetails });
    QCOMPARE(ModPublic::logPathInAppDir(),
        QCoreApplication::applicationDirPath() + u"/GenLogger.log"_qs);
}

void TestErrorLog::trailingSlash_data()
{
    QTest::addColumn<QString>("dir");
    QTest::addColumn<QString>("expected");
    QTest::newRow("plain directory") << "/opt/tesmor"
                                     << "/opt/tesmor/";
    QTest::newRow("already ends in slash") << "/opt/tesmor/"
                                           << "/opt/tesmor/";
    QTest::newRow("root") << "/"
                          << "/";
    QTest::newRow("backslash is not a slash") << "C:\\"
                                              << "C:\\/";
}

void TestErrorLog::trailingSlash()
{
    QFETCH(QString, dir);
    QFETCH(QString, expected);
    QCOMPARE(ModPublic::withTrailingSlash(dir), expected);
}

QTEST_GUILESS_MAIN(TestErrorLog)
#include "tst_errorlog.moc"
