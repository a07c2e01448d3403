#include "bench/Bench.h"

#include "core/ModPublic.h"

#include <cstdio>

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
