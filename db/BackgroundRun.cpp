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
#include <thread>
#include <utility>

namespace {

// How often the calling thread looks at the worker: often enough for a
// display that looks alive, rarely enough to cost nothing.
constexpr int kTickIntervalMs = 100;

// What the worker has done so far, as the calling thread may see it.
class Recorder final : public ScriptListener {
public:
    struct Snapshot {
        qsizetype finished = 0; // the oldest statement unanswered
        qint64 runningMs = 0;
        std::deque<std::pair<qsizetype, Failure>> failures;
        std::deque<std::pair<qsizetype, unsigned>> warnings;
    };

    Recorder() { m_clock.start(); }

    // The statement shown as running is the oldest one unanswered, since
    // the moment the server could start on it: when it was sent, or when
    // the answer before it came, whichever is later.
    void statementStarting(const CutScript &, qsizetype i) override
    {
        const std::lock_guard lock(m_mutex);
        if (i == m_finished)
            m_startedAt = m_clock.elapsed();
    }
    // Handed over with the statement's end, so that a snapshot never holds
    // the warnings of a statement it does not count as finished.
    void statementWarned(const CutScript &, qsizetype, unsigned warnings) override
    {
        m_pendingWarnings = warnings;
    }
    void statementFinished(const CutScript &, qsizetype i, const Outcome &outcome) override
    {
        const std::lock_guard lock(m_mutex);
        if (outcome)
            m_failures.emplace_back(i, *outcome);
        if (const unsigned warnings = std::exchange(m_pendingWarnings, 0))
            m_warnings.emplace_back(i, warnings);
        m_finished = i + 1;
        m_startedAt = m_clock.elapsed();
    }

    // Hands over the failures noted since the last call.
    Snapshot take()
    {
        const std::lock_guard lock(m_mutex);
        Snapshot s;
        s.finished = m_finished;
        s.runningMs = m_clock.elapsed() - m_startedAt;
        s.failures.swap(m_failures);
        s.warnings.swap(m_warnings);
        return s;
    }

private:
    std::mutex m_mutex;
    QElapsedTimer m_clock;
    qsizetype m_finished = 0;
    qint64 m_startedAt = 0;
    std::deque<std::pair<qsizetype, Failure>> m_failures;
    std::deque<std::pair<qsizetype, unsigned>> m_warnings;
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

RunSummary runInBackground(
    Connection *cnn, const CutScript &script, std::span<ScriptListener *const> listeners)
{
    for (ScriptListener *l : listeners)
        l->runStarting(script);

    Recorder recorder;
    RunSummary summary;
    qsizetype replayed = 0;
    bool replaying = false;

    // Tells the listeners about every statement the worker has finished. A
    // listener may open a message box, whose own loop fires the timer again:
    // the guard keeps the replay in order.
    auto replay = [&](bool ticking) {
        if (replaying)
            return;
        replaying = true;
        // Every failure and warning handed over belongs to a finished statement.
        Recorder::Snapshot s = recorder.take();
        for (; replayed < s.finished; ++replayed) {
            Outcome outcome;
            if (!s.failures.empty() && s.failures.front().first == replayed) {
                outcome = std::move(s.failures.front().second);
                s.failures.pop_front();
            }
            for (ScriptListener *l : listeners)
                l->statementStarting(script, replayed);
            if (!s.warnings.empty() && s.warnings.front().first == replayed) {
                for (ScriptListener *l : listeners)
                    l->statementWarned(script, replayed, s.warnings.front().second);
                s.warnings.pop_front();
            }
            for (ScriptListener *l : listeners)
                l->statementFinished(script, replayed, outcome);
        }
        if (ticking && s.finished < script.size()) {
            for (ScriptListener *l : listeners)
                l->stillRunning(script, s.finished, s.runningMs);
        }
        replaying = false;
    };

    ScriptListener *const workerListeners[] = { &recorder };
    whileEventsFlow(
        [&] { summary = runScript(cnn, script, workerListeners); }, [&] { replay(true); });
    replay(false);

    for (ScriptListener *l : listeners)
        l->runFinished(script);
    return summary;
}
