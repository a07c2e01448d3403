#pragma once

#include <QString>

#include <functional>
#include <memory>

class Connection;

// The program's shared state for one run, and its start-up procedure.
namespace ModPublic {

// The directory holding the program file, ending in "/" once Main has run.
extern QString AppPath;
// The one database connection of the run, or none.
extern std::shared_ptr<Connection> Cnn;
extern QString ServerName;
extern QString DBName;
extern QString UserName;
extern QString Password;
extern QString Port;
// Owner, TAB, procedure of the failure being logged.
extern QString ErrLocation;

// Fixes AppPath and shows the Server Details window.
void Main();

// Opens Cnn from the shared state with the program's fixed account; true
// only when the connection is open. A failure is shown with the driver's
// reason and the log's place.
bool MakeConnection();
// The same; attemptOver runs once the attempt has ended, before any message.
bool MakeConnection(const std::function<void()> &attemptOver);

// AppPath with a "/" appended unless it already ends in one.
QString withTrailingSlash(QString dir);
// The log file beside the program: AppPath followed by the file name, the
// name's own leading separator folded into AppPath's.
QString logPathInAppDir();

} // namespace ModPublic
