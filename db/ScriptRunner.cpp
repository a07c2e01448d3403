#include "db/ScriptRunner.h"

#include "core/ModPublic.h"
#include "core/Platform.h"
#include "db/Connection.h"

#include <vector>

namespace {

// What using a connection that was never made raises.
const Failure kNoConnection { 91, u"Object variable or With block variable not set"_qs,
    u"Tesmor"_qs };

} // namespace

RunSummary runScript(
    Connection *cnn, const CutScript &script, std::span<ScriptListener *const> listeners)
{
    RunSummary summary;
    summary.statements = script.size();
    for (ScriptListener *l : listeners)
        l->runStarting(script);
    for (qsizetype i = 0; i < script.size(); ++i) {
        for (ScriptListener *l : listeners)
            l->statementStarting(script, i);
        const QString refusal = script.refusal(i);
        const Outcome outcome = refusal.isEmpty()
            ? (cnn ? cnn->Execute(script.text(i)) : Outcome(kNoConnection))
            : Outcome(Failure { kDriverFailure, refusal, u"Tesmor"_qs });
        ++summary.executed;
        if (outcome) {
            ++summary.failed;
            if (summary.firstFailureLine == 0)
                summary.firstFailureLine = script.statement(i).line;
        }
        for (ScriptListener *l : listeners)
            l->statementFinished(script, i, outcome);
        if (outcome && isGoneAway(*outcome)) {
            summary.connectionLost = true;
            break;
        }
    }
    for (ScriptListener *l : listeners)
        l->runFinished(script);
    return summary;
}

QString completionMessage(const RunSummary &summary)
{
    if (summary.failed == 0)
        return u"Query Executed Successfully"_qs;
    const QString where = logFilePath();
    return u"%1 of %2 statements failed (first at line %3).\r\n"_qs.arg(summary.failed)
               .arg(summary.executed)
               .arg(summary.firstFailureLine)
        + (where.isEmpty() ? u"Details were written to standard error."_qs
                           : u"Details are in %1."_qs.arg(where));
}

RunSummary executeScript(const QString &text, std::span<ScriptListener *const> extraListeners)
{
    const CutScript script = CutScript::cut(text);
    ErrorLogListener log(u"FrmQuery"_qs, u"ExecuteNow"_qs);
    std::vector<ScriptListener *> listeners { &log };
    listeners.insert(listeners.end(), extraListeners.begin(), extraListeners.end());
    const RunSummary summary = runScript(ModPublic::Cnn.get(), script, listeners);
    if (!summary.connectionLost)
        platform().showMessage(completionMessage(summary));
    return summary;
}
