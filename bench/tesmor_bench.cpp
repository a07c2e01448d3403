// Prints how fast Tesmor cuts and executes scripts, against the server given
// by TESMOR_TEST_HOST/PORT/DB (scripts/bench starts one). Each mode can run
// alone (tesmor_bench latency); without arguments all run.
//   window:   100,000 statements, a 100 MB script of 280,000 with some
//             failing, and one statement on a 10 MB line, pasted into the
//             query window and run from it, against the runner alone
//   cut:      cleaning and cutting a generated 100 MB script
//   execute:  20,000 single-row INSERTs, one in 1,000 failing, through the
//             window's runner, against the same script file run by the
//             mariadb command-line client
//   latency:  the same through a proxy adding 2 ms each way
//   dump:     a 100 MB script shaped like mariadb-dump's output, 1 MB
//             INSERTs, by the window's runner and by the client: on
//             loopback, behind 2 ms each way, and behind 2 ms each way on a
//             100 Mbit/s link
//   selects:  20,000 SELECTs, each needing its answer before the next
//   proxy:    what the proxy itself costs at 0 ms
//   failures: what a failing statement costs, and where
#include "core/ErrorTrap.h"
#include "core/ModPublic.h"
#include "core/Platform.h"
#include "db/Connection.h"
#include "db/ConnectionString.h"
#include "db/ScriptRunner.h"

#include "ui/FrmQuery.h"
#include "ui/ScriptBox.h"

#include <QApplication>
#include <QClipboard>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QMimeData>
#include <QProcess>
#include <QPushButton>
#include <QTemporaryDir>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <functional>
#include <numeric>
#include <optional>
#include <string>
#include <string_view>

namespace {

// One clock for the whole run, so times taken in different places compare.
QElapsedTimer benchClock;

class SilentPlatform final : public Platform {
public:
    QStringList messages;
    qint64 shownAtNs = 0; // on benchClock, when the last message was shown
    void showMessage(const QString &text) override
    {
        shownAtNs = benchClock.nsecsElapsed();
        messages << text;
    }
    void showWindow(Window) override { }
    void endProgram(int) override { }
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
    qsizetype chars = 0;
    const QByteArray script = [&] {
        const QString text = generateScript(100'000'000);
        chars = text.size();
        return text.toUtf8();
    }();
    const qint64 lines = script.count('\n');

    double bestSeconds = 1e9;
    double peakRatio = 0;
    qsizetype statements = 0;
    for (int run = 0; run < 3; ++run) {
        // The run's own copy, as a window hands it over.
        QByteArray copy(script.constData(), script.size());
        resetPeak();
        QElapsedTimer timer;
        timer.start();
        // Pulled as a run pulls them, each text read and let go.
        ScriptCutter cutter(std::move(copy));
        Statement s;
        qsizetype cut = 0;
        while (cutter.next(&s))
            ++cut;
        const double seconds = timer.nsecsElapsed() / 1e9;
        statements = cut;
        bestSeconds = std::min(bestSeconds, seconds);
        peakRatio
            = std::max(peakRatio, double(statusBytes("VmHWM") - before) / double(script.size()));
    }
    std::printf("cut script: %lld chars, %lld bytes of UTF-8, %lld lines, %lld statements, best "
                "of 3: %.3f s\n",
        static_cast<long long>(chars), static_cast<long long>(script.size()),
        static_cast<long long>(lines), static_cast<long long>(statements), bestSeconds);
    // The peak counts the script and the run's copy of it.
    std::printf("cut: %.0f Mchar/s, peak memory %.2fx script (UTF-8)\n", chars / bestSeconds / 1e6,
        peakRatio);
}

double median(QList<double> v)
{
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

// The median over the rounds of one measurement against another taken in
// the same round.
double medianRatio(const QList<QList<double>> &rounds, qsizetype of, qsizetype against)
{
    QList<double> ratios;
    for (qsizetype i = 0; i < rounds[of].size(); ++i)
        ratios << rounds[of][i] / rounds[against][i];
    return median(ratios);
}

double seconds(qint64 fromNs)
{
    return (benchClock.nsecsElapsed() - fromNs) / 1e9;
}

// A script of single-row INSERTs into bench_rows; every failEvery-th
// statement repeats key 0 and fails on the server with a duplicate key.
QString insertScript(int rows, int failEvery, const QString &padding = QString())
{
    QString s;
    for (int i = 0; i < rows; ++i) {
        if (failEvery > 0 && (i + 1) % failEvery == 0)
            s += u"INSERT INTO bench_rows (a, b) VALUES (0, 'duplicate %1');\r\n"_qs.arg(padding);
        else
            s += u"INSERT INTO bench_rows (a, b) VALUES (%1, 'row %1 %2');\r\n"_qs.arg(i).arg(
                padding);
    }
    return s;
}

struct Workload {
    QString script;
    qsizetype statements = 0;
    qsizetype failures = 0;
    qint64 rowsAfter = -1; // -1: not checked
};

Workload inserts(int rows, int failEvery, const QString &padding = QString())
{
    const int failures = failEvery > 0 ? rows / failEvery : 0;
    return { insertScript(rows, failEvery, padding), rows, failures, rows - failures };
}

bool exec(Connection &c, const QString &sql)
{
    if (const Outcome f = c.Execute(sql)) {
        std::fprintf(stderr, "%s: %s\n", qPrintable(sql), qPrintable(f->Description));
        return false;
    }
    return true;
}

struct Server {
    QString host = qEnvironmentVariable("TESMOR_TEST_HOST");
    QString port = qEnvironmentVariable("TESMOR_TEST_PORT");
    QString db = qEnvironmentVariable("TESMOR_TEST_DB", u"TESMOR_TEST"_qs);
};

// The delay proxy between the clients and the server, its rate capped in
// each direction when given; it ends with this object (end of its input), or
// with the benchmark if that dies first.
class DelayProxy {
public:
    DelayProxy(const Server &server, double delayMs, double rateMbit = 0)
    {
        m_process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        QStringList arguments { u"0"_qs, server.host, server.port, QString::number(delayMs) };
        if (rateMbit > 0)
            arguments << QString::number(rateMbit);
        m_process.start(QString::fromUtf8(DELAY_PROXY), arguments);
        QByteArray line;
        while (!line.endsWith('\n') && m_process.waitForReadyRead(10000))
            line += m_process.readLine();
        if (line.startsWith("listening on "))
            m_port = QString::fromLatin1(line.mid(13).trimmed());
        else
            std::fprintf(stderr, "delay_proxy did not start: %s\n", line.constData());
    }
    ~DelayProxy()
    {
        m_process.closeWriteChannel();
        if (!m_process.waitForFinished(5000)) {
            m_process.kill();
            m_process.waitForFinished(5000);
        }
    }
    DelayProxy(const DelayProxy &) = delete;
    DelayProxy &operator=(const DelayProxy &) = delete;

    // Empty when the proxy did not start.
    QString port() const { return m_port; }

private:
    QProcess m_process;
    QString m_port;
};

// What every mode shares: an admin connection beside Cnn on an empty
// bench_rows table, a folder of its own where the error log goes (as beside
// the program file) and a quiet platform. Drops the table at the end.
class Bench {
public:
    Server server;
    Connection admin;
    SilentPlatform silent;
    QTemporaryDir files;

    Bench() = default;
    Bench(const Bench &) = delete;
    Bench &operator=(const Bench &) = delete;
    ~Bench()
    {
        installPlatform(nullptr);
        ModPublic::Cnn.reset();
        ModPublic::AppPath.clear();
        if (m_opened)
            exec(admin, u"DROP TABLE bench_rows"_qs);
    }

    bool open()
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
            || !exec(admin, u"CREATE TABLE bench_rows (a INT PRIMARY KEY, b VARCHAR(400))"_qs))
            return false;
        m_opened = true;
        ModPublic::AppPath = ModPublic::withTrailingSlash(files.path());
        ModPublic::ServerName = server.host;
        ModPublic::DBName = server.db;
        installPlatform(&silent);
        return connectCnn(server.port);
    }

    // Opens Cnn the way the Server Details window does, to the server or to
    // a proxy in front of it.
    bool connectCnn(const QString &port)
    {
        ModPublic::Port = port;
        if (ModPublic::MakeConnection())
            return true;
        std::fprintf(stderr, "cannot open Cnn on port %s\n", qPrintable(port));
        return false;
    }

    bool empty() { return exec(admin, u"TRUNCATE TABLE bench_rows"_qs); }

    QString writeFile(const QString &name, const QString &script)
    {
        const QString path = files.filePath(name);
        QFile f(path);
        if (!f.open(QIODevice::WriteOnly) || f.write(script.toUtf8()) < 0)
            std::fprintf(stderr, "cannot write %s\n", qPrintable(path));
        return path;
    }

    // mariadb --force on a script file; its own errors counted from stderr.
    struct ClientRun {
        double seconds = 0;
        qsizetype errors = 0;
        bool finished = false;
    };
    ClientRun runClient(const QString &file, const QString &port, const QString &sql = QString())
    {
        QProcess client;
        if (sql.isEmpty())
            client.setStandardInputFile(file);
        client.setStandardOutputFile(QProcess::nullDevice());
        QStringList args { u"--no-defaults"_qs, u"--force"_qs, u"-h"_qs, server.host, u"-P"_qs,
            port, u"-uolun"_qs, server.db };
        if (!sql.isEmpty())
            args << u"-e"_qs << sql;
        const qint64 start = benchClock.nsecsElapsed();
        client.start(u"mariadb"_qs, args);
        ClientRun run;
        run.finished = client.waitForFinished(-1) && client.exitStatus() == QProcess::NormalExit;
        run.seconds = seconds(start);
        const QList<QByteArray> lines = client.readAllStandardError().split('\n');
        for (const QByteArray &l : lines)
            run.errors += l.startsWith("ERROR ") ? 1 : 0;
        if (!run.finished)
            std::fprintf(stderr, "mariadb did not finish\n");
        return run;
    }

    qint64 rowCount(const QString &table = u"bench_rows"_qs)
    {
        QProcess client;
        client.start(u"mariadb"_qs,
            { u"--no-defaults"_qs, u"-N"_qs, u"-h"_qs, server.host, u"-P"_qs, server.port,
                u"-uolun"_qs, server.db, u"-e"_qs, u"SELECT COUNT(*) FROM "_qs + table });
        client.waitForFinished(-1);
        bool ok = false;
        const qint64 n = client.readAllStandardOutput().trimmed().toLongLong(&ok);
        return ok ? n : -1;
    }

    // The run left what the script should leave; says what went wrong if not.
    bool check(const char *who, const Workload &w, qsizetype failed)
    {
        if (failed != w.failures) {
            std::fprintf(stderr, "%s: %lld statements failed, expected %lld\n", who,
                static_cast<long long>(failed), static_cast<long long>(w.failures));
            return false;
        }
        if (w.rowsAfter >= 0) {
            const qint64 rows = rowCount();
            if (rows != w.rowsAfter) {
                std::fprintf(stderr, "%s: %lld rows stored, expected %lld\n", who,
                    static_cast<long long>(rows), static_cast<long long>(w.rowsAfter));
                return false;
            }
        }
        return true;
    }

    // Statements a second through the window's runner on Cnn; 0 on failure.
    // What the window does, less the window: cutting, running on this
    // thread with failures logged, and the closing message.
    double runnerAloneRate(const Workload &w)
    {
        if (w.rowsAfter >= 0 && !empty())
            return 0;
        const qint64 start = benchClock.nsecsElapsed();
        ErrorLogListener log(u"FrmQuery"_qs, u"ExecuteNow"_qs);
        ScriptListener *const listeners[] = { &log };
        const RunSummary summary = runScript(ModPublic::Cnn.get(), w.script.toUtf8(), listeners);
        platform().showMessage(completionMessage(summary));
        const double s = seconds(start);
        return check("runner", w, summary.failed) ? w.statements / s : 0;
    }

    double tesmorRate(const Workload &w)
    {
        if (w.rowsAfter >= 0 && !empty())
            return 0;
        const qint64 start = benchClock.nsecsElapsed();
        const RunSummary summary = executeScript(w.script);
        const double s = seconds(start);
        return check("tesmor", w, summary.failed) ? w.statements / s : 0;
    }

    double clientRate(const Workload &w, const QString &file, const QString &port)
    {
        if (w.rowsAfter >= 0 && !empty())
            return 0;
        const ClientRun run = runClient(file, port);
        return run.finished && check("mariadb", w, run.errors) ? w.statements / run.seconds : 0;
    }

private:
    bool m_opened = false;
};

// Runs each measurement once per round, in turn, so that the machine's
// changing load touches all alike, and prints each round's figures under
// label; the medians of the rounds, or nothing when a run went wrong.
// Every round's figures, run by run, go to everyRound when given. Balanced,
// every other round runs them in reverse order, so that a server or machine
// that drifts over a long run favours none of them; the measurements must
// then not depend on each other's order.
std::optional<QList<double>> alternate(const char *label, int rounds,
    const QList<std::function<double()>> &runs, QList<QList<double>> *everyRound = nullptr,
    bool balanced = false)
{
    QList<QList<double>> values(runs.size());
    for (int round = 0; round < rounds; ++round) {
        const bool reversed = balanced && round % 2 == 1;
        QList<double> got(runs.size());
        for (qsizetype k = 0; k < runs.size(); ++k) {
            const qsizetype i = reversed ? runs.size() - 1 - k : k;
            got[i] = runs[i]();
            if (got[i] <= 0)
                return std::nullopt;
        }
        std::printf("%s round %d%s:", label, round + 1, reversed ? " (run in reverse)" : "");
        for (qsizetype i = 0; i < runs.size(); ++i) {
            values[i] << got[i];
            std::printf(got[i] < 100 ? " %.3f" : " %.0f", got[i]);
        }
        std::printf("\n");
        std::fflush(stdout);
    }
    QList<double> medians;
    for (const QList<double> &v : values)
        medians << median(v);
    if (everyRound)
        *everyRound = values;
    return medians;
}

struct WindowFigures {
    double paste = 0;
    double read = 0;
    double peak = 0; // resident peak, paste to first closing message, over the UTF-8 size
    double runner = 0;
    double window = 0;
    double overhead = 0; // the window against the runner, the median of the rounds
};

// The script pasted into the query window through the desktop's clipboard
// and run from its OK button, and read from the window and run by the runner
// alone, alternately. The window time ends when the closing message is
// shown, whether the click returns only then or earlier. The peak counts the
// program's resident memory, Qt's own included, from before the paste to the
// first closing message; the clipboard's copy of the script counts until
// the paste is over, as when another program offers it. afterRuns, when given,
// measures on the window once the rounds are over.
std::optional<WindowFigures> windowRun(
    Bench &bench, Workload w, const std::function<void(ScriptBox *)> &afterRuns = {})
{
    FrmQuery window;
    window.show();
    auto *box = window.findChild<ScriptBox *>(u"TxtQuery"_qs);
    auto *ok = window.findChild<QPushButton *>(u"CmdOK"_qs);
    WindowFigures f;
    qsizetype utf8Size = 0;
    {
        auto *mime = new QMimeData;
        mime->setData(u"text/plain;charset=utf-8"_qs, w.script.toUtf8());
        utf8Size = mime->data(u"text/plain;charset=utf-8"_qs).size();
        QGuiApplication::clipboard()->setMimeData(mime);
        w.script = QString(); // the bench's copy is not the program's
    }
    resetPeak();
    qint64 start = benchClock.nsecsElapsed();
    box->paste();
    QCoreApplication::processEvents();
    f.paste = seconds(start);
    // On a desktop the program that offers the text holds it; this one
    // holds a copy only while it pastes.
    QGuiApplication::clipboard()->clear();

    SilentPlatform &silent = bench.silent;
    Workload fromWindow { QString(), w.statements, w.failures, w.rowsAfter };
    QList<QList<double>> rounds;
    const auto medians = alternate("window (window s, runner s)", 5,
        { [&] {
             if (!bench.empty())
                 return 0.0;
             const qsizetype shown = silent.messages.size();
             const qint64 clicked = benchClock.nsecsElapsed();
             ok->click();
             QElapsedTimer patience;
             patience.start();
             while (silent.messages.size() == shown && patience.elapsed() < 600'000)
                 QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 50);
             while (window.isRunning() && patience.elapsed() < 600'000)
                 QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 50);
             if (silent.messages.size() != shown + 1)
                 return 0.0;
             if (f.peak == 0)
                 f.peak = double(statusBytes("VmHWM")) / double(utf8Size);
             const double s = (silent.shownAtNs - clicked) / 1e9;
             return bench.check("window", w, w.failures) ? s : 0.0;
         },
            [&] {
                if (fromWindow.script.isNull()) {
                    const qint64 read = benchClock.nsecsElapsed();
                    const QByteArray bytes = box->scriptBytes();
                    f.read = seconds(read);
                    fromWindow.script = QString::fromUtf8(bytes);
                }
                const double rate = bench.runnerAloneRate(fromWindow);
                const qsizetype shown = silent.messages.size();
                if (shown < 2 || silent.messages[shown - 1] != silent.messages[shown - 2]) {
                    std::fprintf(stderr, "window: closing message \"%s\", the runner's \"%s\"\n",
                        qPrintable(silent.messages.value(shown - 2)),
                        qPrintable(silent.messages.value(shown - 1)));
                    return 0.0;
                }
                return rate > 0 ? w.statements / rate : 0;
            } },
        &rounds);
    if (!medians)
        return std::nullopt;
    f.window = (*medians)[0];
    f.runner = (*medians)[1];
    // Each window run against the runner run just after it: the load of
    // this shared machine swings by a factor of two within a minute, far
    // more than the overhead sought, but changes less between neighbours.
    f.overhead = medianRatio(rounds, 0, 1) - 1;
    if (afterRuns)
        afterRuns(box);
    return f;
}

// One extended INSERT of rows on a single line of about 10 MB, as dumps
// write them.
Workload longLine()
{
    QString s = u"INSERT INTO bench_rows (a, b) VALUES "_qs;
    int rows = 0;
    for (; s.size() < 10'000'000; ++rows)
        s += u"%1(%2, 'row %2 ....................')"_qs.arg(rows > 0 ? u", " : u"").arg(rows);
    s += u";\r\n"_qs;
    return { s, 1, 0, rows };
}

// Marks the first statements of the big script, one a line, as failures,
// as many as a run of that many failures would, and shows them.
void markFailures(ScriptBox *box, qsizetype count)
{
    const QByteArray text = box->scriptBytes();
    const qint64 start = benchClock.nsecsElapsed();
    qsizetype from = 0;
    qsizetype marked = 0;
    for (; marked < count; ++marked) {
        const qsizetype end = text.indexOf("\r\n", from);
        if (end < 0)
            break;
        box->addMark(from, end, ScriptBox::Mark::Failure,
            u"MySQL 1062 (23000): Duplicate entry '0' for key 'PRIMARY'"_qs);
        from = end + 2;
    }
    box->showPosition(0);
    box->repaint();
    const double markSeconds = seconds(start);
    const qint64 cleared = benchClock.nsecsElapsed();
    box->clearMarks();
    box->repaint();
    std::printf("window marks: %lld failures marked and shown in %.3f s, cleared in %.3f s\n",
        static_cast<long long>(marked), markSeconds, seconds(cleared));
    std::fflush(stdout);
}

int benchWindow()
{
    Bench bench;
    if (!bench.open())
        return 1;
    // Small: short INSERTs, none failing. Big: 100 MB, a few hundred
    // characters each, one in 500 failing, like a large real migration
    // script. Long line: one statement.
    const struct {
        const char *name;
        std::function<Workload()> make;
    } cases[] = {
        { "window", [] { return inserts(100'000, 0, QString(50, u'.')); } },
        { "window big", [] { return inserts(280'000, 500, QString(300, u'.')); } },
        { "window long line", [] { return longLine(); } },
    };
    for (const auto &[name, make] : cases) {
        Workload w = make();
        const double megabytes = double(w.script.toUtf8().size()) / 1e6;
        const auto statements = static_cast<long long>(w.statements);
        const auto failures = static_cast<long long>(w.failures);
        // The big script also shows what marking as many failures costs.
        std::function<void(ScriptBox *)> afterRuns;
        if (std::string_view(name) == "window big")
            afterRuns = [](ScriptBox *box) { markFailures(box, 100'000); };
        const std::optional<WindowFigures> f = windowRun(bench, std::move(w), afterRuns);
        if (!f)
            return 1;
        std::printf("%s: %lld statements (%.1f MB UTF-8), %lld failing, read %.3f s, runner "
                    "%.2f s, window %.2f s, paste %.2f s, peak memory %.1fx script (UTF-8)\n",
            name, statements, megabytes, failures, f->read, f->runner, f->window, f->paste,
            f->peak);
        std::printf("%s: overhead %.1f%%\n", name, f->overhead * 100.0);
        std::fflush(stdout);
    }
    return 0;
}

// Tesmor and the mariadb client on the same script, alternated: prints
// "<name>: tesmor <A> stmt/s, mariadb <B> stmt/s, ratio <A/B>".
int againstClient(Bench &bench, const char *name, const Workload &w, const QString &fileName)
{
    const QString file = bench.writeFile(fileName, w.script);
    const auto r
        = alternate(qPrintable(u"%1 (tesmor, mariadb stmt/s)"_qs.arg(QLatin1String(name))), 3,
            { [&] { return bench.tesmorRate(w); },
                [&] { return bench.clientRate(w, file, bench.server.port); } });
    if (!r)
        return 1;
    const double a = (*r)[0];
    const double b = (*r)[1];
    std::printf("%s: tesmor %.0f stmt/s, mariadb %.0f stmt/s, ratio %.2f\n", name, a, b, a / b);
    std::fflush(stdout);
    return 0;
}

// The script of the execute and latency modes.
Workload executeWorkload()
{
    return inserts(20'000, 1'000);
}

int benchExecute()
{
    Bench bench;
    if (!bench.open())
        return 1;
    return againstClient(bench, "execute", executeWorkload(), u"inserts.sql"_qs);
}

int benchLatency()
{
    Bench bench;
    if (!bench.open())
        return 1;
    constexpr double kDelayMs = 2;
    DelayProxy proxy(bench.server, kDelayMs);
    if (proxy.port().isEmpty())
        return 1;
    const Workload w = executeWorkload();
    // mariadb waits a whole round trip for every statement (about 90 s for
    // the script here), so it runs the script's first tenth: the same
    // statements at the same failure rate, and the rate the same as the
    // whole script would give.
    const Workload head = inserts(2'000, 1'000);
    const QString file = bench.writeFile(u"inserts-head.sql"_qs, head.script);
    QList<QList<double>> rounds;
    const auto r = alternate(
        "latency 2ms (tesmor loopback, tesmor proxy, mariadb proxy, mariadb loopback stmt/s)", 3,
        { [&] { return bench.connectCnn(bench.server.port) ? bench.tesmorRate(w) : 0; },
            [&] { return bench.connectCnn(proxy.port()) ? bench.tesmorRate(w) : 0; },
            [&] { return bench.clientRate(head, file, proxy.port()); },
            [&] { return bench.clientRate(head, file, bench.server.port); } },
        &rounds, true);
    if (!r)
        return 1;
    const double a = (*r)[1];
    const double b = (*r)[2];
    // Kept: each round's rate behind the proxy against its own loopback rate.
    std::printf("latency 2ms: tesmor %.0f stmt/s, mariadb %.0f stmt/s, ratio %.2f, kept %.0f%% of "
                "loopback\n",
        a, b, a / b, medianRatio(rounds, 1, 0) * 100.0);
    // A client that waits for each answer pays the delay twice a statement
    // on top of its loopback time; what it pays beyond is the proxy's own.
    const double expectedMs = 2 * kDelayMs + 1e3 / (*r)[3];
    const double measuredMs = 1e3 / b;
    std::printf("latency 2ms: mariadb %.2f ms a statement, against %.2f ms of delay and loopback: "
                "the proxy adds %.1f%%\n",
        measuredMs, expectedMs, (measuredMs / expectedMs - 1) * 100.0);
    std::fflush(stdout);
    return 0;
}

// A script shaped like mariadb-dump's output of a few tables: its header and
// footer of version comments, and for each table DROP TABLE IF EXISTS,
// CREATE TABLE and its rows in extended INSERTs of about 1 MB (the dump's
// default net_buffer_length) between LOCK TABLES and UNLOCK TABLES. Lines
// end in CR LF, as the query window hands a pasted dump over.
struct Dump {
    Workload workload;
    qint64 bytes = 0; // in UTF-8, as sent
    int tables = 0;
    qint64 rowsPerTable = 0;
    QString lastTable;
};

Dump dumpWorkload()
{
    constexpr int kTables = 4;
    constexpr qsizetype kTableBytes = 25'000'000;
    constexpr qsizetype kInsertBytes = 1'000'000;
    Dump d;
    d.tables = kTables;
    QString &s = d.workload.script;
    s.reserve(kTables * kTableBytes + kInsertBytes);
    qsizetype statements = 0;
    auto statement = [&](const QString &text) {
        s += text + u";\r\n"_qs;
        ++statements;
    };
    s += u"-- MariaDB dump 10.19  Distrib 10.11.6-MariaDB, for debian-linux-gnu (x86_64)\r\n"
         "--\r\n-- Host: 127.0.0.1    Database: TESMOR_TEST\r\n"
         "-- ------------------------------------------------------\r\n"
         "-- Server version\t10.11.6-MariaDB-0+deb12u1\r\n\r\n"_qs;
    for (const char16_t *set : { u"40101 SET @OLD_CHARACTER_SET_CLIENT=@@CHARACTER_SET_CLIENT",
             u"40101 SET @OLD_CHARACTER_SET_RESULTS=@@CHARACTER_SET_RESULTS",
             u"40101 SET @OLD_COLLATION_CONNECTION=@@COLLATION_CONNECTION",
             u"40101 SET NAMES utf8mb4", u"40103 SET @OLD_TIME_ZONE=@@TIME_ZONE",
             u"40103 SET TIME_ZONE='+00:00'",
             u"40014 SET @OLD_UNIQUE_CHECKS=@@UNIQUE_CHECKS, UNIQUE_CHECKS=0",
             u"40014 SET @OLD_FOREIGN_KEY_CHECKS=@@FOREIGN_KEY_CHECKS, FOREIGN_KEY_CHECKS=0",
             u"40101 SET @OLD_SQL_MODE=@@SQL_MODE, SQL_MODE='NO_AUTO_VALUE_ON_ZERO'",
             u"40111 SET @OLD_SQL_NOTES=@@SQL_NOTES, SQL_NOTES=0" })
        statement(u"/*!"_qs + QString::fromUtf16(set) + u" */"_qs);
    qint64 id = 0;
    for (int t = 1; t <= kTables; ++t) {
        const QString table = u"`bench_dump_%1`"_qs.arg(t);
        s += u"\r\n--\r\n-- Table structure for table %1\r\n--\r\n\r\n"_qs.arg(table);
        statement(u"DROP TABLE IF EXISTS "_qs + table);
        statement(u"/*!40101 SET @saved_cs_client     = @@character_set_client */"_qs);
        statement(u"/*!40101 SET character_set_client = utf8mb4 */"_qs);
        statement(
            u"CREATE TABLE %1 (\r\n"
            "  `id` int(11) NOT NULL,\r\n"
            "  `name` varchar(64) NOT NULL,\r\n"
            "  `email` varchar(128) NOT NULL,\r\n"
            "  `amount` decimal(12,2) NOT NULL DEFAULT 0.00,\r\n"
            "  `created` datetime NOT NULL,\r\n"
            "  `note` varchar(255) DEFAULT NULL,\r\n"
            "  PRIMARY KEY (`id`),\r\n"
            "  KEY `created` (`created`)\r\n"
            ") ENGINE=InnoDB DEFAULT CHARSET=utf8mb4 COLLATE=utf8mb4_general_ci"_qs.arg(table));
        statement(u"/*!40101 SET character_set_client = @saved_cs_client */"_qs);
        s += u"\r\n--\r\n-- Dumping data for table %1\r\n--\r\n\r\n"_qs.arg(table);
        statement(u"LOCK TABLES %1 WRITE"_qs.arg(table));
        statement(u"/*!40000 ALTER TABLE %1 DISABLE KEYS */"_qs.arg(table));
        const qsizetype tableEnd = s.size() + kTableBytes;
        qint64 rows = 0;
        while (s.size() < tableEnd) {
            s += u"INSERT INTO %1 VALUES "_qs.arg(table);
            const qsizetype insertEnd = s.size() + kInsertBytes;
            for (bool first = true; s.size() < insertEnd; first = false) {
                ++id;
                ++rows;
                if (!first)
                    s += u',';
                s += u"(%1,'Customer %1','customer%1@example.com',%2.%3,'2024-%4-%5 %6:%7:%8',"
                     "'order %1; ships to O\\'Brien, back door')"_qs.arg(id)
                         .arg(id * 37 % 100'000)
                         .arg(id % 100, 2, 10, QChar(u'0'))
                         .arg(id % 12 + 1, 2, 10, QChar(u'0'))
                         .arg(id % 28 + 1, 2, 10, QChar(u'0'))
                         .arg(id % 24, 2, 10, QChar(u'0'))
                         .arg(id % 60, 2, 10, QChar(u'0'))
                         .arg(id * 7 % 60, 2, 10, QChar(u'0'));
            }
            s += u";\r\n"_qs;
            ++statements;
        }
        d.rowsPerTable = rows; // alike for every table: their rows differ only in id
        d.lastTable = table;
        statement(u"/*!40000 ALTER TABLE %1 ENABLE KEYS */"_qs.arg(table));
        statement(u"UNLOCK TABLES"_qs);
    }
    s += u"\r\n"_qs;
    for (const char16_t *set :
        { u"40103 SET TIME_ZONE=@OLD_TIME_ZONE", u"40101 SET SQL_MODE=@OLD_SQL_MODE",
            u"40014 SET FOREIGN_KEY_CHECKS=@OLD_FOREIGN_KEY_CHECKS",
            u"40014 SET UNIQUE_CHECKS=@OLD_UNIQUE_CHECKS",
            u"40101 SET CHARACTER_SET_CLIENT=@OLD_CHARACTER_SET_CLIENT",
            u"40101 SET CHARACTER_SET_RESULTS=@OLD_CHARACTER_SET_RESULTS",
            u"40101 SET COLLATION_CONNECTION=@OLD_COLLATION_CONNECTION",
            u"40111 SET SQL_NOTES=@OLD_SQL_NOTES" })
        statement(u"/*!"_qs + QString::fromUtf16(set) + u" */"_qs);
    s += u"\r\n-- Dump completed on 2025-01-01 12:00:00\r\n"_qs;
    d.workload.statements = statements;
    d.bytes = s.toUtf8().size();
    return d;
}

// The dump by Tesmor and by mariadb --force, alternated: on loopback, behind
// 2 ms each way, and behind 2 ms each way on a 100 Mbit/s link, where a 1 MB
// statement takes about 80 ms to cross and the client waits for each. Five
// rounds, about four minutes: a run takes seconds, and the load of this
// shared machine swings over tens of them.
int benchDump()
{
    Bench bench;
    if (!bench.open())
        return 1;
    const Dump dump = dumpWorkload();
    const QString file = bench.writeFile(u"dump.sql"_qs, dump.workload.script);
    constexpr double kDelayMs = 2;
    constexpr double kRateMbit = 100;
    DelayProxy far(bench.server, kDelayMs);
    DelayProxy narrow(bench.server, kDelayMs, kRateMbit);
    if (far.port().isEmpty() || narrow.port().isEmpty())
        return 1;
    std::printf("dump script: %d tables, %lld statements, %.1f MB\n", dump.tables,
        static_cast<long long>(dump.workload.statements), dump.bytes / 1e6);
    // Statements a second to MB/s, once the run is seen to have stored every row.
    auto megabytes = [&](double statementRate) {
        if (statementRate <= 0 || bench.rowCount(dump.lastTable) != dump.rowsPerTable)
            return 0.0;
        return statementRate / dump.workload.statements * dump.bytes / 1e6;
    };
    auto tesmor = [&](const QString &port) {
        return megabytes(bench.connectCnn(port) ? bench.tesmorRate(dump.workload) : 0);
    };
    auto client = [&](const QString &port) {
        return megabytes(bench.clientRate(dump.workload, file, port));
    };
    QList<QList<double>> rounds;
    const auto r = alternate("dump (tesmor, mariadb MB/s: loopback, 2ms, 2ms 100Mbit)", 5,
        { [&] { return tesmor(bench.server.port); }, [&] { return client(bench.server.port); },
            [&] { return tesmor(far.port()); }, [&] { return client(far.port()); },
            [&] { return tesmor(narrow.port()); }, [&] { return client(narrow.port()); } },
        &rounds, true);
    QString tables;
    for (int t = 1; t <= dump.tables; ++t)
        tables += u"%1bench_dump_%2"_qs.arg(t > 1 ? u", "_qs : QString()).arg(t);
    exec(bench.admin, u"DROP TABLE IF EXISTS "_qs + tables);
    if (!r)
        return 1;
    const QList<double> &m = *r;
    std::printf("dump: loopback tesmor %.1f MB/s, mariadb %.1f MB/s, ratio %.2f\n", m[0], m[1],
        m[0] / m[1]);
    // Kept: each round's rate behind the proxy against its own loopback rate.
    std::printf("dump 2ms: tesmor %.1f MB/s, mariadb %.1f MB/s, ratio %.2f, kept %.0f%%\n", m[2],
        m[3], m[2] / m[3], medianRatio(rounds, 2, 0) * 100.0);
    std::printf("dump 2ms 100Mbit: tesmor %.1f MB/s, mariadb %.1f MB/s, ratio %.2f, kept %.0f%%\n",
        m[4], m[5], m[4] / m[5], medianRatio(rounds, 4, 0) * 100.0);
    std::fflush(stdout);
    return 0;
}

int benchSelects()
{
    Bench bench;
    if (!bench.open())
        return 1;
    constexpr int kStatements = 20'000;
    if (!exec(bench.admin,
            u"INSERT INTO bench_rows SELECT seq, CONCAT('row ', seq) FROM seq_0_to_%1"_qs.arg(
                kStatements - 1)))
        return 1;
    Workload w;
    for (int i = 0; i < kStatements; ++i)
        w.script += u"SELECT a, b FROM bench_rows WHERE a = %1;\r\n"_qs.arg(i);
    w.statements = kStatements;
    return againstClient(bench, "selects", w, u"selects.sql"_qs);
}

// The proxy at 0 ms against no proxy: one statement at a time (each round
// trip pays the extra hop), and one large result streaming through.
int benchProxy()
{
    Bench bench;
    if (!bench.open())
        return 1;
    DelayProxy proxy(bench.server, 0);
    if (proxy.port().isEmpty())
        return 1;
    const Workload w = executeWorkload();
    const QString file = bench.writeFile(u"inserts.sql"_qs, w.script);
    constexpr qint64 kStreamRows = 200'000;
    constexpr qint64 kRowBytes = 1000;
    const QString stream
        = u"SELECT REPEAT('x', %1) FROM seq_1_to_%2"_qs.arg(kRowBytes).arg(kStreamRows);
    auto streamRate = [&](const QString &port) {
        if (!bench.connectCnn(port))
            return 0.0;
        const qint64 start = benchClock.nsecsElapsed();
        if (!exec(*ModPublic::Cnn, stream))
            return 0.0;
        return kStreamRows * kRowBytes / 1e6 / seconds(start);
    };
    const auto r
        = alternate("proxy 0ms (mariadb direct, proxy stmt/s; stream direct, proxy MB/s)", 5,
            { [&] { return bench.clientRate(w, file, bench.server.port); },
                [&] { return bench.clientRate(w, file, proxy.port()); },
                [&] { return streamRate(bench.server.port); },
                [&] { return streamRate(proxy.port()); } });
    if (!r)
        return 1;
    const QList<double> &m = *r;
    std::printf("proxy 0ms: overhead %.1f%% (mariadb direct %.0f stmt/s, through the proxy %.0f "
                "stmt/s)\n",
        (m[0] / m[1] - 1) * 100.0, m[0], m[1]);
    std::printf("proxy 0ms: stream overhead %.1f%% (%lld MB result direct %.0f MB/s, through the "
                "proxy %.0f MB/s)\n",
        (m[2] / m[3] - 1) * 100.0, static_cast<long long>(kStreamRows * kRowBytes / 1'000'000),
        m[2], m[3]);
    std::fflush(stdout);
    return 0;
}

// What a failing statement costs beyond one that succeeds, and where: each
// statement timed on its own, mixed in one script, so that the machine's
// changing load touches succeeding and failing statements alike; whole runs of only
// failing statements against only succeeding ones, by the runner and by
// mariadb --force; and the error log's own cost per record.
int benchFailures()
{
    Bench bench;
    if (!bench.open())
        return 1;
    constexpr int kRows = 20'000;
    // Every tenth statement fails, taking turns between a duplicate key (the
    // server runs the statement and rolls it back) and a syntax error (the
    // server only parses it).
    enum Kind { Succeeds, DuplicateKey, SyntaxError };
    auto kindOf
        = [](int i) { return i % 10 != 9 ? Succeeds : (i % 20 == 9 ? DuplicateKey : SyntaxError); };
    auto statement = [](Kind kind, int i) {
        switch (kind) {
        case DuplicateKey:
            return u"INSERT INTO bench_rows (a, b) VALUES (0, 'row %1');\r\n"_qs.arg(i);
        case SyntaxError:
            return u"INSERT INTO bench_rows (a, b) VALUES (%1, 'row %1') bad;\r\n"_qs.arg(i);
        default:
            return u"INSERT INTO bench_rows (a, b) VALUES (%1, 'row %1');\r\n"_qs.arg(i);
        }
    };
    Workload mixed;
    for (int i = 0; i < kRows; ++i)
        mixed.script += statement(kindOf(i), i);
    mixed.statements = kRows;
    mixed.failures = kRows / 10;
    mixed.rowsAfter = kRows - mixed.failures;
    const CutScript cut = CutScript::cut(mixed.script);

    // One statement at a time, so that each round trip is its own: the
    // runner sends INSERTs ahead of their answers. The error log is told of
    // each outcome as the runner's listener would be.
    ErrorLogListener log(u"FrmQuery"_qs, u"ExecuteNow"_qs);
    QList<double> roundTrip[3], after[3];
    for (int round = 0; round < 3; ++round) {
        if (!bench.empty())
            return 1;
        qsizetype failed = 0;
        for (int i = 0; i < kRows; ++i) {
            const qint64 sent = benchClock.nsecsElapsed();
            const Outcome outcome = ModPublic::Cnn->execute(cut.text(i));
            const qint64 answered = benchClock.nsecsElapsed();
            log.statementFinished(cut.statement(i), outcome);
            failed += outcome ? 1 : 0;
            roundTrip[kindOf(i)] << (answered - sent) / 1e3;
            after[kindOf(i)] << (benchClock.nsecsElapsed() - answered) / 1e3;
        }
        if (!bench.check("one at a time", mixed, failed))
            return 1;
    }
    auto mean = [](const QList<double> &v) {
        return std::accumulate(v.cbegin(), v.cend(), 0.0) / static_cast<double>(v.size());
    };
    std::printf("failures: round trip (median) of a succeeding INSERT %.0f us, a duplicate key "
                "%.0f us, a syntax error %.0f us\n",
        median(roundTrip[Succeeds]), median(roundTrip[DuplicateKey]),
        median(roundTrip[SyntaxError]));
    std::printf("failures: after the outcome (mean, the error log) of a succeeding INSERT %.1f us, "
                "a failing one %.1f us\n",
        mean(after[Succeeds]), mean(after[DuplicateKey] + after[SyntaxError]));
    std::fflush(stdout);

    // Whole runs: every statement failing (all but the first repeat its key)
    // against none.
    Workload none = inserts(kRows, 0);
    Workload failing;
    for (int i = 0; i < kRows; ++i)
        failing.script += statement(i == 0 ? Succeeds : DuplicateKey, i);
    failing.statements = kRows;
    failing.failures = kRows - 1;
    failing.rowsAfter = 1;
    const QString noneFile = bench.writeFile(u"none.sql"_qs, none.script);
    const QString failingFile = bench.writeFile(u"failing.sql"_qs, failing.script);
    auto secondsOf = [&](auto rate, const Workload &w) {
        const double r = rate();
        return r > 0 ? w.statements / r : 0.0;
    };
    const auto r = alternate("failures (tesmor none, failing s; mariadb none, failing s)", 3,
        { [&] { return secondsOf([&] { return bench.tesmorRate(none); }, none); },
            [&] { return secondsOf([&] { return bench.tesmorRate(failing); }, failing); },
            [&] {
                return secondsOf(
                    [&] { return bench.clientRate(none, noneFile, bench.server.port); }, none);
            },
            [&] {
                return secondsOf(
                    [&] { return bench.clientRate(failing, failingFile, bench.server.port); },
                    failing);
            } });
    if (!r)
        return 1;
    const QList<double> &m = *r;
    std::printf("failures: %d of %d INSERTs failing against none: tesmor %+.0f us per failure "
                "(%.2f s against %.2f s), mariadb --force %+.0f us (%.2f s against %.2f s)\n",
        kRows - 1, kRows, (m[1] - m[0]) / (kRows - 1) * 1e6, m[1], m[0],
        (m[3] - m[2]) / (kRows - 1) * 1e6, m[3], m[2]);

    std::fflush(stdout);
    return 0;
}

// The error log alone, without a server: a record beside the program
// (AppPath set, as the program runs) and in the state directory (the
// fallback when AppPath is unset).
void benchLog()
{
    QTemporaryDir dir;
    const QString appPath = ModPublic::AppPath;
    const QByteArray stateHome = qgetenv("XDG_STATE_HOME");
    constexpr int kRecords = 5'000;
    const Failure typical { kDriverFailure, u"Duplicate entry '0' for key 'PRIMARY'"_qs,
        u"MySQL 1062 (23000)"_qs };
    const Trap trap(u"FrmQuery"_qs, u"ExecuteNow"_qs);
    auto perRecordUs = [&] {
        const qint64 start = benchClock.nsecsElapsed();
        for (int i = 0; i < kRecords; ++i)
            trap(typical);
        return seconds(start) / kRecords * 1e6;
    };
    ModPublic::AppPath = ModPublic::withTrailingSlash(dir.path());
    const double beside = perRecordUs();
    ModPublic::AppPath.clear();
    qputenv("XDG_STATE_HOME", dir.filePath(u"state"_qs).toLocal8Bit());
    const double inState = perRecordUs();
    ModPublic::AppPath = appPath;
    if (stateHome.isNull())
        qunsetenv("XDG_STATE_HOME");
    else
        qputenv("XDG_STATE_HOME", stateHome);
    std::printf("log: WriteErrorLog %.1f us a record beside the program, %.1f us in the state "
                "directory\n",
        beside, inState);
    std::fflush(stdout);
}

} // namespace

int main(int argc, char *argv[])
{
    QApplication app(argc, argv);
    benchClock.start();
    const QStringList args = app.arguments().mid(1);
    const bool all = args.isEmpty();
    auto wanted = [&](const char16_t *mode) { return all || args.contains(QStringView(mode)); };
    int failed = 0;
    if (wanted(u"proxy"))
        failed |= benchProxy();
    if (wanted(u"window"))
        failed |= benchWindow();
    if (wanted(u"cut"))
        benchCut();
    if (wanted(u"selects"))
        failed |= benchSelects();
    if (wanted(u"failures"))
        failed |= benchFailures();
    if (wanted(u"log") || wanted(u"failures"))
        benchLog();
    if (wanted(u"execute"))
        failed |= benchExecute();
    if (wanted(u"latency"))
        failed |= benchLatency();
    if (wanted(u"dump"))
        failed |= benchDump();
    return failed;
}
