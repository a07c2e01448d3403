#include "ui/FrmQuery.h"

#include "core/ErrorTrap.h"
#include "core/ModPublic.h"
#include "core/Platform.h"
#include "core/Text.h"
#include "db/Connection.h"
#include "db/FileScript.h"
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

    void runStarting(const RunPlan &plan) override
    {
        m_plan = plan;
        m_failed = 0;
    }
    void statementFinished(const Statement &, const Outcome &outcome) override
    {
        if (outcome)
            ++m_failed;
    }
    void stillRunning(const Statement &current, qint64 runningMs) override
    {
        QProgressBar *bar = m_window->m_progressBar;
        // A script too big to count beforehand shows how far into its bytes
        // the run is. QProgressBar counts in int: per mille of the script.
        const bool counted = m_plan.statements > 0;
        const double done = counted
            ? static_cast<double>(current.index) / static_cast<double>(m_plan.statements)
            : static_cast<double>(current.origin)
                / static_cast<double>(std::max<qsizetype>(m_plan.bytes, 1));
        bar->setRange(0, 1000);
        bar->setValue(static_cast<int>(done * 1000));
        QString text = counted
            ? u"Statement %1 of %2"_qs.arg(current.index + 1).arg(m_plan.statements)
            : u"Statement %1, %2 % of the script"_qs.arg(current.index + 1)
                  .arg(static_cast<int>(done * 100));
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
    void runFinished() override
    {
        m_window->m_progressBar->hide();
        m_window->m_progressText->hide();
        m_window->showReady();
    }

private:
    FrmQuery *m_window;
    RunPlan m_plan;
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

    void runStarting(const RunPlan &) override { m_box->clearMarks(); }
    void statementWarned(const Statement &s, unsigned warnings) override
    {
        mark(s, ScriptBox::Mark::Warning,
            warnings == 1 ? u"Succeeded with 1 warning"_qs
                          : u"Succeeded with %1 warnings"_qs.arg(warnings));
    }
    void statementFinished(const Statement &s, const Outcome &outcome) override
    {
        if (outcome)
            mark(s, ScriptBox::Mark::Failure, failureReason(*outcome));
    }

private:
    // From where the statement's code starts, so that the sign and message
    // stand on the line the log names.
    void mark(const Statement &s, ScriptBox::Mark kind, const QString &message)
    {
        // Only so many messages are shown; the rest are not worth composing.
        const bool shown = m_box->markCount() < ScriptBox::kMarksWithText;
        m_box->addMark(s.codeOrigin, s.origin + s.originLength, kind, shown ? message : QString());
    }

    ScriptBox *m_box;
};

FrmQuery::FrmQuery(QWidget *parent)
    : Form(u"FrmQuery", QString::fromUtf16(kProgramTitle), kClientWidth, kClientHeight, parent)
{

    TxtQuery = new ScriptBox(this);
    TxtQuery->setObjectName(u"TxtQuery"_qs);
    TxtQuery->setGeometry(Look::twipsRect(210, 720, 7230, 2325));
    // The box shows literals as the session reads them when the window opens.
    if (ModPublic::Cnn) {
        if (const std::optional<QByteArray> mode = ModPublic::Cnn->sessionSqlMode())
            TxtQuery->setSqlMode(SqlText::modeOf(*mode));
    }
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
    if (!summary.connectionLost && TxtQuery->diskScript().isEmpty())
        TxtQuery->showLine(summary.firstFailureLine);
}

RunSummary FrmQuery::ExecuteNow()
{
    QueryProgress progress(this);
    // A script too big for the box runs from its files; there is no text
    // to mark, and the log and the closing message carry the lines.
    if (const QStringList files = TxtQuery->diskScript(); !files.isEmpty()) {
        FileScript script(files);
        if (!script.open()) {
            platform().showMessage(script.error());
            return {};
        }
        ScriptListener *const listeners[] = { &progress };
        return executeScript(script, RunPlan { script.size(), 0 }, listeners);
    }
    // The run's one copy of the script, cut as it runs.
    QueryMarks marks(TxtQuery);
    ScriptListener *const listeners[] = { &progress, &marks };
    return executeScript(TxtQuery->scriptBytes(), listeners);
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
