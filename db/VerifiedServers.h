#pragma once

#include <QByteArray>
#include <QList>
#include <QString>

// Servers whose certificate once verified: the system's trust store vouched
// for it and it named the host as typed. Such a server is held to that on
// every later connection, so someone in between can neither keep the session
// in clear text nor present a certificate of his own. Servers that never
// verified (self-signed, no TLS) are not listed and connect as they always
// did. The list is per user, beside the per-user log: one "host port" a
// line, host names in lower case.
//
// A list that cannot be read whole fails closed: whether a server is held is
// then unknown, and the caller refuses to connect at all.
namespace VerifiedServers {

// The file that holds the list.
QString filePath();

// What the list says of one server.
struct Lookup {
    QList<int> lines; // the lines (from 1) that name it; empty when none does
    // Why the list cannot be trusted: not a regular file (a symbolic link is
    // not followed), unreadable, or a line that is not "host port". Empty
    // when it was read whole, or is absent, which holds no server.
    QString problem;
};
Lookup find(const QByteArray &host, unsigned port);

// Adds a line for host and port at the end of the file, creating it (and
// its folder) for the user alone, unless a line names them already; under a
// lock, so that two programs do not both add one. Returns why it could not,
// empty when it did.
QString remember(const QByteArray &host, unsigned port);

} // namespace VerifiedServers
