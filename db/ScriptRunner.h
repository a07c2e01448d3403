#pragma once

#include "core/ErrorTrap.h"
#include "db/ScriptCutter.h"

#include <span>

class Connection;

// What a run is about to go through.
struct RunPlan {
    qsizetype bytes = 0; // the script's size
    // How many statements it holds, as counted under the mode the run
    // starts with; 0 when it is too big to count beforehand.
    qsizetype statements = 0;
};

// Told about each statement of a run: the error log is one listener, a
// progress display another. Each event carries the statement's record,
// since the run may be on another thread and far ahead.
class ScriptListener {
public:
    virtual ~ScriptListener() = default;
    virtual void runStarting(const RunPlan &) { }
    virtual void statementStarting(const Statement &) { }
    // Before statementFinished, for a statement that succeeded with warnings.
    virtual void statementWarned(const Statement &, unsigned /*warnings*/) { }
    virtual void statementFinished(const Statement &, const Outcome &) { }
    virtual void runFinished() { }
    // During a run on a worker thread, about ten times a second: `current`,
    // the oldest statement unanswered, has been executing for `runningMs`
    // milliseconds.
    virtual void stillRunning(const Statement & /*current*/, qint64 /*runningMs*/) { }
};

struct RunSummary {
    qsizetype statements = 0; // cut from the script
    qsizetype executed = 0;
    qsizetype failed = 0;
    int firstFailureLine = 0; // 0 when none failed
    qsizetype warned = 0; // statements that succeeded with warnings
    int firstWarningLine = 0;
    // The run ended on a fatal failure: the connection was lost, or its
    // server refuses all work.
    bool connectionLost = false;
    bool openTransaction = false; // the session ended the run inside a transaction
    QString stopped; // why the script was not read to its end; empty when it was
};

// Scripts up to this size are counted before they run, for the progress
// display: a pass over 32 MB takes about a tenth of a second.
inline constexpr qsizetype kCountedScriptBytes = 32 * 1024 * 1024;
RunPlan planOf(const QByteArray &script);

// Executes every statement in order on cnn, one per call, each committed by
// itself; a failing statement is reported and the next one runs. The cut
// follows the session's sql_mode: read when the run starts, and again after
// each statement that may change it. A fatal failure (a lost connection, a
// server refusing all work) stops the run, and after any other end the
// session's transaction status is read afresh. A missing connection fails
// every statement; a statement the cutter refused fails without being sent.
// While statements cut under a delimiter of the script's own run, the
// session accepts several statements in one text; it never does after the
// run.
RunSummary runScript(Connection *cnn, StatementSource &script,
    std::span<ScriptListener *const> listeners, const RunPlan &plan);
RunSummary runScript(
    Connection *cnn, QByteArray script, std::span<ScriptListener *const> listeners);

// Logs each failed statement through a trap of the given owner and procedure.
class ErrorLogListener final : public ScriptListener {
public:
    ErrorLogListener(QString owner, QString procedure)
        : m_trap(std::move(owner), std::move(procedure))
    {
    }
    void statementFinished(const Statement &, const Outcome &outcome) override
    {
        if (outcome)
            m_trap(*outcome);
    }

private:
    Trap m_trap;
};

// The closing message of a run: success only when nothing failed; further
// lines tell of warnings and of a transaction left open.
QString completionMessage(const RunSummary &summary);

// Runs the script as runScript does, but on a worker thread that owns cnn
// for the run, while the calling thread stays in its event loop. Listeners
// are told on the calling thread, in statement order, a batch at a time.
RunSummary runInBackground(Connection *cnn, StatementSource &script, const RunPlan &plan,
    std::span<ScriptListener *const> listeners);

// The query window's script run: cuts a UTF-8 script, runs it on
// ModPublic::Cnn in the background with failures logged as the query
// window's ExecuteNow, and shows the closing message unless a fatal
// failure ended the program.
RunSummary executeScript(QByteArray script, std::span<ScriptListener *const> extraListeners = {});
RunSummary executeScript(StatementSource &script, const RunPlan &plan,
    std::span<ScriptListener *const> extraListeners = {});
RunSummary executeScript(const QString &text, std::span<ScriptListener *const> extraListeners = {});
