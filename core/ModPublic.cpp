#include "core/ModPublic.h"

#include "core/ErrorTrap.h"
#include "core/Platform.h"
#include "db/Connection.h"

#include <QCoreApplication>

namespace ModPublic {

QString AppPath;
std::shared_ptr<Connection> Cnn;
QString ServerName;
QString DBName;
QString UserName;
QString Password;
QString Port;
QString ErrLocation;

QString withTrailingSlash(QString dir)
{
    if (!dir.endsWith(u'/'))
        dir += u'/';
    return dir;
}

QString logPathInAppDir()
{
    // "\GenLogger.log" on the original platform, where "/\" is one separator.
    return withTrailingSlash(AppPath) + u"GenLogger.log"_qs;
}

void Main()
{
    const Trap trap(u"ModPublic"_qs, u"Main"_qs);

    const QString dir
        = QCoreApplication::instance() ? QCoreApplication::applicationDirPath() : QString();
    if (dir.isEmpty())
        trap({ 53, u"The program's directory cannot be determined"_qs, u"Tesmor"_qs });
    else
        AppPath = dir;
    AppPath = withTrailingSlash(AppPath);
    platform().showWindow(Window::ServerDetails);
}

} // namespace ModPublic
