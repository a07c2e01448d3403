#include "bench/Bench.h"

#include "core/ModPublic.h"
#include "db/ScriptCutter.h"

#include <QElapsedTimer>

#include <algorithm>
#include <cstdio>

namespace {

// About 1 million lines, 100 M characters: short and long statements,
// literals holding ";" and quotes, comments, multi-line statements.
QString generateScript(qsizetype targetChars)
{
    QString s;
    s.reserve(targetChars + 4096);
    const QString longValue(600, u'x');
    for (qint64 i = 0; s.size() < targetChars; ++i) {
        switch (i % 8) {
        case 0:
            s += u"INSERT INTO t (a, b) VALUES (%1, 'plain');\r\n"_qs.arg(i);
            break;
        case 1:
            s += u"INSERT INTO t (a, b) VALUES (%1, 'semi;colon \"dq\" it''s \\'esc\\'');\r\n"_qs
                     .arg(i);
            break;
        case 2:
            s += u"-- comment line with ; inside\r\nUPDATE t SET b = \"x\" WHERE a = %1;\r\n"_qs
                     .arg(i);
            break;
        case 3:
            s += u"SELECT a,\r\n       b\r\nFROM t /* block; comment */\r\nWHERE a = %1;\r\n"_qs
                     .arg(i);
            break;
        case 4:
            s += u"INSERT INTO t (a, b) VALUES (%1, '%2');\r\n"_qs.arg(i).arg(longValue);
            break;
        case 5:
            s += u"cnn.Execute \"INSERT INTO t (a, b) VALUES (%1, \"\"pasted\"\")\";\r\n"_qs.arg(i);
            break;
        case 6:
            s += u"\r\n# hash comment\r\n;\r\n"_qs;
            break;
        default:
            s += u"DELETE FROM t WHERE a = %1; SELECT 1;\r\n"_qs.arg(i);
            break;
        }
    }
    return s;
}

} // namespace

int benchCut()
{
    const qint64 before = statusBytes("VmRSS");
    qsizetype chars = 0;
    const QByteArray script = [&] {
        const QString text = generateScript(100'000'000);
        chars = text.size();
        return text.toUtf8();
    }();
    const qint64 lines = script.count('\n');

    double bestSeconds = 1e9;
    double peakRatio = 0;
    qsizetype statements = 0;
    for (int run = 0; run < 3; ++run) {
        // The run's own copy, as a window hands it over.
        QByteArray copy(script.constData(), script.size());
        resetPeak();
        QElapsedTimer timer;
        timer.start();
        // Pulled as a run pulls them, each text read and let go.
        ScriptCutter cutter(std::move(copy));
        Statement s;
        qsizetype cut = 0;
        while (cutter.next(&s))
            ++cut;
        const double seconds = timer.nsecsElapsed() / 1e9;
        statements = cut;
        bestSeconds = std::min(bestSeconds, seconds);
        peakRatio
            = std::max(peakRatio, double(statusBytes("VmHWM") - before) / double(script.size()));
    }
    std::printf("cut script: %lld chars, %lld bytes of UTF-8, %lld lines, %lld statements, best "
                "of 3: %.3f s\n",
        static_cast<long long>(chars), static_cast<long long>(script.size()),
        static_cast<long long>(lines), static_cast<long long>(statements), bestSeconds);
    // The peak counts the script and the run's copy of it.
    std::printf("cut: %.0f Mchar/s, peak memory %.2fx script (UTF-8)\n", chars / bestSeconds / 1e6,
        peakRatio);
    return 0;
}
