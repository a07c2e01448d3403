#pragma once

#include <QList>
#include <QString>

#include <optional>
#include <utility>

// ODBC connection strings: keyword=value pairs split at ";", keywords
// compared without case, a value in braces taken literally ("}}" is "}").
class ConnectionString {
public:
    static ConnectionString parse(QStringView text);

    // The value of the first pair with this keyword, if any.
    std::optional<QString> value(QStringView keyword) const;

    // keyword=value, the value braced when it could otherwise be misread.
    static QString pair(QStringView keyword, const QString &value);

private:
    QList<std::pair<QString, QString>> m_pairs;
};

// The program's string for the given details, in its fixed order.
QString composeConnectionString(const QString &port, const QString &server, const QString &uid,
    const QString &pwd, const QString &database);
