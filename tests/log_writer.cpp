// Writes records to the error log from a process of its own, so tests can
// watch two programs appending at once and a log that cannot be written.
// Usage: log_writer APP_DIR COUNT TAG
#include "core/ErrorTrap.h"
#include "core/ModPublic.h"

#include <cstdlib>

int main(int argc, char *argv[])
{
    if (argc != 4)
        return 2;
    ModPublic::AppPath = QString::fromLocal8Bit(argv[1]);
    const int count = std::atoi(argv[2]);
    const QString tag = QString::fromLocal8Bit(argv[3]);
    ModPublic::ErrLocation = u"LogWriter\tmain"_qs;
    // Long records, so that an interleaving would show.
    const QString filler(300, tag.isEmpty() ? u'x' : tag.front());
    for (int i = 0; i < count; ++i)
        WriteErrorLog({ kDriverFailure, u"%1 %2 %3"_qs.arg(tag).arg(i).arg(filler), tag });
    return 0;
}
