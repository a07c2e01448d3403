// Who does what while the database works (a connect, a script run):
// - A worker thread owns the connection for that time and does nothing but
//   the database calls: it opens the connection, or executes the statements
//   and notes their outcomes.
// - The calling thread (the window's) stays in its event loop: it paints,
//   swallows the user's input, and replays the worker's outcomes to the
//   listeners in statement order. So the error log, ErrLocation and every
//   other piece of shared state, and every message box, are only ever used
//   from the window's thread, and the lost-connection message comes after
//   every record before it.
#include "db/BackgroundRun.h"

#include "db/ScriptRunner.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QTimer>

#include <deque>
#include <mutex>
#include <optional>
#include <thread>
#include <utility>

namespace {

// How often the calling thread looks at the worker: often enough for a
// display that looks alive, rarely enough to cost nothing.
constexpr int kTickIntervalMs = 100;

// What the worker has done so far, as the calling thread may see it: the
// statements finished since it last looked, and the oldest one unanswered.
class Recorder final : public ScriptListener {
public:
    struct Finished {
        Statement statement;
        Outcome outcome;
        unsigned warnings = 0;
    };
    struct Snapshot {
        std::deque<Finished> finished;
        std::optional<Statement> current;
        qint64 runningMs = 0;
    };

    Recorder() { m_clock.start(); }

    // The statement shown as running is the oldest one unanswered, since
    // the moment the server could start on it: when it was sent, or when
    // the answer before it came, whichever is later.
    void statementStarting(const Statement &s) override
    {
        const std::lock_guard lock(m_mutex);
        if (m_started.empty())
            m_startedAt = m_clock.elapsed();
        m_started.push_back(s);
    }
    // Handed over with the statement's end, so that a snapshot never holds
    // the warnings of a statement it does not count as finished.
    void statementWarned(const Statement &, unsigned warnings) override
    {
        m_pendingWarnings = warnings;
    }
    void statementFinished(const Statement &s, const Outcome &outcome) override
    {
        const std::lock_guard lock(m_mutex);
        m_finished.push_back({ s, outcome, std::exchange(m_pendingWarnings, 0) });
        // Answers come in the order the statements were sent.
        if (!m_started.empty())
            m_started.pop_front();
        m_startedAt = m_clock.elapsed();
    }

    // Hands over what finished since the last call.
    Snapshot take()
    {
        const std::lock_guard lock(m_mutex);
        Snapshot s;
        s.finished.swap(m_finished);
        if (!m_started.empty())
            s.current = m_started.front();
        s.runningMs = m_clock.elapsed() - m_startedAt;
        return s;
    }

private:
    std::mutex m_mutex;
    QElapsedTimer m_clock;
    qint64 m_startedAt = 0;
    std::deque<Statement> m_started; // sent, not yet answered
    std::deque<Finished> m_finished;
    unsigned m_pendingWarnings = 0; // the worker's own
};

} // namespace

void whileEventsFlow(const std::function<void()> &work, const std::function<void()> &tick)
{
    // Without an event loop to stay in, there is nothing to keep alive.
    if (!QCoreApplication::instance()) {
        work();
        return;
    }
    QEventLoop loop;
    std::thread worker([&] {
        work();
        QMetaObject::invokeMethod(&loop, &QEventLoop::quit, Qt::QueuedConnection);
    });
    QTimer ticker;
    ticker.setInterval(kTickIntervalMs);
    if (tick) {
        QObject::connect(&ticker, &QTimer::timeout, tick);
        ticker.start();
    }
    loop.exec();
    ticker.stop();
    worker.join();
}

RunSummary runInBackground(Connection *cnn, StatementSource &cutter, const RunPlan &plan,
    std::span<ScriptListener *const> listeners)
{
    for (ScriptListener *l : listeners)
        l->runStarting(plan);

    Recorder recorder;
    RunSummary summary;
    bool replaying = false;

    // Tells the listeners about every statement the worker has finished. A
    // listener may open a message box, whose own loop fires the timer again:
    // the guard keeps the replay in order.
    auto replay = [&](bool ticking) {
        if (replaying)
            return;
        replaying = true;
        Recorder::Snapshot s = recorder.take();
        for (Recorder::Finished &f : s.finished) {
            for (ScriptListener *l : listeners)
                l->statementStarting(f.statement);
            if (f.warnings != 0) {
                for (ScriptListener *l : listeners)
                    l->statementWarned(f.statement, f.warnings);
            }
            for (ScriptListener *l : listeners)
                l->statementFinished(f.statement, f.outcome);
        }
        if (ticking && s.current) {
            for (ScriptListener *l : listeners)
                l->stillRunning(*s.current, s.runningMs);
        }
        replaying = false;
    };

    ScriptListener *const workerListeners[] = { &recorder };
    whileEventsFlow(
        [&] { summary = runScript(cnn, cutter, workerListeners, plan); }, [&] { replay(true); });
    replay(false);

    for (ScriptListener *l : listeners)
        l->runFinished();
    return summary;
}
