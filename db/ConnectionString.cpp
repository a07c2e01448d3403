#include "db/ConnectionString.h"

ConnectionString ConnectionString::parse(QStringView text)
{
    ConnectionString result;
    qsizetype i = 0;
    const qsizetype n = text.size();
    while (i < n) {
        const qsizetype eq = text.indexOf(u'=', i);
        const qsizetype semi = text.indexOf(u';', i);
        if (eq < 0 || (semi >= 0 && semi < eq)) {
            // A piece without "=": nothing to take from it.
            if (semi < 0)
                break;
            i = semi + 1;
            continue;
        }
        const QString keyword = text.mid(i, eq - i).trimmed().toString();
        i = eq + 1;
        QString value;
        if (i < n && text[i] == u'{') {
            ++i;
            while (i < n) {
                if (text[i] == u'}') {
                    if (i + 1 < n && text[i + 1] == u'}') {
                        value += u'}';
                        i += 2;
                        continue;
                    }
                    ++i;
                    break;
                }
                value += text[i++];
            }
            // Anything between the closing brace and the next ";" is ignored.
            const qsizetype next = text.indexOf(u';', i);
            i = next < 0 ? n : next + 1;
        } else {
            const qsizetype end = semi < 0 ? n : semi;
            value = text.mid(i, end - i).toString();
            i = end + 1;
        }
        if (!keyword.isEmpty())
            result.m_pairs.append({ keyword, value });
    }
    return result;
}

std::optional<QString> ConnectionString::value(QStringView keyword) const
{
    for (const auto &[key, value] : m_pairs) {
        if (key.compare(keyword, Qt::CaseInsensitive) == 0)
            return value;
    }
    return std::nullopt;
}

QString ConnectionString::pair(QStringView keyword, const QString &value)
{
    const bool needsBraces = value.contains(u';') || value.contains(u'{') || value.contains(u'}')
        || value.startsWith(u' ') || value.endsWith(u' ');
    if (!needsBraces)
        return keyword.toString() + u'=' + value;
    QString escaped = value;
    escaped.replace(u"}"_qs, u"}}"_qs);
    return keyword.toString() + u"={"_qs + escaped + u'}';
}

QString composeConnectionString(const QString &port, const QString &server, const QString &uid,
    const QString &pwd, const QString &database)
{
    return u"PROVIDER=MSDASQL;driver={MySQL};"_qs + ConnectionString::pair(u"Port", port) + u';'
        + ConnectionString::pair(u"server", server) + u';' + ConnectionString::pair(u"uid", uid)
        + u';' + ConnectionString::pair(u"pwd", pwd) + u';'
        + ConnectionString::pair(u"database", database) + u';';
}
