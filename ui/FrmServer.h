#pragma once

#include "ui/Form.h"

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
};
