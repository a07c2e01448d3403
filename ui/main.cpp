#include "core/ModPublic.h"
#include "ui/App.h"

#include <QApplication>

int main(int argc, char *argv[])
{
    QApplication application(argc, argv);
    QApplication::setQuitOnLastWindowClosed(false);
    App app;
    installPlatform(&app);
    ModPublic::Main();
    app.scheduleEndCheck();
    return QApplication::exec();
}
