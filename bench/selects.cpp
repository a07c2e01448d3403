#include "bench/Bench.h"

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
