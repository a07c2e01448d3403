#pragma once

#include "core/ErrorTrap.h"

#include <QCursor>
#include <QList>
#include <QPair>
#include <QPointer>
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

    // True while the window waits on the database (a connect, a run).
    bool isBusy() const { return m_busy; }

signals:
    void unloaded();

protected:
    // name: the window's run-time name, the owner in its failure records;
    // the client area is given in twips.
    Form(const char16_t *name, const QString &caption, int clientWidth, int clientHeight,
        QWidget *parent);
    ~Form() override;

    // Every handler arms its trap on entry, so that a failure reported in it
    // is logged under the window's name and the handler's.
    Trap handlerTrap(const char16_t *procedure) const;
    void unloadWindow();
    void closeEvent(QCloseEvent *event) override;

    // While busy the window shows the wait cursor, over its boxes too, and
    // keeps painting, but takes no input: keys, clicks, moves, the wheel, drops,
    // shortcuts and a close from the title bar are swallowed, not queued.
    // Its buttons are shown disabled. Other windows (a message box) answer as
    // usual. The end of the busy state shows the window ready, unless
    // showReady came first.
    void setBusy(bool busy);
    // Enables the buttons again and puts the focus back where it was when
    // the window became busy, while input stays swallowed until the busy
    // state ends: the wait is over once its closing message shows.
    void showReady();
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    bool m_unloaded = false;
    bool m_busy = false;
    QList<QPair<QPointer<QWidget>, QCursor>> m_ownCursors;
    QList<QPointer<QWidget>> m_disabledButtons;
    QPointer<QWidget> m_focusBeforeBusy;
};
