#include "db/Connection.h"

#include "db/ConnectionString.h"

#include <QUrl>

#include <algorithm>

#include <arpa/inet.h>
#include <errmsg.h>
#include <mysql.h>
#include <mysqld_error.h>

namespace {

constexpr unsigned kDefaultPort = 3306;

Failure ownFailure(const QString &description)
{
    return { kDriverFailure, description, QString::fromUtf16(kConnectionSource) };
}

bool isLostConnection(unsigned code)
{
    return code == CR_SERVER_GONE_ERROR || code == CR_SERVER_LOST || code == CR_SERVER_LOST_EXTENDED
        || code == ER_CONNECTION_KILLED;
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

} // namespace

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
    // ("Lost connection ... at 'handshake: ...'") says what went wrong.
    if (wasOpen && isLostConnection(code))
        description = QString::fromUtf16(kGoneAway);
    return Failure { kDriverFailure, description, u"MySQL %1 (%2)"_qs.arg(code).arg(sqlState) };
}

Outcome Connection::Open()
{
    m_mysql.reset();
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

    std::unique_ptr<MYSQL, Closer> m(mysql_init(nullptr));
    if (!m)
        return ownFailure(u"Out of memory while creating the connection"_qs);
    const my_bool off = 0;
    const unsigned timeout = m_connectTimeoutSeconds;
    const unsigned noLocalFiles = 0;
    mysql_optionsv(m.get(), MYSQL_OPT_RECONNECT, &off);
    mysql_optionsv(m.get(), MYSQL_OPT_LOCAL_INFILE, &noLocalFiles);
    mysql_optionsv(m.get(), MYSQL_SET_CHARSET_NAME, "utf8mb4");
    mysql_optionsv(m.get(), MYSQL_OPT_CONNECT_TIMEOUT, &timeout);

    if (!mysql_real_connect(m.get(), host.constData(), user.constData(), password.constData(),
            database.isEmpty() ? nullptr : database.constData(), port, nullptr,
            CLIENT_MULTI_RESULTS)) {
        m_mysql = std::move(m);
        const Outcome failure = driverFailure(false);
        m_mysql.reset();
        return failure;
    }
    m_mysql = std::move(m);
    return std::nullopt;
}

int Connection::State() const
{
    return m_mysql ? 1 : 0;
}

bool Connection::inTransaction() const
{
    unsigned status = 0;
    return m_mysql
        && mariadb_get_infov(m_mysql.get(), MARIADB_CONNECTION_SERVER_STATUS, &status) == 0
        && (status & SERVER_STATUS_IN_TRANS) != 0;
}

unsigned long Connection::threadId() const
{
    return m_mysql ? mysql_thread_id(m_mysql.get()) : 0;
}

Outcome Connection::Execute(QStringView statement)
{
    if (!m_mysql)
        return Failure { -2146824584, u"Operation is not allowed when the object is closed."_qs,
            QString::fromUtf16(kConnectionSource) };
    const QByteArray utf8 = statement.toUtf8();
    if (mysql_real_query(m_mysql.get(), utf8.constData(), static_cast<unsigned long>(utf8.size())))
        return driverFailure();
    return drainResults();
}

Outcome Connection::drainResults()
{
    MYSQL *m = m_mysql.get();
    for (;;) {
        if (MYSQL_RES *res = mysql_use_result(m)) {
            while (mysql_fetch_row(res)) { }
            const bool broken = mysql_errno(m) != 0;
            Outcome failure = broken ? driverFailure() : std::nullopt;
            mysql_free_result(res);
            if (broken)
                return failure;
        } else if (mysql_field_count(m) != 0) {
            return driverFailure();
        }
        const int next = mysql_next_result(m);
        if (next > 0)
            return driverFailure();
        if (next < 0)
            return std::nullopt;
    }
}
