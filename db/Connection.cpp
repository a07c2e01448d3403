#include "db/Connection.h"

#include "db/ConnectionString.h"
#include "db/LinkRate.h"
#include "db/PeerWatch.h"
#include "db/VerifiedServers.h"

#include <QLocale>
#include <QUrl>

#include <algorithm>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>

#include <errmsg.h>
#include <mysql.h>
#include <mysqld_error.h>

namespace {

constexpr unsigned kDefaultPort = 3306;

Failure ownFailure(const QString &description)
{
    return { kDriverFailure, description, QString::fromUtf16(kConnectionSource) };
}

// What using a connection that is not open raises.
Failure closedFailure()
{
    return { -2146824584, u"Operation is not allowed when the object is closed."_qs,
        QString::fromUtf16(kConnectionSource) };
}

// Connector/C closes the connection on any failure that leaves it unusable
// (a failed read is 2013 in clear text but 2026 over TLS, the next send
// 2006), so a connection found closed is what a lost one is, whatever the
// code. A killed session's 1927 comes while the socket is still open.
bool isLostConnection(MYSQL *m, unsigned code)
{
    return mysql_get_socket(m) == MARIADB_INVALID_SOCKET || code == CR_SERVER_GONE_ERROR
        || code == CR_SERVER_LOST || code == CR_SERVER_LOST_EXTENDED
        || code == ER_CONNECTION_KILLED;
}

// "line 3", "lines 3 and 5", "lines 3, 5 and 7".
QString lineNumbers(const QList<int> &lines)
{
    QString text = lines.size() == 1 ? u"line "_qs : u"lines "_qs;
    for (qsizetype i = 0; i < lines.size(); ++i) {
        if (i > 0)
            text += i + 1 == lines.size() ? u" and "_qs : u", "_qs;
        text += QString::number(lines[i]);
    }
    return text;
}

// A Galera node that has left its cluster's primary component refuses
// every statement that touches data, until the cluster takes it back, with
// this code and a text naming WSREP. A script going on there would land
// with a hole in it, so, like a lost server, it ends the run.
bool isNodeRefusal(unsigned code, const QString &sqlState, const QString &description)
{
    return code == ER_UNKNOWN_COM_ERROR && sqlState == u"08S01" && description.contains(u"WSREP");
}

bool isNameCharacter(QChar c)
{
    return (c >= u'a' && c <= u'z') || (c >= u'A' && c <= u'Z') || (c >= u'0' && c <= u'9')
        || c == u'-' || c == u'_';
}

// Connector/C reads a host holding ";" as a list of its own options (local
// files, plugin directory, init command, socket), so nothing but a plain
// host name or address may reach it. Returns why server is not one, or
// nothing and the host to hand over in host.
std::optional<QString> hostProblem(QStringView server, QByteArray &host)
{
    const QString generic = u"a server name is a host name, an IPv4 address or an IPv6 address "
                            "(brackets allowed); it holds no spaces, \";\", \"=\", slashes or "
                            "control characters"_qs;
    if (server.isEmpty())
        return u"no server name was given"_qs;
    const bool ascii = std::all_of(server.begin(), server.end(),
        [](QChar c) { return c.unicode() > 32 && c.unicode() < 127; });

    const bool bracketed = server.startsWith(u'[') && server.endsWith(u']');
    if (ascii && (bracketed || server.contains(u':'))) {
        const QByteArray address
            = (bracketed ? server.sliced(1, server.size() - 2) : server).toLatin1();
        in6_addr parsed {};
        if (inet_pton(AF_INET6, address.constData(), &parsed) != 1)
            return generic;
        host = address;
        return std::nullopt;
    }

    // A name in another script goes out in its ASCII form, as resolvers expect.
    const QString name
        = ascii ? server.toString() : QString::fromLatin1(QUrl::toAce(server.toString()));
    const QStringView labels
        = name.endsWith(u'.') ? QStringView(name).chopped(1) : QStringView(name);
    if (labels.isEmpty() || labels.size() > 253)
        return generic;
    for (const QStringView label : labels.tokenize(u'.')) {
        if (label.isEmpty() || label.size() > 63
            || !std::all_of(label.begin(), label.end(), isNameCharacter))
            return generic;
    }
    host = name.toLatin1();
    return std::nullopt;
}

// A server whose host vanished, or a network that died, never closes the
// connection: without keepalive and a watch of its own a statement would
// wait for its answer forever. No statement time-out replaces them, since a
// statement may rightly run for hours, with statements queued behind it,
// while the server's system still answers. A dead peer is noticed in each
// of the three waits:
// - for an answer, nothing unacknowledged: the keepalive's first probe goes
//   after 30 s of silence, then one every 10 s, and 6 missed ones drop the
//   connection, 30 + 6 x 10 = 90 s after the last sign of the peer;
// - for the acknowledgement of data sent: the watch (PeerWatch) shuts the
//   connection down when the peer has acknowledged nothing for those 90 s;
// - with data unsent behind the server's closed window, as statements
//   queued behind a long one leave it: the kernel probes the window, backing
//   off to one probe every 120 s, and a working server answers each one. The
//   watch shuts the connection down once a probe has gone 10 s unanswered,
//   more than any round trip, and the peer has been silent for 90 s: at most
//   120 + 10 s after its last answer.
// So a dead peer shows as a lost connection within about two minutes, while
// a busy LAN or a slow VPN never misses six probes in a row nor answers one
// 10 s late. The kernel's own bound on unacknowledged data (TCP_USER_TIMEOUT)
// is not used: since Linux 5.11 it also ends a connection whose server keeps
// its window closed that long, though it answers every probe.
Connection::KeepAlive keepAliveTimers;

// Asked for so that the answers of a full window fit unread (the runner says
// why). The kernel caps it at net.core.rmem_max (212,992 bytes unless raised)
// and doubles it for its own bookkeeping.
int receiveBufferBytes = Connection::kReceiveBuffer;

// The connection's socket when it crosses a network; -1 for a Unix socket.
int networkSocket(MYSQL *m)
{
    const int fd = static_cast<int>(mysql_get_socket(m));
    sockaddr_storage local {};
    socklen_t length = sizeof local;
    if (fd < 0 || getsockname(fd, reinterpret_cast<sockaddr *>(&local), &length) != 0
        || (local.ss_family != AF_INET && local.ss_family != AF_INET6))
        return -1;
    return fd;
}

void enableKeepAlive(int fd)
{
    const Connection::KeepAlive &k = keepAliveTimers;
    const int on = 1;
    setsockopt(fd, SOL_SOCKET, SO_KEEPALIVE, &on, sizeof on);
    setsockopt(fd, IPPROTO_TCP, TCP_KEEPIDLE, &k.idleSeconds, sizeof k.idleSeconds);
    setsockopt(fd, IPPROTO_TCP, TCP_KEEPINTVL, &k.intervalSeconds, sizeof k.intervalSeconds);
    setsockopt(fd, IPPROTO_TCP, TCP_KEEPCNT, &k.probes, sizeof k.probes);
}

// Asks for the receive buffer and returns what the kernel granted; 0 when
// it cannot be read.
qint64 reserveAnswerRoom(int fd)
{
    setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &receiveBufferBytes, sizeof receiveBufferBytes);
    int granted = 0;
    socklen_t length = sizeof granted;
    return getsockopt(fd, SOL_SOCKET, SO_RCVBUF, &granted, &length) == 0 ? granted : 0;
}

// Whether Open may compress where the link is slow; the bench turns it off
// to compare.
bool compressionWhereSlow = true;

// The one value a query of one row and column reads (NULL as empty);
// nothing when it fails.
std::optional<QByteArray> selectValue(MYSQL *m, QByteArrayView query)
{
    if (!m || mysql_real_query(m, query.data(), static_cast<unsigned long>(query.size())))
        return std::nullopt;
    const std::unique_ptr<MYSQL_RES, decltype(&mysql_free_result)> res(
        mysql_store_result(m), &mysql_free_result);
    const MYSQL_ROW row = res ? mysql_fetch_row(res.get()) : nullptr;
    if (!row)
        return std::nullopt;
    return QByteArray(row[0] ? row[0] : "");
}

// The server's limit on one packet; 0 when it cannot be read, which leaves
// the limit to the server.
qint64 readMaxAllowedPacket(MYSQL *m)
{
    return selectValue(m, "SELECT @@max_allowed_packet").value_or(QByteArray()).toLongLong();
}

// A statement travels as one command: a command byte and its text. The
// server drops the connection on a command it will not take, so a statement
// that cannot fit is refused here and the connection lives on. MariaDB
// takes at most max_allowed_packet - 2 bytes of text (measured on 10.11:
// with 65,536, 65,534 bytes pass and 65,535 lose the connection).
Outcome checkStatementSize(qint64 statementBytes, qint64 maxAllowedPacket)
{
    if (maxAllowedPacket <= 0 || statementBytes + 2 <= maxAllowedPacket)
        return std::nullopt;
    // The same digits and separators whatever the user's locale.
    const QLocale english(QLocale::English, QLocale::UnitedStates);
    const QString text = statementBytes > maxAllowedPacket
        ? u"Statement of %1 bytes exceeds the server's max_allowed_packet of %2 bytes"_qs
        : u"Statement of %1 bytes does not fit the server's max_allowed_packet of %2 bytes"_qs;
    // Coded as the server would have answered it before dropping the connection.
    return Failure { kDriverFailure,
        text.arg(english.toString(statementBytes), english.toString(maxAllowedPacket)),
        u"MySQL %1 (08S01)"_qs.arg(ER_NET_PACKET_TOO_LARGE) };
}

} // namespace

struct Connection::Endpoint {
    QByteArray host;
    QByteArray user;
    QByteArray password;
    QByteArray database;
    unsigned port = kDefaultPort;
    // The server's Unix socket, where Connector/C looks for it
    // (MYSQL_UNIX_PORT, or the place it was built with), instead of TCP.
    bool localSocket = false;
};

void Connection::setKeepAlive(const KeepAlive &timers)
{
    keepAliveTimers = timers;
}

void Connection::setCompressionWhereSlow(bool allowed)
{
    compressionWhereSlow = allowed;
}

void Connection::setReceiveBuffer(int bytes)
{
    receiveBufferBytes = bytes;
}

void Connection::Closer::operator()(st_mysql *m) const
{
    mysql_close(m);
}

Connection::Connection() = default;
Connection::~Connection() = default;

Outcome Connection::driverFailure(bool wasOpen) const
{
    // Read everything before any other call can overwrite it.
    MYSQL *m = m_mysql.get();
    const unsigned code = mysql_errno(m);
    const QString sqlState = QString::fromLatin1(mysql_sqlstate(m));
    QString description = QString::fromUtf8(mysql_error(m));
    // A connection that never opened cannot be lost: the library's own text
    // ("Lost connection ... at 'handshake: ...'") says what went wrong. A
    // refusing node keeps its own text: the server is there.
    const bool lost = wasOpen && isLostConnection(m, code);
    if (lost)
        description = QString::fromUtf16(kGoneAway);
    Failure failure { kDriverFailure, description, u"MySQL %1 (%2)"_qs.arg(code).arg(sqlState) };
    failure.Fatal = lost || (wasOpen && isNodeRefusal(code, sqlState, description));
    return failure;
}

Outcome Connection::Open()
{
    m_openNotice.reset();
    m_watch.reset();
    m_compress = false;
    m_linkRate.reset();
    if (Outcome failure = connect())
        return failure;
    compressWhereSlow();
    return std::nullopt;
}

void Connection::compressWhereSlow()
{
    MYSQL *const m = m_mysql.get();
    unsigned long offered = 0;
    if (!compressionWhereSlow || networkSocket(m) < 0
        || mariadb_get_infov(m, MARIADB_CONNECTION_SERVER_CAPABILITIES, &offered) != 0
        || (offered & CLIENT_COMPRESS) == 0)
        return;
    m_linkRate = measureLinkRate(m, m_maxAllowedPacket);
    if (!m_linkRate || !compressionPays(*m_linkRate))
        return;
    // Nothing has run on the session yet, so nothing is lost with it.
    Handle plain = std::move(m_mysql);
    const qint64 plainMaxAllowedPacket = m_maxAllowedPacket;
    const qint64 plainAnswerRoom = m_answerRoom;
    m_compress = true;
    if (!connect())
        return;
    m_compress = false;
    m_mysql = std::move(plain);
    m_maxAllowedPacket = plainMaxAllowedPacket;
    m_answerRoom = plainAnswerRoom;
}

Outcome Connection::connect()
{
    m_mysql.reset();
    m_maxAllowedPacket = 0;
    m_answerRoom = 0;
    const ConnectionString cs = ConnectionString::parse(m_connectionString);

    const QString provider = cs.value(u"PROVIDER").value_or(u"MSDASQL"_qs);
    if (provider.compare(u"MSDASQL", Qt::CaseInsensitive) != 0)
        return ownFailure(u"Provider \"%1\" is not available; only MSDASQL is"_qs.arg(provider));
    const QString driver = cs.value(u"driver").value_or(QString());
    if (driver.compare(u"MySQL", Qt::CaseInsensitive) != 0)
        return ownFailure(u"Driver \"%1\" is not available; only {MySQL} is"_qs.arg(driver));

    const QString portText = cs.value(u"Port").value_or(QString());
    unsigned port = kDefaultPort;
    if (!portText.isEmpty()) {
        bool ok = false;
        const uint value = portText.toUInt(&ok);
        const bool digitsOnly = std::all_of(
            portText.begin(), portText.end(), [](QChar c) { return c >= u'0' && c <= u'9'; });
        if (!ok || !digitsOnly || value < 1 || value > 65535)
            return ownFailure(
                u"Invalid port \"%1\": the port must be a whole number from 1 to 65535"_qs.arg(
                    portText));
        port = value;
    }

    const QString server = cs.value(u"server").value_or(QString());
    QByteArray host;
    if (const std::optional<QString> problem = hostProblem(server, host))
        return ownFailure(u"Invalid server name \"%1\": %2"_qs.arg(server, *problem));
    const QByteArray user = cs.value(u"uid").value_or(QString()).toUtf8();
    const QByteArray password = cs.value(u"pwd").value_or(QString()).toUtf8();
    const QByteArray database = cs.value(u"database").value_or(QString()).toUtf8();

    // localhost with a port goes by TCP to that port, as the command-line
    // client takes it; with the port box left empty, to the local socket.
    const bool localSocket
        = portText.isEmpty() && host.compare("localhost", Qt::CaseInsensitive) == 0;
    const Endpoint target { localSocket ? QByteArray("localhost") : host, user, password, database,
        localSocket ? 0 : port, localSocket };

    // A server whose certificate once verified must verify every time: a
    // session without TLS, or with a certificate the trust store does not
    // vouch for, may be someone in between. Any other server is tried
    // verified first, to learn whether it can be held to that, and then as
    // it always was. Nobody stands between the program and a local socket.
    // A list that cannot be read holds every server, as any could be on it.
    const VerifiedServers::Lookup held
        = localSocket ? VerifiedServers::Lookup {} : VerifiedServers::find(host, port);
    if (!held.problem.isEmpty())
        return ownFailure(u"Refused: %1 cannot be read: %2. It names the servers that must "
                          "present a verified certificate, so no server is connected to until "
                          "it reads as one \"host port\" a line"_qs.arg(
                              VerifiedServers::filePath(), held.problem));
    const bool isHeld = !held.lines.isEmpty();
    unsigned error = 0;
    Handle m = connectAttempt(target, !localSocket, error);
    if (error == 0 && !isHeld && !localSocket) {
        if (const QString problem = VerifiedServers::remember(host, port); !problem.isEmpty())
            m_openNotice = ownFailure(u"%1 could not be written: %2. %3 port %4 presented a "
                                      "verified certificate, but is not held to one from now "
                                      "on"_qs.arg(VerifiedServers::filePath(), problem, server)
                                          .arg(port));
    }
    if (error == CR_SSL_CONNECTION_ERROR && !isHeld && !localSocket)
        m = connectAttempt(target, false, error);
    if (!m)
        return ownFailure(u"Out of memory while creating the connection"_qs);
    if (error != 0) {
        m_mysql = std::move(m);
        Outcome failure = driverFailure(false);
        m_mysql.reset();
        if (isHeld && error == CR_SSL_CONNECTION_ERROR)
            failure->Description
                += u". Refused: %1 port %2 presented a verified certificate before, and a "
                   "connection to it without one may be someone in between. If the server "
                   "really gave up its certificate, remove %3 of %4"_qs.arg(server)
                       .arg(port)
                       .arg(lineNumbers(held.lines), VerifiedServers::filePath());
        return failure;
    }
    // A Unix socket has no network to lose, and the answers unread on it
    // fill the server's send buffer, not a receive buffer of ours.
    if (const int fd = networkSocket(m.get()); fd >= 0) {
        enableKeepAlive(fd);
        const KeepAlive &k = keepAliveTimers;
        m_watch = std::make_unique<PeerWatch>(fd,
            (k.idleSeconds + qint64(k.intervalSeconds) * k.probes) * 1000,
            qint64(k.intervalSeconds) * 1000);
        m_answerRoom = reserveAnswerRoom(fd);
    }
    m_maxAllowedPacket = readMaxAllowedPacket(m.get());
    m_mysql = std::move(m);
    return std::nullopt;
}

QString failureReason(const Failure &f)
{
    if (f.Source == QStringView(kConnectionSource))
        return f.Description;
    const qsizetype at = f.Source.indexOf(u" at line "_qs);
    return (at < 0 ? f.Source : f.Source.left(at)) + u": "_qs + f.Description;
}

Connection::Handle Connection::connectAttempt(
    const Endpoint &target, bool verify, unsigned &error) const
{
    Handle handle(mysql_init(nullptr));
    MYSQL *m = handle.get();
    error = m ? 0 : CR_OUT_OF_MEMORY;
    if (!m)
        return handle;
    const my_bool off = 0;
    const unsigned timeout = m_connectTimeoutSeconds;
    const unsigned noLocalFiles = 0;
    mysql_optionsv(m, MYSQL_OPT_RECONNECT, &off);
    mysql_optionsv(m, MYSQL_OPT_LOCAL_INFILE, &noLocalFiles);
    mysql_optionsv(m, MYSQL_SET_CHARSET_NAME, "utf8mb4");
    mysql_optionsv(m, MYSQL_OPT_CONNECT_TIMEOUT, &timeout);
    // TLS is always asked for over TCP. Verified, Connector/C 3.3 checks the chain
    // against OpenSSL's default paths (/etc/ssl/certs, or SSL_CERT_DIR and
    // SSL_CERT_FILE), the host name without regard to case, a typed IP
    // address against the certificate's addresses, and refuses a greeting
    // without TLS before sending anything. Unverified, it falls back to
    // plain text only when the server has no TLS, and a failed handshake with
    // a server that has it fails the connection. Verifying is set either way
    // since Connector/C 3.4 verifies by default.
    const my_bool on = 1;
    const my_bool verifying = verify ? 1 : 0;
    if (!target.localSocket)
        mysql_optionsv(m, MYSQL_OPT_SSL_ENFORCE, &on);
    mysql_optionsv(m, MYSQL_OPT_SSL_VERIFY_SERVER_CERT, &verifying);
    // The exact name localhost would go to the local socket whatever the port.
    const unsigned protocol = target.localSocket ? MYSQL_PROTOCOL_SOCKET : MYSQL_PROTOCOL_TCP;
    mysql_optionsv(m, MYSQL_OPT_PROTOCOL, &protocol);
    if (m_compress)
        mysql_optionsv(m, MYSQL_OPT_COMPRESS, nullptr);

    if (!mysql_real_connect(m, target.host.constData(), target.user.constData(),
            target.password.constData(),
            target.database.isEmpty() ? nullptr : target.database.constData(), target.port, nullptr,
            CLIENT_MULTI_RESULTS))
        error = mysql_errno(m);
    return handle;
}

qint64 Connection::unsentBytes() const
{
    return m_watch ? m_watch->unsentBytes() : 0;
}

bool Connection::compressed() const
{
    unsigned long flags = 0;
    return m_mysql
        && mariadb_get_infov(m_mysql.get(), MARIADB_CONNECTION_CLIENT_CAPABILITIES, &flags) == 0
        && (flags & CLIENT_COMPRESS) != 0;
}

int Connection::State() const
{
    return m_mysql ? 1 : 0;
}

bool Connection::socketOpen() const
{
    return m_mysql && mysql_get_socket(m_mysql.get()) != MARIADB_INVALID_SOCKET;
}

bool Connection::inTransaction() const
{
    unsigned status = 0;
    return m_mysql
        && mariadb_get_infov(m_mysql.get(), MARIADB_CONNECTION_SERVER_STATUS, &status) == 0
        && (status & SERVER_STATUS_IN_TRANS) != 0;
}

void Connection::refreshStatus()
{
    constexpr char query[] = "DO 0";
    if (m_mysql)
        mysql_real_query(m_mysql.get(), query, sizeof query - 1);
}

std::optional<QByteArray> Connection::sessionSqlMode()
{
    return selectValue(m_mysql.get(), "SELECT @@SESSION.sql_mode");
}

unsigned long Connection::threadId() const
{
    return m_mysql ? mysql_thread_id(m_mysql.get()) : 0;
}

QString Connection::sslCipher() const
{
    return m_mysql ? QString::fromLatin1(mysql_get_ssl_cipher(m_mysql.get())) : QString();
}

Outcome Connection::Execute(QStringView statement)
{
    return execute(statement.toUtf8());
}

Outcome Connection::execute(QByteArrayView utf8Statement)
{
    if (const Outcome failure = sendStatement(utf8Statement))
        return failure;
    return readAnswer();
}

Outcome Connection::sendStatement(QByteArrayView utf8Statement)
{
    if (!m_mysql)
        return closedFailure();
    if (Outcome tooLarge = checkStatementSize(utf8Statement.size(), m_maxAllowedPacket))
        return tooLarge;
    if (mysql_send_query(
            m_mysql.get(), utf8Statement.data(), static_cast<unsigned long>(utf8Statement.size())))
        return driverFailure();
    return std::nullopt;
}

Outcome Connection::readAnswer()
{
    m_warnings = 0;
    if (!m_mysql)
        return closedFailure();
    if (mysql_read_query_result(m_mysql.get()))
        return driverFailure();
    return drainResults();
}

Outcome Connection::setMultiStatements(bool on)
{
    if (!m_mysql)
        return closedFailure();
    if (mysql_set_server_option(m_mysql.get(),
            on ? MYSQL_OPTION_MULTI_STATEMENTS_ON : MYSQL_OPTION_MULTI_STATEMENTS_OFF))
        return driverFailure();
    return std::nullopt;
}

Outcome Connection::drainResults()
{
    MYSQL *m = m_mysql.get();
    for (;;) {
        // An OK packet carries its statement's warning count, a result set
        // the count at the end of its rows.
        if (MYSQL_RES *res = mysql_use_result(m)) {
            while (mysql_fetch_row(res)) { }
            const bool broken = mysql_errno(m) != 0;
            Outcome failure = broken ? driverFailure() : std::nullopt;
            m_warnings += broken ? 0 : mysql_warning_count(m);
            mysql_free_result(res);
            if (broken)
                return failure;
        } else if (mysql_field_count(m) != 0) {
            return driverFailure();
        } else {
            m_warnings += mysql_warning_count(m);
        }
        const int next = mysql_next_result(m);
        if (next > 0)
            return driverFailure();
        if (next < 0)
            return std::nullopt;
    }
}
