#include "db/ScriptRunner.h"

#include "core/ModPublic.h"
#include "core/Platform.h"
#include "db/Connection.h"
#include "db/StatementKind.h"

#include <deque>
#include <vector>

namespace {

// How far ahead of the answers the runner may send. The byte bound keeps
// both sides moving: statements not yet read by the server must fit in the
// client's send buffer plus the server's receive window (on Linux at least
// 16 KiB and about 64 KiB at the start of a connection), so a send never
// blocks while the server is blocked writing answers that nobody reads yet.
// The count bound keeps what a lost connection leaves uncertain small; 256
// single-row inserts are about 15 KiB, so on a fast network the count, not
// the bytes, sets the pace.
constexpr qsizetype kMaxInFlight = 256;
constexpr qsizetype kMaxBytesInFlight = 32 * 1024;

// What using a connection that was never made raises.
const Failure kNoConnection { 91, u"Object variable or With block variable not set"_qs,
    u"Tesmor"_qs };

// Points a statement's failure at the line where the statement starts, as
// the command-line client prefixes its errors. Only what the server (or the
// connection on its behalf) answered carries a native code; the program's
// own failures keep their Source.
void pointAtLine(Outcome &outcome, int line)
{
    if (outcome && outcome->Source.startsWith(u"MySQL "))
        outcome->Source += u" at line %1"_qs.arg(line);
}

} // namespace

RunSummary runScript(
    Connection *cnn, const CutScript &script, std::span<ScriptListener *const> listeners)
{
    RunSummary summary;
    summary.statements = script.size();
    for (ScriptListener *l : listeners)
        l->runStarting(script);

    // Reports statement i's outcome; false once the connection is lost.
    auto finish = [&](qsizetype i, Outcome outcome, const QString &note = QString()) {
        pointAtLine(outcome, script.statement(i).line);
        if (outcome)
            outcome->Source += note;
        ++summary.executed;
        if (outcome) {
            ++summary.failed;
            if (summary.firstFailureLine == 0)
                summary.firstFailureLine = script.statement(i).line;
        }
        for (ScriptListener *l : listeners)
            l->statementFinished(script, i, outcome);
        summary.connectionLost = outcome && isFatal(*outcome);
        return !summary.connectionLost;
    };

    struct Sent {
        qsizetype index;
        qsizetype bytes;
    };
    std::deque<Sent> inFlight;
    qsizetype bytesInFlight = 0;
    qsizetype lastSent = -1;

    // Reads the oldest answer outstanding. When it ends the run, the
    // statements sent after it may or may not have run, and this one too
    // when the connection was lost; a refusal is an answer.
    auto readOldest = [&] {
        const Sent oldest = inFlight.front();
        inFlight.pop_front();
        bytesInFlight -= oldest.bytes;
        const Outcome outcome = cnn->readAnswer();
        QString note;
        if (outcome && isFatal(*outcome) && lastSent > oldest.index) {
            const qsizetype firstUnknown = isGoneAway(*outcome) ? oldest.index : oldest.index + 1;
            note = u"; the outcome of the statements from line %1 to line %2 is unknown"_qs
                       .arg(script.statement(firstUnknown).line)
                       .arg(script.statement(lastSent).line);
        }
        return finish(oldest.index, outcome, note);
    };

    bool goOn = true;
    for (qsizetype i = 0; goOn && i < script.size(); ++i) {
        const QString refusal = script.refusal(i);
        const QByteArray utf8 = refusal.isEmpty() ? script.text(i).toUtf8() : QByteArray();
        const bool pipelined = cnn && refusal.isEmpty() && utf8.size() <= kMaxBytesInFlight
            && answersWithoutRows(script.text(i));
        // A statement that may answer with rows waits for every answer
        // outstanding and runs alone. Any other waits only when there is no
        // room, and then reads until half the room is free, so that sends
        // and reads each come in runs rather than taking turns.
        const bool full = std::ssize(inFlight) >= kMaxInFlight
            || bytesInFlight + utf8.size() > kMaxBytesInFlight;
        if (!pipelined || full) {
            while (goOn && !inFlight.empty()
                && (!pipelined || std::ssize(inFlight) > kMaxInFlight / 2
                    || bytesInFlight > kMaxBytesInFlight / 2
                    || bytesInFlight + utf8.size() > kMaxBytesInFlight))
                goOn = readOldest();
        }
        if (!goOn)
            break;
        for (ScriptListener *l : listeners)
            l->statementStarting(script, i);
        if (!pipelined) {
            // A statement the cutter refused is not sent; it fails where it stands.
            if (!refusal.isEmpty())
                goOn = finish(i,
                    Failure { kDriverFailure, refusal,
                        u"Tesmor at line %1"_qs.arg(script.statement(i).line) });
            else
                goOn = finish(i, cnn ? cnn->executeUtf8(utf8) : Outcome(kNoConnection));
            continue;
        }
        lastSent = i;
        if (const Outcome failure = cnn->sendStatement(utf8)) {
            // The answers to what went before come first.
            while (goOn && !inFlight.empty())
                goOn = readOldest();
            if (goOn)
                goOn = finish(i, failure);
            continue;
        }
        inFlight.push_back({ i, utf8.size() });
        bytesInFlight += utf8.size();
    }
    while (goOn && !inFlight.empty())
        goOn = readOldest();
    // A failing last statement would leave the status its last success had.
    if (cnn && !summary.connectionLost) {
        cnn->refreshStatus();
        summary.openTransaction = cnn->inTransaction();
    }

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
    const RunSummary summary = runInBackground(ModPublic::Cnn.get(), script, listeners);
    if (!summary.connectionLost)
        platform().showMessage(completionMessage(summary));
    return summary;
}
