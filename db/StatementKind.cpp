#include "db/StatementKind.h"

namespace {

bool isWordChar(QChar c)
{
    return c.isLetterOrNumber() || c == u'_' || c == u'$';
}

// The position of the first character after white space and comments; -1
// when an executable comment comes first (the server runs what it holds).
qsizetype skipNoise(QStringView s, qsizetype i)
{
    const qsizetype n = s.size();
    auto at = [&](qsizetype k) { return k < n ? s[k].unicode() : char16_t(0); };
    while (i < n) {
        const char16_t c = s[i].unicode();
        if (c == u' ' || c == u'\t' || c == u'\r' || c == u'\n' || c == u'\f' || c == u'\v') {
            ++i;
        } else if (c == u'#' || (c == u'-' && at(i + 1) == u'-' && at(i + 2) <= u' ')) {
            while (i < n && s[i] != u'\n' && s[i] != u'\r')
                ++i;
        } else if (c == u'/' && at(i + 1) == u'*') {
            if (at(i + 2) == u'!' || (at(i + 2) == u'M' && at(i + 3) == u'!'))
                return -1;
            const qsizetype end = s.indexOf(u"*/", i + 2);
            i = end < 0 ? n : end + 2;
        } else {
            break;
        }
    }
    return i;
}

QStringView nextWord(QStringView s, qsizetype &i)
{
    const qsizetype start = i;
    while (i < s.size() && isWordChar(s[i]))
        ++i;
    return s.mid(start, i - start);
}

bool is(QStringView word, QStringView keyword)
{
    return word.compare(keyword, Qt::CaseInsensitive) == 0;
}

} // namespace

bool answersWithoutRows(QStringView statement)
{
    if (statement.contains(u"RETURNING", Qt::CaseInsensitive))
        return false;
    qsizetype i = skipNoise(statement, 0);
    if (i < 0)
        return false;
    const QStringView first = nextWord(statement, i);

    static constexpr QStringView plain[] = { u"INSERT", u"REPLACE", u"UPDATE", u"DELETE", u"CREATE",
        u"ALTER", u"DROP", u"RENAME", u"TRUNCATE", u"GRANT", u"REVOKE", u"LOCK", u"UNLOCK",
        u"COMMIT", u"ROLLBACK", u"SAVEPOINT", u"RELEASE", u"DO", u"USE" };
    for (const QStringView keyword : plain) {
        if (is(first, keyword))
            return true;
    }

    // These depend on the word after them.
    if (!is(first, u"SET") && !is(first, u"START") && !is(first, u"BEGIN"))
        return false;
    qsizetype j = skipNoise(statement, i);
    if (j < 0)
        return false;
    const QStringView second = nextWord(statement, j);
    if (is(first, u"SET"))
        return !is(second, u"STATEMENT"); // SET STATEMENT … FOR runs any statement
    if (is(first, u"START"))
        return is(second, u"TRANSACTION");
    // BEGIN NOT ATOMIC opens a compound statement that may select rows.
    return second.isEmpty() || is(second, u"WORK");
}
