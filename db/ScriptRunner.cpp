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
        const Outcome outcome = cnn ? cnn->Execute(script.text(i)) : Outcome(kNoConnection);
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
    summary.openTransaction = cnn && cnn->inTransaction();
    for (ScriptListener *l : listeners)
        l->runFinished(script);
    return summary;
}

QString completionMessage(const RunSummary &summary)
{
    // Nothing is committed or rolled back for the user; they are only told,
    // since Exit or a new connection would silently roll the work back.
    const QString transaction = summary.openTransaction
        ? u"\r\nThe connection has an open transaction: its changes are not committed."_qs
        : QString();
    if (summary.failed == 0)
        return u"Query Executed Successfully"_qs + transaction;
    const QString where = logFilePath();
    return u"%1 of %2 statements failed (first at line %3).\r\n"_qs.arg(summary.failed)
               .arg(summary.executed)
               .arg(summary.firstFailureLine)
        + (where.isEmpty() ? u"Details were written to standard error."_qs
                           : u"Details are in %1."_qs.arg(where))
        + transaction;
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
