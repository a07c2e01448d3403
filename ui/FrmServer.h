#pragma once

#include <QWidget>

class QLineEdit;
class QPushButton;

// "Server Details": the first window of every run. It upper-cases what is
// typed, checks and stores the entries, and opens the connection.
//
// A plain top-level widget rather than a QDialog, so that neither Enter nor
// Esc presses a button.
class FrmServer : public QWidget {
    Q_OBJECT
public:
    explicit FrmServer(QWidget *parent = nullptr);
    ~FrmServer() override;

    // Key preview: turns a typed character into its upper-case form in the
    // user's locale, when that form is one character.
    void Form_KeyPress(QString &typed);
    void CmdOK_Click();
    void CmdCancel_Click();
    // Runs on every unload, whichever way the window goes.
    void Form_Unload();

signals:
    // Form_Unload's request to forget the shared instance.
    void unloaded();

protected:
    bool eventFilter(QObject *watched, QEvent *event) override;
    void closeEvent(QCloseEvent *event) override;
    void paintEvent(QPaintEvent *event) override;

private:
    QLineEdit *addBox(const char16_t *name, int left, int top, int width, int height);
    QPushButton *addButton(
        const char16_t *name, const char16_t *caption, int left, int top, int width, int height);
    void unloadWindow();

    QLineEdit *TxtServer = nullptr;
    QLineEdit *TxtDBName = nullptr;
    QLineEdit *TxtuserName = nullptr;
    QLineEdit *TxtPassword = nullptr;
    QPushButton *CmdOK = nullptr;
    QPushButton *CmdCancel = nullptr;
    QLineEdit *TxtPort = nullptr;
    bool m_unloaded = false;
};
