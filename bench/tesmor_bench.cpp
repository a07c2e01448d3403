// Prints how fast Tesmor cuts and executes scripts, against the server given
// by TESMOR_TEST_HOST/PORT/DB (scripts/bench starts one).
//   window:  100,000 statements run from the query window, against the
//            runner alone on the same script
//   cut:     cleaning and cutting a generated 100 MB script
//   execute: 20,000 single-row INSERTs through the window's runner, against
//            the same script file run by the mariadb command-line client
#include "core/ModPublic.h"
#include "core/Platform.h"
#include "db/Connection.h"
#include "db/ConnectionString.h"
#include "db/ScriptRunner.h"

#include "ui/FrmQuery.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QPlainTextEdit>
#include <QProcess>
#include <QPushButton>
#include <QTemporaryDir>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <string>

namespace {

class SilentPlatform final : public Platform {
public:
    QStringList messages;
    QElapsedTimer shownAt; // restarted when a message is shown
    void showMessage(const QString &text) override
    {
        shownAt.start();
        messages << text;
    }
    void showWindow(Window) override { }
    void endProgram() override { }
};

// Resident set size and its peak, in bytes, from /proc.
qint64 statusBytes(const char *field)
{
    std::ifstream status("/proc/self/status");
    std::string line;
    const std::string key = std::string(field) + ":";
    while (std::getline(status, line)) {
        if (line.rfind(key, 0) == 0)
            return std::stoll(line.substr(key.size())) * 1024;
    }
    return 0;
}

void resetPeak()
{
    std::ofstream("/proc/self/clear_refs") << "5";
}

// About 1 million lines, 100 M characters: short and long statements,
// literals holding ";" and quotes, comments, multi-line statements.
QString generateScript(qsizetype targetChars)
{
    QString s;
    s.reserve(targetChars + 4096);
    const QString longValue(600, u'x');
    for (qint64 i = 0; s.size() < targetChars; ++i) {
        switch (i % 8) {
        case 0:
            s += u"INSERT INTO t (a, b) VALUES (%1, 'plain');\r\n"_qs.arg(i);
            break;
        case 1:
            s += u"INSERT INTO t (a, b) VALUES (%1, 'semi;colon \"dq\" it''s \\'esc\\'');\r\n"_qs
                     .arg(i);
            break;
        case 2:
            s += u"-- comment line with ; inside\r\nUPDATE t SET b = \"x\" WHERE a = %1;\r\n"_qs
                     .arg(i);
            break;
        case 3:
            s += u"SELECT a,\r\n       b\r\nFROM t /* block; comment */\r\nWHERE a = %1;\r\n"_qs
                     .arg(i);
            break;
        case 4:
            s += u"INSERT INTO t (a, b) VALUES (%1, '%2');\r\n"_qs.arg(i).arg(longValue);
            break;
        case 5:
            s += u"cnn.Execute \"INSERT INTO t (a, b) VALUES (%1, \"\"pasted\"\")\";\r\n"_qs.arg(i);
            break;
        case 6:
            s += u"\r\n# hash comment\r\n;\r\n"_qs;
            break;
        default:
            s += u"DELETE FROM t WHERE a = %1; SELECT 1;\r\n"_qs.arg(i);
            break;
        }
    }
    return s;
}

void benchCut()
{
    const qint64 before = statusBytes("VmRSS");
    const QString script = generateScript(100'000'000);
    const qint64 scriptBytes = script.size() * qint64(sizeof(QChar));
    qint64 lines = script.count(u'\n');

    double bestSeconds = 1e9;
    double peakRatio = 0;
    qsizetype statements = 0;
    for (int run = 0; run < 3; ++run) {
        resetPeak();
        QElapsedTimer timer;
        timer.start();
        const CutScript cut = CutScript::cut(script);
        const double seconds = timer.nsecsElapsed() / 1e9;
        statements = cut.size();
        bestSeconds = std::min(bestSeconds, seconds);
        peakRatio
            = std::max(peakRatio, double(statusBytes("VmHWM") - before) / double(scriptBytes));
    }
    std::printf("cut script: %lld chars, %lld lines, %lld statements, best of 3: %.3f s\n",
        static_cast<long long>(script.size()), static_cast<long long>(lines),
        static_cast<long long>(statements), bestSeconds);
    std::printf("cut: %.0f Mchar/s, peak memory %.2fx script\n", script.size() / bestSeconds / 1e6,
        peakRatio);
}

QString insertScript(int rows)
{
    QString s;
    for (int i = 0; i < rows; ++i)
        s += u"INSERT INTO bench_rows (a, b) VALUES (%1, 'row %1');\r\n"_qs.arg(i);
    return s;
}

bool exec(Connection &c, const QString &sql)
{
    if (const Outcome f = c.Execute(sql)) {
        std::fprintf(stderr, "%s: %s\n", qPrintable(sql), qPrintable(f->Description));
        return false;
    }
    return true;
}

double median(QList<double> v)
{
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

struct Server {
    QString host = qEnvironmentVariable("TESMOR_TEST_HOST");
    QString port = qEnvironmentVariable("TESMOR_TEST_PORT");
    QString db = qEnvironmentVariable("TESMOR_TEST_DB", u"TESMOR_TEST"_qs);
};

// Opens admin and Cnn on the bench server with an empty bench_rows table.
bool prepare(const Server &server, Connection &admin, SilentPlatform &silent)
{
    if (server.host.isEmpty() || server.port.isEmpty()) {
        std::fprintf(stderr, "TESMOR_TEST_HOST/PORT not set: run scripts/bench\n");
        return false;
    }
    admin.setConnectionString(
        composeConnectionString(server.port, server.host, u"olun"_qs, QString(), server.db));
    if (const Outcome f = admin.Open()) {
        std::fprintf(stderr, "cannot connect: %s\n", qPrintable(f->Description));
        return false;
    }
    if (!exec(admin, u"DROP TABLE IF EXISTS bench_rows"_qs)
        || !exec(admin, u"CREATE TABLE bench_rows (a INT PRIMARY KEY, b VARCHAR(100))"_qs))
        return false;
    ModPublic::ServerName = server.host;
    ModPublic::Port = server.port;
    ModPublic::DBName = server.db;
    installPlatform(&silent);
    return ModPublic::MakeConnection();
}

void finish(Connection &admin)
{
    installPlatform(nullptr);
    ModPublic::Cnn.reset();
    exec(admin, u"DROP TABLE bench_rows"_qs);
}

int benchWindow()
{
    const Server server;
    Connection admin;
    SilentPlatform silent;
    if (!prepare(server, admin, silent))
        return 1;

    constexpr int kStatements = 100000;
    QString script;
    const QString padding(50, u'.');
    for (int i = 0; i < kStatements; ++i)
        script
            += u"INSERT INTO bench_rows (a, b) VALUES (%1, 'row %1 %2');\n"_qs.arg(i).arg(padding);

    FrmQuery window;
    window.show();
    auto *box = window.findChild<QPlainTextEdit *>(u"TxtQuery"_qs);
    auto *ok = window.findChild<QPushButton *>(u"CmdOK"_qs);
    QElapsedTimer timer;
    timer.start();
    box->setPlainText(script);
    QCoreApplication::processEvents();
    const double pasteSeconds = timer.nsecsElapsed() / 1e9;
    timer.restart();
    const QString read = window.scriptText();
    const double readSeconds = timer.nsecsElapsed() / 1e9;

    QList<double> alone, fromWindow;
    for (int round = 0; round < 3; ++round) {
        if (!exec(admin, u"TRUNCATE TABLE bench_rows"_qs))
            return 1;
        timer.restart();
        executeScript(read);
        alone << timer.nsecsElapsed() / 1e9;

        if (!exec(admin, u"TRUNCATE TABLE bench_rows"_qs))
            return 1;
        timer.restart();
        ok->click();
        fromWindow << (timer.nsecsElapsed() - silent.shownAt.nsecsElapsed()) / 1e9;
        std::printf("window round %d: runner %.2f s, window %.2f s\n", round + 1, alone.last(),
            fromWindow.last());
        std::fflush(stdout);
    }
    const bool allOk = std::all_of(silent.messages.cbegin(), silent.messages.cend(),
        [](const QString &m) { return m == u"Query Executed Successfully"; });
    finish(admin);
    if (!allOk || silent.messages.size() != 6) {
        std::fprintf(stderr, "window bench: unexpected messages: %s\n",
            qPrintable(silent.messages.join(u" | ")));
        return 1;
    }
    const double a = median(alone);
    const double w = median(fromWindow);
    std::printf("window: %d statements (%.1f MB), paste %.2f s, read %.3f s, runner %.2f s, "
                "window %.2f s\n",
        kStatements, script.size() / 1e6, pasteSeconds, readSeconds, a, w);
    std::printf("window: overhead %.1f%%\n", (w - a) / a * 100.0);
    return 0;
}

int benchExecute()
{
    const Server server;
    const QString &host = server.host;
    const QString &port = server.port;
    const QString &db = server.db;
    constexpr int kRows = 20000;
    const QString script = insertScript(kRows);
    QTemporaryDir dir;
    const QString file = dir.filePath(u"inserts.sql"_qs);
    {
        QFile f(file);
        if (!f.open(QIODevice::WriteOnly))
            return 1;
        f.write(script.toUtf8());
    }

    Connection admin;
    SilentPlatform silent;
    if (!prepare(server, admin, silent))
        return 1;

    QList<double> ours, theirs;
    for (int round = 0; round < 3; ++round) {
        if (!exec(admin, u"TRUNCATE TABLE bench_rows"_qs))
            return 1;
        QElapsedTimer timer;
        timer.start();
        const RunSummary summary = executeScript(script);
        ours << kRows / (timer.nsecsElapsed() / 1e9);
        if (summary.failed != 0) {
            std::fprintf(
                stderr, "tesmor: %lld statements failed\n", static_cast<long long>(summary.failed));
            return 1;
        }

        if (!exec(admin, u"TRUNCATE TABLE bench_rows"_qs))
            return 1;
        QProcess client;
        client.setStandardInputFile(file);
        timer.restart();
        client.start(u"mariadb"_qs,
            { u"--no-defaults"_qs, u"--force"_qs, u"-h"_qs, host, u"-P"_qs, port, u"-uolun"_qs,
                db });
        client.waitForFinished(-1);
        theirs << kRows / (timer.nsecsElapsed() / 1e9);
        if (client.exitCode() != 0) {
            std::fprintf(stderr, "mariadb: %s\n", client.readAllStandardError().constData());
            return 1;
        }
    }
    finish(admin);

    const double a = median(ours);
    const double b = median(theirs);
    std::printf("execute: tesmor %.0f stmt/s, mariadb %.0f stmt/s, ratio %.2f\n", a, b, a / b);
    return 0;
}

} // namespace

int main(int argc, char *argv[])
{
    QApplication app(argc, argv);
    const QStringList args = app.arguments().mid(1);
    const bool all = args.isEmpty();
    if ((all || args.contains(u"window"_qs)) && benchWindow() != 0)
        return 1;
    if (all || args.contains(u"cut"_qs))
        benchCut();
    if (all || args.contains(u"execute"_qs))
        return benchExecute();
    return 0;
}
