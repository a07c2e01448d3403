#include "db/StatementKind.h"

#include "db/SqlText.h"

namespace {

bool isWordChar(QChar c)
{
    return c.isLetterOrNumber() || c == u'_' || c == u'$';
}

// The position of the first word after white space and comments; a quoted
// name or anything else that is no word there leaves an empty word.
qsizetype skipNoise(QStringView s, qsizetype i)
{
    return SqlText::firstContent(s.data(), i, s.size());
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
    // What an executable comment holds is run by the server, whatever
    // stands around it.
    if (statement.contains(u"RETURNING", Qt::CaseInsensitive) || statement.contains(u"/*!")
        || statement.contains(u"/*M!"))
        return false;
    qsizetype i = skipNoise(statement, 0);
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
    const QStringView second = nextWord(statement, j);
    if (is(first, u"SET"))
        return !is(second, u"STATEMENT"); // SET STATEMENT … FOR runs any statement
    if (is(first, u"START"))
        return is(second, u"TRANSACTION");
    // BEGIN NOT ATOMIC opens a compound statement that may select rows.
    return second.isEmpty() || is(second, u"WORK");
}
