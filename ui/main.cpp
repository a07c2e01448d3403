#include "core/ModPublic.h"
#include "ui/App.h"

#include <QApplication>

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

// True when Qt is told which platform to use: QT_QPA_PLATFORM, or its
// -platform (or --platform) argument followed by a name.
bool platformNamed(int argc, char *argv[])
{
    if (!qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        return true;
    for (int i = 1; i + 1 < argc; ++i) {
        if (std::strcmp(argv[i], "-platform") == 0 || std::strcmp(argv[i], "--platform") == 0)
            return true;
    }
    return false;
}

QString shownVariable(const char *name)
{
    return qEnvironmentVariableIsSet(name)
        ? u"%1=%2"_qs.arg(QLatin1StringView(name), qEnvironmentVariable(name))
        : u"%1 unset"_qs.arg(QLatin1StringView(name));
}

QtMessageHandler qtMessages = nullptr;

// While the application object is being built, a fatal message means that
// no platform could start; Qt would abort with advice to reinstall the
// program. Its warnings before that say why, and are kept.
void startupMessages(QtMsgType type, const QMessageLogContext &context, const QString &text)
{
    if (type != QtFatalMsg) {
        qtMessages(type, context, text);
        return;
    }
    std::fprintf(stderr, "Tesmor needs a graphical display, and none could be opened (%s).\n",
        qUtf8Printable(shownVariable("DISPLAY") + u", "_qs + shownVariable("WAYLAND_DISPLAY")
            + u", "_qs + shownVariable("QT_QPA_PLATFORM")));
    std::fflush(nullptr);
    std::_Exit(EXIT_FAILURE);
}

} // namespace

int main(int argc, char *argv[])
{
    if (qEnvironmentVariableIsEmpty("DISPLAY") && qEnvironmentVariableIsEmpty("WAYLAND_DISPLAY")
        && !platformNamed(argc, argv)) {
        std::fputs(
            "Tesmor needs a graphical display: neither DISPLAY nor WAYLAND_DISPLAY is set.\n",
            stderr);
        return EXIT_FAILURE;
    }
    qtMessages = qInstallMessageHandler(startupMessages);
    QApplication application(argc, argv);
    qInstallMessageHandler(qtMessages);

    QApplication::setQuitOnLastWindowClosed(false);
    App app;
    installPlatform(&app);
    ModPublic::Main();
    app.scheduleEndCheck();
    return QApplication::exec();
}
