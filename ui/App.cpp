#include "ui/App.h"

#include "ui/FrmServer.h"
#include "ui/Look.h"

#include <QApplication>
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
}

void App::showMessage(const QString &text)
{
    QString shown = text;
    shown.replace(u"\r\n"_qs, u"\n"_qs);
    QMessageBox box(QMessageBox::Information, QString::fromUtf16(kProgramTitle), shown,
                    QMessageBox::Ok);
    box.exec();
}

void App::setBusyPointer(bool busy)
{
    if (QWidget *w = QApplication::activeWindow()) {
        if (busy)
            w->setCursor(Qt::WaitCursor);
        else
            w->unsetCursor();
    }
}

void App::showWindow(Window window)
{
    switch (window) {
    case Window::ServerDetails:
        showServerDetails();
        break;
    case Window::Query:
        // The query window's shared instance is created and shown here.
        break;
    }
}

void App::showServerDetails()
{
    if (!m_frmServer) {
        m_frmServer = new FrmServer;
        connect(m_frmServer, &FrmServer::unloaded, this, &App::forgetServerDetails);
    }
    Look::centreOnScreen(m_frmServer);
    m_frmServer->show();
    m_frmServer->raise();
    m_frmServer->activateWindow();
}

// Form_Unload's end: the next show creates a fresh window, and the program
// ends unless the handler that unloaded it shows another.
void App::forgetServerDetails()
{
    if (FrmServer *unloaded = m_frmServer) {
        m_frmServer = nullptr;
        unloaded->deleteLater();
    }
    scheduleEndCheck();
}

void App::endProgram()
{
    std::fflush(nullptr);
    std::_Exit(0);
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

bool App::anyWindowLoaded() const
{
    return !m_frmServer.isNull();
}

void App::quit()
{
    QCoreApplication::quit();
}
