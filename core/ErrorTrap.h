#pragma once

#include <QDateTime>
#include <QLocale>
#include <QString>

#include <optional>

// How failures are handled throughout the program.
//
// A failing operation returns a Failure value instead of throwing. Each
// procedure owns a Trap naming itself ("FrmQuery", "ExecuteNow"); it hands
// every Failure it gets, statement by statement, to that trap, which records
// the location in ErrLocation and calls WriteErrorLog, and then the procedure
// simply goes on with its next statement. Nothing travels between procedures:
// a procedure never returns a failure to its caller.
struct Failure {
    qint32 Number = 0;
    QString Description;
    QString Source;
    // Set by the connection when its server can take no further statement
    // (it is gone, or a cluster node refuses all work): the failure ends the
    // run and the program.
    bool Fatal = false;
};

// What an operation returns: nothing on success, the failure otherwise.
using Outcome = std::optional<Failure>;

// Number of every failure the database layer reports.
inline constexpr qint32 kDriverFailure = -2147467259;
// Invalid procedure call or argument: never logged.
inline constexpr qint32 kInvalidCall = 5;
// Description of a lost connection, a fatal failure.
inline constexpr char16_t kGoneAway[] = u"MySQL server has gone away";

// True for the lost-connection failure.
bool isGoneAway(const Failure &f);
// True for a failure that ends the program: one marked fatal, or the
// lost-connection failure however it was raised.
bool isFatal(const Failure &f);

class Trap {
public:
    Trap(QString owner, QString procedure);
    // Records where the failure was trapped and logs it (or takes the fatal path).
    void operator()(const Failure &f) const;
    QString location() const;

private:
    QString m_owner;
    QString m_procedure;
};

// Appends one record for f to the log, using ErrLocation. Number 0 and 5
// write nothing; a fatal failure is logged, its text shown, and then it ends
// the program with a failing exit status.
void WriteErrorLog(const Failure &f);

// One log record: six items in 14-column print zones, CR LF at the end.
// Line breaks inside an item become single spaces.
QString formatLogRecord(const QDateTime &when, const Failure &f, const QString &location,
    const QLocale &locale = QLocale::system());

// The file the last record went to; before any record, where one would go.
// Empty when records can only go to standard error.
QString logFilePath();

// The per-user folder of what the program keeps: $XDG_STATE_HOME/tesmor,
// by default ~/.local/state/tesmor.
QString stateDirectory();
// Creates that folder, and any missing one above it, for the user alone; a
// folder that exists is left as it is. Returns why it is not there, empty
// when it is.
QString makeStateDirectory();

// Appends text to the regular file at path, creating it, in one write; false
// when path is not a regular file (a symbolic link is not followed) or the
// text cannot be written whole, in which case none of it stays.
bool appendToRegularFile(const QString &path, const QByteArray &text);

// True when dir is where an installation put the program: the install
// bindir the build was configured with (where `cmake --install` puts it),
// or anywhere under /usr (packages, and /usr/local). That directory belongs
// to the system, whoever runs the program, so the log goes to the per-user
// folder instead.
bool isInstallDirectory(const QString &dir);
// Tests point the configured install bindir at a fake installation; returns
// the one it replaces.
QString setInstallBinDir(const QString &dir);
