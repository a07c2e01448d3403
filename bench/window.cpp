#include "bench/Bench.h"

#include "core/ModPublic.h"
#include "db/ScriptRunner.h"
#include "ui/FrmQuery.h"
#include "ui/ScriptBox.h"

#include <QApplication>
#include <QClipboard>
#include <QMimeData>
#include <QPushButton>

#include <cstdio>
#include <string_view>

namespace {

struct WindowFigures {
    double paste = 0;
    double read = 0;
    double peak = 0; // resident peak, paste to first closing message, over the UTF-8 size
    double runner = 0;
    double window = 0;
    double overhead = 0; // the window against the runner, the median of the rounds
};

// The script pasted into the query window through the desktop's clipboard
// and run from its OK button, and read from the window and run by the runner
// alone, alternately. The window time ends when the closing message is
// shown, whether the click returns only then or earlier. The peak counts the
// program's resident memory, Qt's own included, from before the paste to the
// first closing message; the clipboard's copy of the script counts until
// the paste is over, as when another program offers it. afterRuns, when given,
// measures on the window once the rounds are over.
std::optional<WindowFigures> windowRun(
    Bench &bench, Workload w, const std::function<void(ScriptBox *)> &afterRuns = {})
{
    FrmQuery window;
    window.show();
    auto *box = window.findChild<ScriptBox *>(u"TxtQuery"_qs);
    auto *ok = window.findChild<QPushButton *>(u"CmdOK"_qs);
    WindowFigures f;
    qsizetype utf8Size = 0;
    {
        auto *mime = new QMimeData;
        mime->setData(u"text/plain;charset=utf-8"_qs, w.script.toUtf8());
        utf8Size = mime->data(u"text/plain;charset=utf-8"_qs).size();
        QGuiApplication::clipboard()->setMimeData(mime);
        w.script = QString(); // the bench's copy is not the program's
    }
    resetPeak();
    qint64 start = benchClock.nsecsElapsed();
    box->paste();
    QCoreApplication::processEvents();
    f.paste = seconds(start);
    // On a desktop the program that offers the text holds it; this one
    // holds a copy only while it pastes.
    QGuiApplication::clipboard()->clear();

    SilentPlatform &silent = bench.silent;
    Workload fromWindow { QString(), w.statements, w.failures, w.rowsAfter };
    QList<QList<double>> rounds;
    const auto medians = alternate("window (window s, runner s)", 5,
        { [&] {
             if (!bench.empty())
                 return 0.0;
             const qsizetype shown = silent.messages.size();
             const qint64 clicked = benchClock.nsecsElapsed();
             ok->click();
             QElapsedTimer patience;
             patience.start();
             while (silent.messages.size() == shown && patience.elapsed() < 600'000)
                 QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 50);
             while (window.isRunning() && patience.elapsed() < 600'000)
                 QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 50);
             if (silent.messages.size() != shown + 1)
                 return 0.0;
             if (f.peak == 0)
                 f.peak = double(statusBytes("VmHWM")) / double(utf8Size);
             const double s = (silent.shownAtNs - clicked) / 1e9;
             return bench.check("window", w, w.failures) ? s : 0.0;
         },
            [&] {
                if (fromWindow.script.isNull()) {
                    const qint64 read = benchClock.nsecsElapsed();
                    const QByteArray bytes = box->scriptBytes();
                    f.read = seconds(read);
                    fromWindow.script = QString::fromUtf8(bytes);
                }
                const double rate = bench.runnerAloneRate(fromWindow);
                const qsizetype shown = silent.messages.size();
                if (shown < 2 || silent.messages[shown - 1] != silent.messages[shown - 2]) {
                    std::fprintf(stderr, "window: closing message \"%s\", the runner's \"%s\"\n",
                        qPrintable(silent.messages.value(shown - 2)),
                        qPrintable(silent.messages.value(shown - 1)));
                    return 0.0;
                }
                return rate > 0 ? w.statements / rate : 0;
            } },
        &rounds);
    if (!medians)
        return std::nullopt;
    f.window = (*medians)[0];
    f.runner = (*medians)[1];
    // Each window run against the runner run just after it: the load of
    // this shared machine swings by a factor of two within a minute, far
    // more than the overhead sought, but changes less between neighbours.
    f.overhead = medianRatio(rounds, 0, 1) - 1;
    if (afterRuns)
        afterRuns(box);
    return f;
}

// One extended INSERT of rows on a single line of about 10 MB, as dumps
// write them.
Workload longLine()
{
    QString s = u"INSERT INTO bench_rows (a, b) VALUES "_qs;
    int rows = 0;
    for (; s.size() < 10'000'000; ++rows)
        s += u"%1(%2, 'row %2 ....................')"_qs.arg(rows > 0 ? u", " : u"").arg(rows);
    s += u";\r\n"_qs;
    return { s, 1, 0, rows };
}

// Marks the first statements of the big script, one a line, as failures,
// as many as a run of that many failures would, and shows them.
void markFailures(ScriptBox *box, qsizetype count)
{
    const QByteArray text = box->scriptBytes();
    const qint64 start = benchClock.nsecsElapsed();
    qsizetype from = 0;
    qsizetype marked = 0;
    for (; marked < count; ++marked) {
        const qsizetype end = text.indexOf("\r\n", from);
        if (end < 0)
            break;
        box->addMark(from, end, ScriptBox::Mark::Failure,
            u"MySQL 1062 (23000): Duplicate entry '0' for key 'PRIMARY'"_qs);
        from = end + 2;
    }
    box->showPosition(0);
    box->repaint();
    const double markSeconds = seconds(start);
    const qint64 cleared = benchClock.nsecsElapsed();
    box->clearMarks();
    box->repaint();
    std::printf("window marks: %lld failures marked and shown in %.3f s, cleared in %.3f s\n",
        static_cast<long long>(marked), markSeconds, seconds(cleared));
    std::fflush(stdout);
}

} // namespace

int benchWindow()
{
    Bench bench;
    if (!bench.open())
        return 1;
    // Small: short INSERTs, none failing. Big: 100 MB, a few hundred
    // characters each, one in 500 failing, like a large real migration
    // script. Long line: one statement.
    const struct {
        const char *name;
        std::function<Workload()> make;
    } cases[] = {
        { "window", [] { return inserts(100'000, 0, QString(50, u'.')); } },
        { "window big", [] { return inserts(280'000, 500, QString(300, u'.')); } },
        { "window long line", [] { return longLine(); } },
    };
    for (const auto &[name, make] : cases) {
        Workload w = make();
        const double megabytes = double(w.script.toUtf8().size()) / 1e6;
        const auto statements = static_cast<long long>(w.statements);
        const auto failures = static_cast<long long>(w.failures);
        // The big script also shows what marking as many failures costs.
        std::function<void(ScriptBox *)> afterRuns;
        if (std::string_view(name) == "window big")
            afterRuns = [](ScriptBox *box) { markFailures(box, 100'000); };
        const std::optional<WindowFigures> f = windowRun(bench, std::move(w), afterRuns);
        if (!f)
            return 1;
        std::printf("%s: %lld statements (%.1f MB UTF-8), %lld failing, read %.3f s, runner "
                    "%.2f s, window %.2f s, paste %.2f s, peak memory %.1fx script (UTF-8)\n",
            name, statements, megabytes, failures, f->read, f->runner, f->window, f->paste,
            f->peak);
        std::printf("%s: overhead %.1f%%\n", name, f->overhead * 100.0);
        std::fflush(stdout);
    }
    return 0;
}
