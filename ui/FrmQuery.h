#pragma once

#include "ui/Form.h"

class QLabel;
class QProgressBar;
class QPushButton;
class ScriptBox;
struct RunSummary;

// "Tesmor": the working window. The user types or pastes a script and OK
// runs it on the open connection; CANCEL goes back to the Server Details
// window over the same connection; Exit ends the program.
class FrmQuery : public Form {
    Q_OBJECT
public:
    explicit FrmQuery(QWidget *parent = nullptr);
    ~FrmQuery() override;

    void CmdOK_Click();
    void CmdCancel_Click();
    void CmdExit_Click();

    // True from the first statement of a run until its closing message is closed.
    bool isRunning() const { return isBusy(); }

private:
    friend class QueryProgress;

    RunSummary ExecuteNow();

    ScriptBox *TxtQuery = nullptr;
    QPushButton *CmdOK = nullptr;
    QPushButton *CmdCancel = nullptr;
    QPushButton *CmdExit = nullptr;
    QProgressBar *m_progressBar = nullptr;
    QLabel *m_progressText = nullptr;
};
