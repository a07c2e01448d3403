#include "bench/Bench.h"

#include "core/ModPublic.h"

#include <cstdio>
#include <memory>

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

// Four tables of about tableBytes each.
Dump dumpWorkload(qsizetype tableBytes)
{
    constexpr int kTables = 4;
    const qsizetype kTableBytes = tableBytes;
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

// A link the dump crosses: straight to the server, or through the delay
// proxy; what Tesmor chose there, over the rounds.
struct Link {
    Link(const char *name, double delayMs, double rateMbit, qsizetype tableBytes)
        : name(name)
        , delayMs(delayMs)
        , rateMbit(rateMbit)
        , tableBytes(tableBytes)
    {
    }
    const char *name;
    double delayMs; // < 0: straight to the server
    double rateMbit; // 0: uncapped
    qsizetype tableBytes;
    Dump dump;
    QString file;
    std::unique_ptr<DelayProxy> proxy;
    QString port;
    int compressedRuns = 0;
    int runs = 0;
    QList<double> linkRates; // MB/s, as Tesmor measured them
    QList<double> connectSeconds[2]; // with Tesmor's own choice, with compression off
};

QString choice(const Link &l)
{
    const QString rate = l.linkRates.isEmpty()
        ? u"not measured"_qs
        : u"the link measured at %1 MB/s"_qs.arg(median(l.linkRates), 0, 'f', 1);
    if (l.compressedRuns == 0)
        return u"not compressed, "_qs + rate;
    if (l.compressedRuns == l.runs)
        return u"compressed, "_qs + rate;
    return u"compressed in %1 of %2 runs, "_qs.arg(l.compressedRuns).arg(l.runs) + rate;
}

} // namespace

// The dump by Tesmor and by mariadb --force, alternated: on loopback, behind
// 2 ms each way, behind 2 ms each way on a 100 Mbit/s link, where a 1 MB
// statement takes about 80 ms to cross and the client waits for each, and
// behind 20 ms each way on a 20 Mbit/s link, as over a VPN; on each also
// Tesmor with compression turned off, and on the capped links, where Tesmor
// compresses, mariadb --force --compress. The capped links run 40 MB dumps,
// at their lower rates; no smaller, since each of a dump's statements that
// must run alone costs a round trip whatever the dump's size (about 40 of
// them, 1.7 s behind 20 ms), which a small dump would mostly measure. Five
// rounds, about nine minutes: a run takes seconds, and the load of this
// shared machine swings over tens of them.
int benchDump()
{
    Bench bench;
    if (!bench.open())
        return 1;
    Link links[] = {
        { "loopback", -1, 0, 25'000'000 },
        { "2ms", 2, 0, 25'000'000 },
        { "2ms 100Mbit", 2, 100, 10'000'000 },
        { "20ms 20Mbit", 20, 20, 10'000'000 },
    };
    for (Link &l : links) {
        l.dump = dumpWorkload(l.tableBytes);
        l.file = bench.writeFile(u"dump-%1.sql"_qs.arg(l.dump.bytes), l.dump.workload.script);
        if (l.delayMs >= 0)
            l.proxy = std::make_unique<DelayProxy>(bench.server, l.delayMs, l.rateMbit);
        l.port = l.proxy ? l.proxy->port() : bench.server.port;
        if (l.port.isEmpty())
            return 1;
        std::printf("dump script %s: %d tables, %lld statements, %.1f MB\n", l.name, l.dump.tables,
            static_cast<long long>(l.dump.workload.statements), l.dump.bytes / 1e6);
    }
    // Statements a second to MB/s, once the run is seen to have stored every row.
    auto megabytes = [&](const Dump &dump, double statementRate) {
        if (statementRate <= 0 || bench.rowCount(dump.lastTable) != dump.rowsPerTable)
            return 0.0;
        return statementRate / dump.workload.statements * dump.bytes / 1e6;
    };
    auto tesmor = [&](Link &l, bool ownChoice) {
        Connection::setCompressionWhereSlow(ownChoice);
        const qint64 start = benchClock.nsecsElapsed();
        const bool connected = bench.connectCnn(l.port);
        l.connectSeconds[ownChoice ? 0 : 1] << seconds(start);
        Connection::setCompressionWhereSlow();
        if (connected && ownChoice) {
            ++l.runs;
            l.compressedRuns += ModPublic::Cnn->compressed() ? 1 : 0;
            if (const std::optional<double> rate = ModPublic::Cnn->linkRate())
                l.linkRates << *rate / 1e6;
        }
        return megabytes(l.dump, connected ? bench.tesmorRate(l.dump.workload) : 0);
    };
    auto client = [&](Link &l, const QStringList &options) {
        return megabytes(l.dump, bench.clientRate(l.dump.workload, l.file, l.port, options));
    };
    // Per link, where its runs are in a round: Tesmor with its own choice and
    // with compression off, one after the other so that their ratio is taken
    // under the same load, mariadb, and on a capped link mariadb --compress.
    struct Columns {
        qsizetype tesmor = -1, tesmorOff = -1, client = -1, clientCompressed = -1;
    };
    QList<std::function<double()>> runs;
    QList<Columns> columns;
    QString label = u"dump (MB/s:"_qs;
    for (Link &l : links) {
        Columns c;
        c.tesmor = runs.size();
        runs << [&] { return tesmor(l, true); };
        c.tesmorOff = runs.size();
        runs << [&] { return tesmor(l, false); };
        c.client = runs.size();
        runs << [&] { return client(l, {}); };
        label += u" %1 tesmor, tesmor uncompressed, mariadb"_qs.arg(QLatin1String(l.name));
        if (l.rateMbit > 0) {
            c.clientCompressed = runs.size();
            runs << [&] { return client(l, { u"--compress"_qs }); };
            label += u", mariadb --compress"_qs;
        }
        label += u';';
        columns << c;
    }
    label.back() = u')';
    QList<QList<double>> rounds;
    const auto r = alternate(qPrintable(label), 5, runs, &rounds, true);
    QString tables;
    for (int t = 1; t <= links[0].dump.tables; ++t)
        tables += u"%1bench_dump_%2"_qs.arg(t > 1 ? u", "_qs : QString()).arg(t);
    exec(bench.admin, u"DROP TABLE IF EXISTS "_qs + tables);
    if (!r)
        return 1;
    const QList<double> &m = *r;
    const qsizetype loopback = columns[0].tesmor;
    for (qsizetype i = 0; i < columns.size(); ++i) {
        const Link &l = links[i];
        const Columns &c = columns[i];
        const double a = m[c.tesmor];
        const double b = m[c.client];
        QString line = i == 0 ? u"dump: loopback tesmor"_qs
                              : u"dump %1: tesmor"_qs.arg(QLatin1String(l.name));
        line += u" %1 MB/s (%2), uncompressed %3 MB/s (own choice %4x that)"_qs.arg(a, 0, 'f', 1)
                    .arg(choice(l))
                    .arg(m[c.tesmorOff], 0, 'f', 1)
                    .arg(medianRatio(rounds, c.tesmor, c.tesmorOff), 0, 'f', 2);
        line += u", mariadb %1 MB/s"_qs.arg(b, 0, 'f', 1);
        if (c.clientCompressed >= 0)
            line += u", mariadb --compress %1 MB/s"_qs.arg(m[c.clientCompressed], 0, 'f', 1);
        line += u", ratio %1"_qs.arg(a / b, 0, 'f', 2);
        if (c.clientCompressed >= 0)
            line += u", %1 against --compress"_qs.arg(a / m[c.clientCompressed], 0, 'f', 2);
        // Kept: each round's rate behind the proxy against its own loopback rate.
        if (i > 0)
            line
                += u", kept %1%"_qs.arg(medianRatio(rounds, c.tesmor, loopback) * 100.0, 0, 'f', 0);
        std::printf("%s\n", qPrintable(line));
        std::printf("dump %s: tesmor connects in %.3f s, %.3f s with compression off\n", l.name,
            median(l.connectSeconds[0]), median(l.connectSeconds[1]));
    }
    std::fflush(stdout);
    return 0;
}
