#include "bench/Bench.h"

#include "core/ModPublic.h"
#include "db/FileScript.h"
#include "db/ScriptRunner.h"

#include <QCoreApplication>
#include <QFile>

#include <cstdio>

namespace {

constexpr int kTables = 4;
constexpr qint64 kBlockBytes = 100'000'000;
constexpr qint64 kFileBytes = qint64(2'100'000'000);

// One block of a dump: for each of its tables DROP TABLE IF EXISTS, CREATE
// TABLE and rows in extended INSERTs of about 1 MB, as mariadb-dump writes
// them; the blocks of a file differ in their tables' names only.
QByteArray dumpBlock(int block)
{
    QByteArray s;
    s.reserve(kBlockBytes + 2'000'000);
    qint64 id = 0;
    for (int t = 1; t <= kTables; ++t) {
        const QByteArray table
            = "`bench_file_" + QByteArray::number(block) + "_" + QByteArray::number(t) + "`";
        s += "DROP TABLE IF EXISTS " + table + ";\n";
        s += "CREATE TABLE " + table
            + " (\n  `id` int(11) NOT NULL,\n  `name` varchar(64) NOT NULL,\n  `note` text,\n"
              "  PRIMARY KEY (`id`)\n) ENGINE=InnoDB DEFAULT CHARSET=utf8mb4;\n";
        s += "LOCK TABLES " + table + " WRITE;\n";
        while (s.size() < kBlockBytes / kTables * t) {
            s += "INSERT INTO " + table + " VALUES ";
            for (qint64 bytes = 0; bytes < 1'000'000; ++id) {
                const QByteArray row = "(" + QByteArray::number(id) + ",'name "
                    + QByteArray::number(id) + "','Row " + QByteArray::number(id * 7919 % 1000003)
                    + " of the dump, with \\'quotes\\' and a ; inside.')";
                s += (bytes == 0 ? "" : ",") + row;
                bytes += row.size() + 1;
            }
            s += ";\n";
        }
        s += "UNLOCK TABLES;\n";
    }
    return s;
}

// The child's side: runs the file at path from disk or from memory through
// the window's runner on Cnn and prints its seconds, failures and peak memory.
int runChild(const QString &how, const QString &path)
{
    Bench bench;
    if (!bench.open())
        return 1;
    ErrorLogListener log(u"FrmQuery"_qs, u"ExecuteNow"_qs);
    ScriptListener *const listeners[] = { &log };
    const qint64 start = benchClock.nsecsElapsed();
    RunSummary summary;
    if (how == u"disk") {
        FileScript script({ path });
        if (!script.open()) {
            std::fprintf(stderr, "%s\n", qPrintable(script.error()));
            return 1;
        }
        summary = runScript(ModPublic::Cnn.get(), script, listeners, RunPlan { script.size(), 0 });
    } else {
        QFile file(path);
        if (!file.open(QIODevice::ReadOnly))
            return 1;
        QByteArray bytes = file.readAll();
        file.close();
        ScriptCutter script(std::move(bytes));
        summary = runScript(ModPublic::Cnn.get(), script, listeners, RunPlan {});
    }
    const double s = seconds(start);
    std::printf("child %s %.3f %lld %lld %lld\n", qPrintable(how), s,
        static_cast<long long>(summary.failed), static_cast<long long>(summary.executed),
        static_cast<long long>(statusBytes("VmHWM")));
    return summary.failed == 0 && summary.stopped.isEmpty() ? 0 : 1;
}

struct ChildResult {
    double seconds = 0;
    qint64 peak = 0;
    bool ok = false;
};

ChildResult child(const QString &how, const QString &path)
{
    QProcess p;
    p.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    p.start(QCoreApplication::applicationFilePath(), { u"--file-child"_qs, how, path });
    ChildResult r;
    if (!p.waitForFinished(-1) || p.exitCode() != 0) {
        std::fprintf(stderr, "file: the %s run failed: %s\n", qPrintable(how),
            p.readAllStandardOutput().constData());
        return r;
    }
    const QList<QByteArray> words = p.readAllStandardOutput().trimmed().split(' ');
    if (words.size() != 6 || words[0] != "child")
        return r;
    r.seconds = words[2].toDouble();
    r.peak = words[5].toLongLong();
    r.ok = true;
    return r;
}

} // namespace

int fileChild(const QStringList &args)
{
    return args.size() == 2 ? runChild(args[0], args[1]) : 2;
}

int benchFile()
{
    Bench bench;
    if (!bench.open())
        return 1;
    const QString path = bench.files.filePath(u"dump.sql"_qs);
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly))
        return 1;
    int blocks = 0;
    for (; file.size() < kFileBytes; ++blocks)
        file.write(dumpBlock(blocks));
    file.close();
    const double gb = file.size() / 1e9;
    const auto dropAll = [&] {
        for (int b = 0; b < blocks; ++b)
            for (int t = 1; t <= kTables; ++t)
                exec(bench.admin, u"DROP TABLE IF EXISTS bench_file_%1_%2"_qs.arg(b).arg(t));
    };
    // Each in a process of its own, so that one's peak does not count for
    // the other; the disk run first and last, around the one in memory, as
    // a server slows over a long run.
    const ChildResult disk = child(u"disk"_qs, path);
    dropAll();
    const ChildResult memory = child(u"memory"_qs, path);
    dropAll();
    if (!disk.ok || !memory.ok)
        return 1;
    const double diskRate = file.size() / disk.seconds / 1e6;
    const double memoryRate = file.size() / memory.seconds / 1e6;
    std::printf("file in memory: %.2f GB, %.1f MB/s, peak memory %lld MB\n", gb, memoryRate,
        static_cast<long long>(memory.peak >> 20));
    std::printf(
        "file: %.2f GB from disk, %.1f MB/s, %.2fx the in-memory run, peak memory %lld MB\n", gb,
        diskRate, diskRate / memoryRate, static_cast<long long>(disk.peak >> 20));
    return 0;
}
