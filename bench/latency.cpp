#include "bench/Bench.h"

#include <cstdio>

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
