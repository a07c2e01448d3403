#pragma once

#include "core/Platform.h"

#include <QObject>
#include <QPointer>

class FrmQuery;
class FrmServer;

// The desktop platform of the real program: message boxes, the pointer,
// the two windows and the end of the program. It holds each window's one
// shared instance.
class App : public QObject, public Platform {
    Q_OBJECT
public:
    App();
    ~App() override;

    void showMessage(const QString &text) override;
    void showWindow(Window window) override;
    void endProgram(int exitStatus) override;

    // The program ends when no window is loaded once the running handler has
    // returned: windows call this when they unload, and the check runs from
    // the event loop, after the handler.
    void scheduleEndCheck();

    // True while at least one of the program's windows is loaded.
    virtual bool anyWindowLoaded() const;

    // Each window's shared instance, or none.
    FrmServer *serverDetails() const;
    FrmQuery *queryWindow() const;

protected:
    // What ending the program does; the queued check calls it too.
    virtual void quit();

private:
    template <class FormType> void showShared(QPointer<FormType> &instance);
    template <class FormType> void forget(QPointer<FormType> &instance);

    QPointer<FrmServer> m_frmServer;
    QPointer<FrmQuery> m_frmQuery;
};
