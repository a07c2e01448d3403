#include "db/ScriptRunner.h"

#include "core/ModPublic.h"
#include "core/Platform.h"
#include "db/Connection.h"
#include "db/StatementKind.h"

#include <deque>
#include <vector>

namespace {

// How far ahead of its answers the runner sends.
//
// A lost connection leaves unknown the outcome of every statement in flight,
// which the user must then check by hand: at most 256 statements and 16 MiB
// (the server's default max_allowed_packet: sixteen of mariadb-dump's 1 MB
// INSERTs, more than a 100 Mbit/s link carries in a second), or one larger
// statement, which goes alone once every answer before it is in.
//
// Sending ahead stalls for good when a blocking send waits for the server to
// read more while the answers the client has not read fill what its socket
// holds: nothing more gets in from the server then, neither answers, so the
// server ends up blocked writing them, nor the acknowledgements the send
// waits for. Connector/C's non-blocking calls do not help: a connection has
// one network buffer, which holds the statement while its send is suspended,
// so no answer can be read before the send ends. So the window keeps one of
// the two waits from happening:
// - 32 KiB of statements fit the client's send buffer plus the server's
//   receive window (on Linux at least 16 KiB and about 64 KiB at the start of
//   a connection), so the send never blocks, whatever the answers;
// - or the window's answers fit what the socket holds unread, so the answers
//   always get in, whatever the statements' size. A statement without rows
//   answers with one OK or error packet, an error's text being at most 512
//   bytes, so at most 525 bytes. The kernel charges a packet the buffer it
//   came in: on loopback less than three times its length (measured), from a
//   network card up to a page. At 4 KiB an answer, answerRoom() / 4 KiB
//   statements fit: 2,048 with the 8 MiB granted where rmem_max is 4 MiB, 104
//   with the 425,984 bytes of a stock Debian. Over a Unix socket the answers
//   fill the server's send buffer, of a size the client cannot know: the
//   first way alone holds there.
// Once full, the runner reads only until the next statement fits. Behind
// latency the window, not the server, sets the pace: reading down to half
// the window, for sends and reads to come in runs, left half of it empty for
// a round trip (behind 2 ms each way, 30,000 statements a second against
// 36,000; on loopback, where answers are in before they are read, alike).
constexpr qsizetype kMaxInFlight = 256;
constexpr qsizetype kMaxBytesInFlight = 16 * 1024 * 1024;
constexpr qsizetype kSendNeverBlocks = 32 * 1024;
constexpr qint64 kAnswerCharge = 4096;

// Whether count statements of bytes in all fit the window.
bool withinWindow(qsizetype count, qsizetype bytes, qsizetype answerSlots)
{
    return count <= kMaxInFlight && bytes <= kMaxBytesInFlight
        && (bytes <= kSendNeverBlocks || count <= answerSlots);
}

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
        summary.connectionLost = outcome && isGoneAway(*outcome);
        return !summary.connectionLost;
    };

    struct Sent {
        qsizetype index;
        qsizetype bytes;
    };
    std::deque<Sent> inFlight;
    qsizetype bytesInFlight = 0;
    qsizetype lastSent = -1;

    // Reads the oldest answer outstanding. When the connection is lost
    // there, the statements sent after it may or may not have run.
    auto readOldest = [&] {
        const Sent oldest = inFlight.front();
        inFlight.pop_front();
        bytesInFlight -= oldest.bytes;
        const Outcome outcome = cnn->readAnswer();
        QString note;
        if (outcome && isGoneAway(*outcome) && lastSent > oldest.index)
            note = u"; the outcome of the statements from line %1 to line %2 is unknown"_qs
                       .arg(script.statement(oldest.index).line)
                       .arg(script.statement(lastSent).line);
        return finish(oldest.index, outcome, note);
    };

    const qsizetype answerSlots = cnn ? cnn->answerRoom() / kAnswerCharge : 0;
    bool goOn = true;
    for (qsizetype i = 0; goOn && i < script.size(); ++i) {
        const QString refusal = script.refusal(i);
        const QByteArray utf8 = refusal.isEmpty() ? script.text(i).toUtf8() : QByteArray();
        const bool pipelined = cnn && refusal.isEmpty() && answersWithoutRows(script.text(i));
        // A statement that may answer with rows waits for every answer
        // outstanding and runs alone. Any other waits until it fits.
        while (goOn && !inFlight.empty()
            && (!pipelined
                || !withinWindow(
                    std::ssize(inFlight) + 1, bytesInFlight + utf8.size(), answerSlots)))
            goOn = readOldest();
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
    const RunSummary summary = runInBackground(ModPublic::Cnn.get(), script, listeners);
    if (!summary.connectionLost)
        platform().showMessage(completionMessage(summary));
    return summary;
}
