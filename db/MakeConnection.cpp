#include "core/ErrorTrap.h"
#include "core/ModPublic.h"
#include "core/Platform.h"
#include "db/BackgroundRun.h"
#include "db/Connection.h"
#include "db/ConnectionString.h"

namespace {

// The two fixed lines, then why, as a mark in the query window reads
// ("MySQL 1049 (42000): Unknown database 'SHOPP'"), and where the record went.
// The connection's own refusals (a bad name or port) have no code to give.
QString failureMessage(const Outcome &failure)
{
    QString message = u"Could not connect to database\r\nPlease check server details"_qs;
    if (!failure)
        return message;
    message += u"\r\n"_qs + failureReason(*failure);
    const QString where = logFilePath();
    message += where.isEmpty() ? u"\r\nLogged to standard error."_qs
                               : u"\r\nLogged in %1."_qs.arg(where);
    return message;
}

} // namespace

namespace ModPublic {

bool MakeConnection()
{
    return MakeConnection({});
}

bool MakeConnection(const std::function<void()> &attemptOver)
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
    if (attemptOver)
        attemptOver();
    if (failure)
        trap(*failure);
    else if (const Outcome &notice = Cnn->openNotice())
        trap(*notice);
    if (Cnn->State() == 1)
        return true;
    platform().showMessage(failureMessage(failure));
    return false;
}

} // namespace ModPublic
