#include "bench/Bench.h"

#include "core/ErrorTrap.h"
#include "core/ModPublic.h"

#include <QTemporaryDir>

#include <cstdio>

// The error log alone, without a server: a record beside the program
// (AppPath set, as the program runs) and in the state directory (the
// fallback when AppPath is unset).
int benchLog()
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
    return 0;
}
