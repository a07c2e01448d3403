#include "bench/Bench.h"

#include "core/ModPublic.h"

#include <cstdio>

namespace {

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

} // namespace

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
