#pragma once

#include "ui/Form.h"

class QLabel;
class QPlainTextEdit;
class QProgressBar;
class QPushButton;
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

    // The script as ExecuteNow reads it: the box's characters exactly, with
    // every line break as CR LF, whatever line ends pasted text had.
    QString scriptText() const;
    // True when the script is empty or holds spaces only.
    bool isBlank() const;

    // True from the first statement of a run until its closing message is closed.
    bool isRunning() const { return isBusy(); }

private:
    friend class QueryProgress;

    RunSummary ExecuteNow();
    // Puts the text cursor at the start of a 1-based script line, in view.
    void showLine(int line);

    QPlainTextEdit *TxtQuery = nullptr;
    QPushButton *CmdOK = nullptr;
    QPushButton *CmdCancel = nullptr;
    QPushButton *CmdExit = nullptr;
    QProgressBar *m_progressBar = nullptr;
    QLabel *m_progressText = nullptr;
};
