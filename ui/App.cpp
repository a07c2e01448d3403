#include "ui/App.h"

#include "ui/FrmQuery.h"
#include "ui/FrmServer.h"
#include "ui/Look.h"

#include <QCoreApplication>
#include <QMessageBox>
#include <QTimer>
#include <QWidget>

#include <cstdio>
#include <cstdlib>

App::App()
{
    Look::registerFonts();
}

App::~App()
{
    delete m_frmServer;
    delete m_frmQuery;
}

void App::showMessage(const QString &text)
{
    QString shown = text;
    shown.replace(u"\r\n"_qs, u"\n"_qs);
    QMessageBox box(
        QMessageBox::Information, QString::fromUtf16(kProgramTitle), shown, QMessageBox::Ok);
    Look::applyMessageLook(&box);
    box.exec();
}

void App::showWindow(Window window)
{
    switch (window) {
    case Window::ServerDetails:
        showShared(m_frmServer);
        break;
    case Window::Query:
        showShared(m_frmQuery);
        break;
    }
}

// Shows a window's shared instance, creating a fresh one when there is none.
template <class FormType> void App::showShared(QPointer<FormType> &instance)
{
    if (!instance) {
        instance = new FormType;
        connect(instance, &FormType::unloaded, this, [this, &instance] { forget(instance); });
    }
    Look::centreOnScreen(instance);
    instance->show();
    instance->raise();
    instance->activateWindow();
}

// Form_Unload's end: the next show creates a fresh window, and the program
// ends unless the handler that unloaded it shows another.
template <class FormType> void App::forget(QPointer<FormType> &instance)
{
    if (FormType *unloaded = instance) {
        instance = nullptr;
        unloaded->deleteLater();
    }
    scheduleEndCheck();
}

void App::endProgram(int exitStatus)
{
    std::fflush(nullptr);
    std::_Exit(exitStatus);
}

void App::scheduleEndCheck()
{
    QTimer::singleShot(0, this, [this] {
        if (!anyWindowLoaded())
            quit();
    });
}

FrmServer *App::serverDetails() const
{
    return m_frmServer;
}

FrmQuery *App::queryWindow() const
{
    return m_frmQuery;
}

bool App::anyWindowLoaded() const
{
    return !m_frmServer.isNull() || !m_frmQuery.isNull();
}

void App::quit()
{
    QCoreApplication::quit();
}
