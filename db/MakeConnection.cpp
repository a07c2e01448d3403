#include "core/ErrorTrap.h"
#include "core/ModPublic.h"
#include "core/Platform.h"
#include "db/BackgroundRun.h"
#include "db/Connection.h"
#include "db/ConnectionString.h"

namespace ModPublic {

bool MakeConnection()
{
    const Trap trap(u"ModPublic"_qs, u"MakeConnection"_qs);

    // The program always connects with its own account; deployments rely on it.
    UserName = u"olun"_qs;
    Password = QString();
    Cnn = std::make_shared<Connection>();
    Cnn->setCursorLocation(3);
    Cnn->setConnectionString(composeConnectionString(Port, ServerName, UserName, Password, DBName));
    // A connect may take up to its time-out: the window keeps painting.
    Outcome failure;
    Connection *const opening = Cnn.get();
    whileEventsFlow([&] { failure = opening->Open(); });
    if (failure)
        trap(*failure);
    else if (const Outcome &notice = Cnn->openNotice())
        trap(*notice);
    if (Cnn->State() == 1)
        return true;
    platform().showMessage(u"Could not connect to database\r\nPlease check server details"_qs);
    return false;
}

} // namespace ModPublic
