#pragma once

// Reads what the server holds straight through Connector/C, independently of
// the program's own connection class, so tests check the server's view.
#include "TestSupport.h"

#include <mysql.h>

class ServerProbe {
public:
    explicit ServerProbe(const TestServer &server, const QString &database = QString())
        : m_mysql(mysql_init(nullptr))
    {
        mysql_optionsv(m_mysql, MYSQL_SET_CHARSET_NAME, "utf8mb4");
        const QByteArray db = database.toUtf8();
        if (!mysql_real_connect(m_mysql, server.host.toUtf8().constData(), "olun", "",
                db.isEmpty() ? nullptr : db.constData(), server.port.toUInt(), nullptr,
                CLIENT_MULTI_RESULTS))
            m_error = QString::fromUtf8(mysql_error(m_mysql));
    }
    ~ServerProbe() { mysql_close(m_mysql); }
    ServerProbe(const ServerProbe &) = delete;
    ServerProbe &operator=(const ServerProbe &) = delete;

    bool ok() const { return m_error.isEmpty(); }
    QString error() const { return m_error; }

    // Runs sql; an error is kept in error() and false returned.
    bool exec(const QString &sql)
    {
        const QByteArray q = sql.toUtf8();
        if (mysql_real_query(m_mysql, q.constData(), static_cast<unsigned long>(q.size()))) {
            m_error = QString::fromUtf8(mysql_error(m_mysql)) + u" in: "_qs + sql;
            return false;
        }
        while (true) {
            if (MYSQL_RES *r = mysql_store_result(m_mysql))
                mysql_free_result(r);
            if (mysql_next_result(m_mysql) != 0)
                break;
        }
        return true;
    }

    // One column (the first unless told) of every row, NULL as "<NULL>".
    QStringList column(const QString &sql, unsigned int index = 0)
    {
        QStringList values;
        const QByteArray q = sql.toUtf8();
        if (mysql_real_query(m_mysql, q.constData(), static_cast<unsigned long>(q.size()))) {
            m_error = QString::fromUtf8(mysql_error(m_mysql)) + u" in: "_qs + sql;
            return values;
        }
        if (MYSQL_RES *r = mysql_store_result(m_mysql)) {
            while (MYSQL_ROW row = mysql_fetch_row(r)) {
                const unsigned long *lengths = mysql_fetch_lengths(r);
                values << (index < mysql_num_fields(r) && row[index]
                        ? QString::fromUtf8(row[index], static_cast<qsizetype>(lengths[index]))
                        : u"<NULL>"_qs);
            }
            mysql_free_result(r);
        }
        return values;
    }

    QString scalar(const QString &sql)
    {
        const QStringList values = column(sql);
        return values.isEmpty() ? QString() : values.front();
    }

private:
    MYSQL *m_mysql;
    QString m_error;
};
