#include "db/Connection.h"

#include "db/ConnectionString.h"

#include <algorithm>

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

    const QByteArray host = cs.value(u"server").value_or(QString()).toUtf8();
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
