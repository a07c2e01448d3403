#include "bench/Bench.h"

int benchExecute()
{
    Bench bench;
    if (!bench.open())
        return 1;
    return againstClient(bench, "execute", executeWorkload(), u"inserts.sql"_qs);
}
