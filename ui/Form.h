#pragma once

#include <QWidget>

// What both windows share: one shared instance each, forgotten when the
// window unloads, whichever way it goes (by the program, or closed from its
// title bar). A plain top-level widget rather than a QDialog, so that neither
// Enter nor Esc presses a button.
class Form : public QWidget {
    Q_OBJECT
public:
    // Runs on every unload; asks the owner to forget the shared instance.
    void Form_Unload();

signals:
    void unloaded();

protected:
    // name: the window's run-time name, the owner in its failure records.
    explicit Form(const QString &name, QWidget *parent = nullptr);

    void unloadWindow();
    void closeEvent(QCloseEvent *event) override;

private:
    bool m_unloaded = false;
};
