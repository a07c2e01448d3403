#include "bench/Bench.h"

#include "core/ErrorTrap.h"
#include "core/ModPublic.h"
#include "db/ConnectionString.h"
#include "db/ScriptRunner.h"

#include <QFile>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <string>

QElapsedTimer benchClock;

double seconds(qint64 fromNs)
{
    return (benchClock.nsecsElapsed() - fromNs) / 1e9;
}

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

double median(QList<double> v)
{
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

double medianRatio(const QList<QList<double>> &rounds, qsizetype of, qsizetype against)
{
    QList<double> ratios;
    for (qsizetype i = 0; i < rounds[of].size(); ++i)
        ratios << rounds[of][i] / rounds[against][i];
    return median(ratios);
}

namespace {

QString insertScript(int rows, int failEvery, const QString &padding)
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

} // namespace

Workload inserts(int rows, int failEvery, const QString &padding)
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

DelayProxy::DelayProxy(const Server &server, double delayMs, double rateMbit)
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

DelayProxy::~DelayProxy()
{
    m_process.closeWriteChannel();
    if (!m_process.waitForFinished(5000)) {
        m_process.kill();
        m_process.waitForFinished(5000);
    }
}

Bench::~Bench()
{
    installPlatform(nullptr);
    ModPublic::Cnn.reset();
    ModPublic::AppPath.clear();
    if (m_opened)
        exec(admin, u"DROP TABLE IF EXISTS bench_rows"_qs); // a mode's own processes share it
}

bool Bench::open()
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

bool Bench::connectCnn(const QString &port)
{
    ModPublic::Port = port;
    if (ModPublic::MakeConnection())
        return true;
    std::fprintf(stderr, "cannot open Cnn on port %s\n", qPrintable(port));
    return false;
}

bool Bench::empty()
{
    return exec(admin, u"TRUNCATE TABLE bench_rows"_qs);
}

QString Bench::writeFile(const QString &name, const QString &script)
{
    const QString path = files.filePath(name);
    QFile f(path);
    if (!f.open(QIODevice::WriteOnly) || f.write(script.toUtf8()) < 0)
        std::fprintf(stderr, "cannot write %s\n", qPrintable(path));
    return path;
}

Bench::ClientRun Bench::runClient(
    const QString &file, const QString &port, const QString &sql, const QStringList &options)
{
    QProcess client;
    if (sql.isEmpty())
        client.setStandardInputFile(file);
    client.setStandardOutputFile(QProcess::nullDevice());
    QStringList args { u"--no-defaults"_qs, u"--force"_qs };
    args << options << u"-h"_qs << server.host << u"-P"_qs << port << u"-uolun"_qs << server.db;
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

qint64 Bench::rowCount(const QString &table)
{
    QProcess client;
    client.start(u"mariadb"_qs,
        { u"--no-defaults"_qs, u"-N"_qs, u"-h"_qs, server.host, u"-P"_qs, server.port, u"-uolun"_qs,
            server.db, u"-e"_qs, u"SELECT COUNT(*) FROM "_qs + table });
    client.waitForFinished(-1);
    bool ok = false;
    const qint64 n = client.readAllStandardOutput().trimmed().toLongLong(&ok);
    return ok ? n : -1;
}

bool Bench::check(const char *who, const Workload &w, qsizetype failed)
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

double Bench::runnerAloneRate(const Workload &w)
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

double Bench::tesmorRate(const Workload &w)
{
    if (w.rowsAfter >= 0 && !empty())
        return 0;
    const qint64 start = benchClock.nsecsElapsed();
    const RunSummary summary = executeScript(w.script);
    const double s = seconds(start);
    return check("tesmor", w, summary.failed) ? w.statements / s : 0;
}

double Bench::clientRate(
    const Workload &w, const QString &file, const QString &port, const QStringList &options)
{
    if (w.rowsAfter >= 0 && !empty())
        return 0;
    const ClientRun run = runClient(file, port, QString(), options);
    return run.finished && check("mariadb", w, run.errors) ? w.statements / run.seconds : 0;
}

std::optional<QList<double>> alternate(const char *label, int rounds,
    const QList<std::function<double()>> &runs, QList<QList<double>> *everyRound, bool balanced)
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

Workload executeWorkload()
{
    return inserts(20'000, 1'000);
}
