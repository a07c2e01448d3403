#pragma once

#include <QByteArray>
#include <QString>

// Servers whose certificate once verified: the system's trust store vouched
// for it and it named the host as typed. Such a server is held to that on
// every later connection, so someone in between can neither keep the session
// in clear text nor present a certificate of his own. Servers that never
// verified (self-signed, no TLS) are not listed and connect as they always
// did. The list is per user, beside the per-user log: one "host port" a
// line, host names in lower case.
namespace VerifiedServers {

// The file that holds the list.
QString filePath();

// The number (from 1) of the file's line that names host and port; 0 when no
// line does or the file cannot be read.
int lineOf(const QByteArray &host, unsigned port);

// Adds a line for host and port at the end of the file, keeping every other
// line; false when it cannot be written.
bool remember(const QByteArray &host, unsigned port);

} // namespace VerifiedServers
