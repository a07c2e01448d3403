#pragma once

#include <QWidget>

class QLabel;
class QPlainTextEdit;
class QProgressBar;
class QPushButton;

// "Tesmor": the working window. The user types or pastes a script and OK
// runs it on the open connection; CANCEL goes back to the Server Details
// window over the same connection; Exit ends the program.
//
// A plain top-level widget rather than a QDialog, so that neither Enter nor
// Esc presses a button.
class FrmQuery : public QWidget {
    Q_OBJECT
public:
    explicit FrmQuery(QWidget *parent = nullptr);
    ~FrmQuery() override;

    void CmdOK_Click();
    void CmdCancel_Click();
    void CmdExit_Click();
    // Runs on every unload, whichever way the window goes.
    void Form_Unload();

    // The script as ExecuteNow reads it: every line break as CR LF, whatever
    // line ends pasted text had.
    QString scriptText() const;

    // True from the first statement of a run until its closing message is closed.
    bool isRunning() const { return m_running; }

signals:
    // Form_Unload's request to forget the shared instance.
    void unloaded();

protected:
    bool eventFilter(QObject *watched, QEvent *event) override;
    void closeEvent(QCloseEvent *event) override;

private:
    friend class QueryProgress;

    void ExecuteNow();
    void setBusy(bool busy);
    void unloadWindow();

    QPlainTextEdit *TxtQuery = nullptr;
    QPushButton *CmdOK = nullptr;
    QPushButton *CmdCancel = nullptr;
    QPushButton *CmdExit = nullptr;
    QProgressBar *m_progressBar = nullptr;
    QLabel *m_progressText = nullptr;
    bool m_running = false;
    bool m_unloaded = false;
};
