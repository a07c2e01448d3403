#include "ui/App.h"

#include <QApplication>
#include <QMessageBox>
#include <QTimer>
#include <QWidget>

#include <cstdio>
#include <cstdlib>

App::App() = default;
App::~App() = default;

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

void App::showWindow(Window)
{
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

bool App::anyWindowLoaded() const
{
    return false;
}

void App::quit()
{
    QCoreApplication::quit();
}
