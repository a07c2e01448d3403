// Prints how fast Tesmor cuts and executes scripts, against the server given
// by TESMOR_TEST_HOST/PORT/DB (scripts/bench starts one). Each mode can run
// alone (tesmor_bench latency); without arguments all run. Each lives in the
// file of its name in this folder, on what Bench.h shares.
//   window:   100,000 statements, a 100 MB script of 280,000 with some
//             failing, and one statement on a 10 MB line, pasted into the
//             query window and run from it, against the runner alone
//   cut:      cleaning and cutting a generated 100 MB script
//   execute:  20,000 single-row INSERTs, one in 1,000 failing, through the
//             window's runner, against the same script file run by the
//             mariadb command-line client
//   latency:  the same through a proxy adding 2 ms each way
//   dump:     a script shaped like mariadb-dump's output, 1 MB INSERTs, by
//             the window's runner and by the client: on loopback and behind
//             2 ms each way (100 MB), behind 2 ms each way on a 100 Mbit/s
//             link and behind 20 ms each way on a 20 Mbit/s one (40 MB),
//             where Tesmor compresses: there also Tesmor uncompressed and the
//             client with --compress
//   file:     a generated 2.1 GB dump dropped as a file and run from disk,
//             against the same runner over the same script in memory, each
//             in a process of its own
//   selects:  20,000 SELECTs, each needing its answer before the next
//   proxy:    what the proxy itself costs at 0 ms
//   failures: what a failing statement costs, and where
//   log:      what a record of the error log costs (with failures too)
#include "bench/Bench.h"

#include <QApplication>

#include <algorithm>
#include <cstdio>
#include <iterator>

int main(int argc, char *argv[])
{
    QApplication app(argc, argv);
    benchClock.start();
    // In the order they run; a mode runs when any of its names is asked for.
    const struct {
        QStringList names;
        int (*run)();
    } modes[] = {
        { { u"proxy"_qs }, benchProxy },
        { { u"window"_qs }, benchWindow },
        { { u"cut"_qs }, benchCut },
        { { u"selects"_qs }, benchSelects },
        { { u"failures"_qs }, benchFailures },
        { { u"log"_qs, u"failures"_qs }, benchLog },
        { { u"execute"_qs }, benchExecute },
        { { u"latency"_qs }, benchLatency },
        { { u"dump"_qs }, benchDump },
        { { u"file"_qs }, benchFile },
    };
    const QStringList args = app.arguments().mid(1);
    if (args.value(0) == u"--file-child")
        return fileChild(args.mid(1));
    for (const QString &arg : args) {
        if (std::none_of(std::begin(modes), std::end(modes),
                [&](const auto &mode) { return mode.names.contains(arg); })) {
            std::fprintf(stderr, "tesmor_bench: no mode \"%s\"\n", qPrintable(arg));
            return 2;
        }
    }
    int failed = 0;
    for (const auto &mode : modes) {
        if (args.isEmpty()
            || std::any_of(mode.names.cbegin(), mode.names.cend(),
                [&](const QString &name) { return args.contains(name); }))
            failed |= mode.run();
    }
    return failed;
}
