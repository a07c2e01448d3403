#include "db/ScriptRunner.h"

#include "core/ModPublic.h"
#include "core/Platform.h"
#include "db/BackgroundRun.h"
#include "db/Connection.h"
#include "db/SqlText.h"
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

// True when a text holds a ";" in code with more after it: several
// statements, as far as can be told without the server's parser.
bool mayHoldSeveral(QByteArrayView text, SqlText::Mode mode)
{
    const char *data = text.data();
    const qsizetype n = text.size();
    SqlText::Reader reader(mode);
    for (qsizetype r = 0, end = 0; r < n; r = end) {
        if (reader.next(data, r, n, &end) == SqlText::Kind::Code && data[r] == ';'
            && SqlText::firstContent(data, end, n, mode) < n)
            return true;
    }
    return false;
}

QString unknownNote(const Statement &first, const Statement &last)
{
    if (first.index == last.index)
        return u"; the outcome of the statement at line %1 is unknown"_qs.arg(first.line);
    return u"; the outcome of the statements from line %1 to line %2 is unknown"_qs.arg(first.line)
        .arg(last.line);
}

// One run of a script: statements that cannot answer with rows are sent
// ahead of their answers; everything else waits for every answer
// outstanding and runs alone.
class Run {
public:
    Run(Connection *cnn, StatementSource &script, std::span<ScriptListener *const> listeners)
        : m_cnn(cnn)
        , m_script(script)
        , m_listeners(listeners)
    {
    }

    RunSummary execute(const RunPlan &plan)
    {
        for (ScriptListener *l : m_listeners)
            l->runStarting(plan);
        readMode();
        Statement s;
        while (m_goOn && m_script.next(&s)) {
            ++m_summary.statements;
            step(s, m_script.text());
        }
        drain(0);
        if (m_goOn)
            m_summary.stopped = m_script.stopped();
        if (m_cnn && !m_summary.connectionLost) {
            if (m_multiStatements) [[maybe_unused]]
                const Outcome ignored = m_cnn->setMultiStatements(false);
            // A failing last statement would leave the status its last
            // success had.
            m_cnn->refreshStatus();
            m_summary.openTransaction = m_cnn->inTransaction();
        }
        for (ScriptListener *l : m_listeners)
            l->runFinished();
        return m_summary;
    }

private:
    struct Sent {
        Statement statement;
        qsizetype bytes;
    };

    // The cut reads on under the mode the session has now. An OK packet's
    // NO_BACKSLASH_ESCAPES bit is not trusted for it: after SET STATEMENT …
    // FOR it shows the statement's passing mode, and after a routine that set
    // sql_mode it stays wrong although the server restored the caller's.
    void readMode()
    {
        if (!m_cnn)
            return;
        if (const std::optional<QByteArray> mode = m_cnn->sessionSqlMode())
            m_script.setMode(SqlText::modeOf(*mode));
    }

    void step(const Statement &s, QByteArrayView text)
    {
        // A statement that may answer with rows, or a section's text, waits
        // for every answer outstanding and runs alone, and so does one that
        // may change how the rest reads; any other waits until it fits in
        // the window.
        const bool ahead = m_cnn && s.refusal.isEmpty() && s.withoutRows && !s.changesMode;
        if (!ahead)
            drain(0);
        else
            makeRoom(text.size());
        if (!m_goOn)
            return;
        for (ScriptListener *l : m_listeners)
            l->statementStarting(s);
        // A statement the cutter refused is not sent; it fails where it stands.
        if (!s.refusal.isEmpty())
            return finish(
                s, Failure { kDriverFailure, s.refusal, u"Tesmor at line %1"_qs.arg(s.line) });
        if (!m_cnn)
            return finish(s, kNoConnection);
        if (s.several != m_multiStatements) {
            if (const Outcome failure = m_cnn->setMultiStatements(s.several))
                return finish(s, failure);
            m_multiStatements = s.several;
        }
        if (!ahead) {
            runAlone(s, text);
            if (s.changesMode && m_goOn)
                readMode();
        } else if (const Outcome failure = m_cnn->sendStatement(text)) {
            // Not sent: it did not run. The answers to what went before come first.
            drain(0);
            if (m_goOn)
                finish(s, failure);
        } else {
            sent(s, text.size());
        }
    }

    // A statement whose send failed did not run, since the server runs only
    // whole packets; one whose answer was lost may have.
    void runAlone(const Statement &s, QByteArrayView text)
    {
        if (const Outcome failure = m_cnn->sendStatement(text))
            return finish(s, failure);
        Outcome outcome = m_cnn->readAnswer();
        QString note;
        if (lost(outcome))
            note = unknownNote(s, s);
        // The server skips the rest of a text once a statement in it fails.
        else if (outcome && s.several && !isFatal(*outcome)
            && mayHoldSeveral(text, m_script.mode()))
            note = u"; nothing after the failing statement in this text ran"_qs;
        finish(s, outcome, note);
    }

    // True when no answer came, since the connection was lost: a fatal
    // failure that leaves the socket closed. A kill or a refusing node
    // answers, and the connection closes only after.
    bool lost(const Outcome &outcome) const
    {
        return outcome && isFatal(*outcome) && !m_cnn->socketOpen();
    }

    // Waits until a statement of `bytes` fits in the window, and what was
    // sent before it has left the socket: behind a statement the server
    // works on long, only what its receive window took in and the rest of
    // one statement queue up, not a window's worth of statements whose
    // outcome a lost connection would leave unknown.
    void makeRoom(qsizetype bytes)
    {
        while (m_goOn && !m_inFlight.empty()
            && (!withinWindow(std::ssize(m_inFlight) + 1, m_bytesInFlight + bytes, m_answerSlots)
                || m_cnn->unsentBytes() > 0))
            readOldest();
    }

    void sent(const Statement &s, qsizetype bytes)
    {
        m_lastSent = s;
        m_inFlight.push_back({ s, bytes });
        m_bytesInFlight += bytes;
    }

    // Reads answers until at most `keep` are outstanding.
    void drain(qsizetype keep)
    {
        while (m_goOn && std::ssize(m_inFlight) > keep)
            readOldest();
    }

    // Reads the oldest answer outstanding. When it ends the run, the
    // statements sent after it may or may not have run, and this one too
    // when the connection was lost; a refusal is an answer.
    void readOldest()
    {
        const Sent oldest = m_inFlight.front();
        m_inFlight.pop_front();
        m_bytesInFlight -= oldest.bytes;
        const Outcome outcome = m_cnn->readAnswer();
        QString note;
        if (lost(outcome))
            note = unknownNote(oldest.statement, m_lastSent);
        else if (outcome && isFatal(*outcome) && !m_inFlight.empty())
            note = unknownNote(m_inFlight.front().statement, m_lastSent);
        finish(oldest.statement, outcome, note);
    }

    // Reports statement s's outcome; a fatal failure stops the run.
    void finish(const Statement &s, Outcome outcome, const QString &note = QString())
    {
        ++m_summary.executed;
        if (outcome) {
            // Pointed at the line where the statement's code starts, as the
            // command-line client prefixes its errors; only what the server
            // (or the connection on its behalf) answered carries a code.
            if (outcome->Source.startsWith(u"MySQL "))
                outcome->Source += u" at line %1"_qs.arg(s.line);
            outcome->Source += note;
            if (++m_summary.failed == 1)
                m_summary.firstFailureLine = s.line;
        } else if (const unsigned warnings = m_cnn ? m_cnn->warningCount() : 0) {
            if (++m_summary.warned == 1)
                m_summary.firstWarningLine = s.line;
            for (ScriptListener *l : m_listeners)
                l->statementWarned(s, warnings);
        }
        for (ScriptListener *l : m_listeners)
            l->statementFinished(s, outcome);
        m_summary.connectionLost = outcome && isFatal(*outcome);
        m_goOn = !m_summary.connectionLost;
    }

    Connection *const m_cnn;
    StatementSource &m_script;
    const std::span<ScriptListener *const> m_listeners;
    const qsizetype m_answerSlots = m_cnn ? m_cnn->answerRoom() / kAnswerCharge : 0;
    RunSummary m_summary;
    bool m_goOn = true;
    bool m_multiStatements = false;
    std::deque<Sent> m_inFlight;
    qsizetype m_bytesInFlight = 0;
    Statement m_lastSent;
};

} // namespace

RunPlan planOf(const QByteArray &script)
{
    RunPlan plan;
    plan.bytes = script.size();
    if (script.size() <= kCountedScriptBytes)
        plan.statements = ScriptCutter::count(script);
    return plan;
}

RunSummary runScript(Connection *cnn, StatementSource &script,
    std::span<ScriptListener *const> listeners, const RunPlan &plan)
{
    return Run(cnn, script, listeners).execute(plan);
}

RunSummary runScript(Connection *cnn, QByteArray script, std::span<ScriptListener *const> listeners)
{
    const RunPlan plan = planOf(script);
    ScriptCutter cutter(std::move(script));
    return runScript(cnn, cutter, listeners, plan);
}

QString completionMessage(const RunSummary &summary)
{
    QString message;
    if (summary.failed == 0) {
        message = u"Query Executed Successfully"_qs;
    } else {
        const QString where = logFilePath();
        message = u"%1 of %2 statements failed (first at line %3).\r\n"_qs.arg(summary.failed)
                      .arg(summary.executed)
                      .arg(summary.firstFailureLine)
            + (where.isEmpty() ? u"Details were written to standard error."_qs
                               : u"Details are in %1."_qs.arg(where));
    }
    // A script read from disk that could not be read to its end.
    if (!summary.stopped.isEmpty())
        message += u"\r\n"_qs + summary.stopped;
    if (summary.warned > 0)
        message += u"\r\n%1 gave warnings (first at line %2)."_qs
                       .arg(summary.warned == 1 ? u"1 statement"_qs
                                                : u"%1 statements"_qs.arg(summary.warned))
                       .arg(summary.firstWarningLine);
    // Nothing is committed or rolled back for the user; they are only told,
    // since Exit or a new connection would silently roll the work back.
    if (summary.openTransaction)
        message += u"\r\nThe connection has an open transaction: its changes are not committed."_qs;
    return message;
}

RunSummary executeScript(
    StatementSource &script, const RunPlan &plan, std::span<ScriptListener *const> extraListeners)
{
    ErrorLogListener log(u"FrmQuery"_qs, u"ExecuteNow"_qs);
    std::vector<ScriptListener *> listeners { &log };
    listeners.insert(listeners.end(), extraListeners.begin(), extraListeners.end());
    const RunSummary summary = runInBackground(ModPublic::Cnn.get(), script, plan, listeners);
    if (!summary.connectionLost)
        platform().showMessage(completionMessage(summary));
    return summary;
}

RunSummary executeScript(QByteArray script, std::span<ScriptListener *const> extraListeners)
{
    const RunPlan plan = planOf(script);
    ScriptCutter cutter(std::move(script));
    return executeScript(cutter, plan, extraListeners);
}

RunSummary executeScript(const QString &text, std::span<ScriptListener *const> extraListeners)
{
    return executeScript(text.toUtf8(), extraListeners);
}
