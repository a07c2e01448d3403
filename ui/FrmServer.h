#pragma once

#include "ui/Form.h"

class QFontMetrics;
class QLabel;
class QLineEdit;
class QPushButton;

// "Server Details": the first window of every run. It upper-cases what is
// typed, checks and stores the entries, and opens the connection.
class FrmServer : public Form {
    Q_OBJECT
public:
    explicit FrmServer(QWidget *parent = nullptr);
    ~FrmServer() override;

    // Key preview: turns a typed character into its upper-case form in the
    // user's locale, when that form is one character.
    void Form_KeyPress(QString &typed);
    void CmdOK_Click();
    void CmdCancel_Click();

    // What the window says while it connects to server at port, fitted to
    // width pixels: "Connecting to HOST:PORT…", an IPv6 address in brackets, a
    // long name elided in its middle, and the local socket for localhost
    // without a port.
    static QString connectingText(
        const QString &server, const QString &port, const QFontMetrics &metrics, int width);

protected:
    bool eventFilter(QObject *watched, QEvent *event) override;
    void paintEvent(QPaintEvent *event) override;

private:
    QLineEdit *addBox(const char16_t *name, int left, int top, int width, int height);
    QPushButton *addButton(
        const char16_t *name, const char16_t *caption, int left, int top, int width, int height);

    QLineEdit *TxtServer = nullptr;
    QLineEdit *TxtDBName = nullptr;
    QLineEdit *TxtuserName = nullptr;
    QLineEdit *TxtPassword = nullptr;
    QPushButton *CmdOK = nullptr;
    QPushButton *CmdCancel = nullptr;
    QLineEdit *TxtPort = nullptr;
    // Left of the buttons, shown only while a connect is tried.
    QLabel *m_connecting = nullptr;
};
