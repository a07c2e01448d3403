#include "bench/Bench.h"

#include "core/ModPublic.h"
#include "db/ScriptRunner.h"

#include <cstdio>
#include <numeric>

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
