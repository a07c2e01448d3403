#include "ui/FrmQuery.h"

#include "core/ErrorTrap.h"
#include "core/ModPublic.h"
#include "core/Platform.h"
#include "core/Text.h"
#include "db/ScriptRunner.h"
#include "ui/Look.h"
#include "ui/ScriptBox.h"

#include <QApplication>
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>

namespace {

// The client area, in twips.
constexpr int kClientWidth = 7770;
constexpr int kClientHeight = 3690;

// The progress display lives in the free strip left of the buttons.
constexpr int kProgressTop = 3210;
constexpr int kProgressHeight = 285;
constexpr int kBarLeft = 210;
constexpr int kBarWidth = 1800;
constexpr int kTextLeft = 2100;
constexpr int kTextWidth = 2760;

// A statement running this long shows its running time.
constexpr qint64 kShowRunningAfterMs = 1000;

} // namespace

// Shows how far a long run has got. The runner tells it about ten times a
// second while the worker executes; a run shorter than that shows nothing.
class QueryProgress final : public ScriptListener {
public:
    explicit QueryProgress(FrmQuery *window)
        : m_window(window)
    {
    }

    void runStarting(const CutScript &script) override
    {
        m_total = script.size();
        m_failed = 0;
    }
    void statementFinished(const CutScript &, qsizetype, const Outcome &outcome) override
    {
        if (outcome)
            ++m_failed;
    }
    void stillRunning(const CutScript &, qsizetype current, qint64 runningMs) override
    {
        QProgressBar *bar = m_window->m_progressBar;
        // QProgressBar counts in int; scale scripts beyond that.
        const double scale = m_total > 1'000'000'000 ? 1000.0 : 1.0;
        bar->setRange(0, static_cast<int>(static_cast<double>(m_total) / scale));
        bar->setValue(static_cast<int>(static_cast<double>(current) / scale));
        QString text = u"Statement %1 of %2"_qs.arg(current + 1).arg(m_total);
        if (m_failed > 0)
            text += u", %1 failed"_qs.arg(m_failed);
        // A statement that takes its time says so, in whole seconds.
        if (runningMs >= kShowRunningAfterMs)
            text += u", running %1 s"_qs.arg(runningMs / 1000);
        m_window->m_progressText->setText(text);
        bar->show();
        m_window->m_progressText->show();
    }
    // The closing message follows: the window shows itself ready behind it.
    void runFinished(const CutScript &) override
    {
        m_window->m_progressBar->hide();
        m_window->m_progressText->hide();
        m_window->showReady();
    }

private:
    FrmQuery *m_window;
    qsizetype m_total = 0;
    qsizetype m_failed = 0;
};

// Marks each failed statement, and each that gave warnings, over its text in
// the box as the run's outcomes arrive; the next run clears them first.
class QueryMarks final : public ScriptListener {
public:
    explicit QueryMarks(ScriptBox *box)
        : m_box(box)
    {
    }

    void runStarting(const CutScript &) override { m_box->clearMarks(); }
    void statementWarned(const CutScript &script, qsizetype i, unsigned warnings) override
    {
        mark(script, i, ScriptBox::Mark::Warning,
            warnings == 1 ? u"Succeeded with 1 warning"_qs
                          : u"Succeeded with %1 warnings"_qs.arg(warnings));
    }
    void statementFinished(const CutScript &script, qsizetype i, const Outcome &outcome) override
    {
        if (outcome)
            mark(script, i, ScriptBox::Mark::Failure, describe(*outcome));
    }

private:
    // "MySQL 1146 (42S02): Table 'shop.nosuch' doesn't exist": the code as
    // the log's Source has it, without the line the mark stands on.
    static QString describe(const Failure &f)
    {
        const qsizetype at = f.Source.indexOf(u" at line "_qs);
        return (at < 0 ? f.Source : f.Source.left(at)) + u": "_qs + f.Description;
    }

    void mark(const CutScript &script, qsizetype i, ScriptBox::Mark kind, const QString &message)
    {
        const CutScript::Statement &s = script.statement(i);
        // Only so many messages are shown; the rest are not worth composing.
        const bool shown = m_box->markCount() < ScriptBox::kMarksWithText;
        m_box->addMark(s.origin, s.origin + s.originLength, kind, shown ? message : QString());
    }

    ScriptBox *m_box;
};

FrmQuery::FrmQuery(QWidget *parent)
    : Form(u"FrmQuery", QString::fromUtf16(kProgramTitle), kClientWidth, kClientHeight, parent)
{

    TxtQuery = new ScriptBox(this);
    TxtQuery->setObjectName(u"TxtQuery"_qs);
    TxtQuery->setGeometry(Look::twipsRect(210, 720, 7230, 2325));
    CmdOK = Look::addButton(this, u"CmdOK", u"&OK", 4950, 3180, 780, 345);
    CmdCancel = Look::addButton(this, u"CmdCancel", u"&CANCEL", 5790, 3180, 780, 345);
    Look::addLabel(
        this, u"lll", u"Please Enter You Query Here", 225, 180, 2610, 210, TxtQuery, true);
    Look::addLabel(
        this, u"Label1", u"For Multiple Query Saperate by ; and Vbcrlf", 210, 435, 3540, 210);
    CmdExit = Look::addButton(this, u"CmdExit", u"E&Xit", 6630, 3180, 780, 345);

    m_progressBar = new QProgressBar(this);
    m_progressBar->setObjectName(u"Progress"_qs);
    m_progressBar->setGeometry(Look::twipsRect(kBarLeft, kProgressTop, kBarWidth, kProgressHeight));
    m_progressBar->setTextVisible(false);
    m_progressBar->hide();
    m_progressText = new QLabel(this);
    m_progressText->setObjectName(u"ProgressText"_qs);
    m_progressText->setGeometry(
        Look::twipsRect(kTextLeft, kProgressTop, kTextWidth, kProgressHeight));
    m_progressText->hide();

    QWidget *const order[] = { TxtQuery, CmdOK, CmdCancel, CmdExit };
    for (std::size_t i = 0; i + 1 < std::size(order); ++i)
        setTabOrder(order[i], order[i + 1]);
    TxtQuery->setFocus();

    connect(CmdOK, &QPushButton::clicked, this, &FrmQuery::CmdOK_Click);
    connect(CmdCancel, &QPushButton::clicked, this, &FrmQuery::CmdCancel_Click);
    connect(CmdExit, &QPushButton::clicked, this, &FrmQuery::CmdExit_Click);
}

FrmQuery::~FrmQuery() = default;

void FrmQuery::CmdOK_Click()
{
    [[maybe_unused]] const Trap trap = handlerTrap(u"CmdOK_Click");

    if (TxtQuery->isBlank()) {
        platform().showMessage(u"Please enter valid query"_qs);
        TxtQuery->setFocus();
        return;
    }
    setBusy(true);
    const RunSummary summary = ExecuteNow();
    setBusy(false);
    if (!summary.connectionLost)
        TxtQuery->showLine(summary.firstFailureLine);
}

RunSummary FrmQuery::ExecuteNow()
{
    // The run's one copy of the script, cleaned and cut in place.
    const CutScript script = CutScript::cut(TxtQuery->scriptBytes());
    QueryProgress progress(this);
    QueryMarks marks(TxtQuery);
    ScriptListener *const listeners[] = { &progress, &marks };
    return executeScript(script, listeners);
}

void FrmQuery::CmdCancel_Click()
{
    [[maybe_unused]] const Trap trap = handlerTrap(u"CmdCancel_Click");

    unloadWindow();
    platform().showWindow(Window::ServerDetails);
}

void FrmQuery::CmdExit_Click()
{
    [[maybe_unused]] const Trap trap = handlerTrap(u"CmdExit_Click");

    ModPublic::Cnn.reset();
    unloadWindow();
    platform().endProgram(EXIT_SUCCESS);
}
