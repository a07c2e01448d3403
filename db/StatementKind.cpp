#include "db/StatementKind.h"

#include "db/SqlText.h"

#include <QLatin1StringView>

namespace {

// Bytes of a keyword or a name; any byte of a non-ASCII character counts,
// so a name in another script is one word.
bool isWordChar(char c)
{
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_'
        || c == '$' || static_cast<unsigned char>(c) >= 0x80;
}

QByteArrayView nextWord(QByteArrayView s, qsizetype &i)
{
    const qsizetype start = i;
    while (i < s.size() && isWordChar(s[i]))
        ++i;
    return s.sliced(start, i - start);
}

bool is(QByteArrayView word, QByteArrayView keyword)
{
    return word.compare(keyword, Qt::CaseInsensitive) == 0;
}

// Read as Latin-1, no byte of UTF-8 text folds to an ASCII letter, and Qt's
// search is fast.
bool containsCaseInsensitive(QByteArrayView text, QLatin1StringView word)
{
    return QLatin1StringView(text).contains(word, Qt::CaseInsensitive);
}

// The first word of code from i on, inside an executable comment too: a
// quoted name or anything else that is no word there leaves it empty.
QByteArrayView wordAfterNoise(QByteArrayView s, qsizetype &i, bool *executable = nullptr)
{
    for (;;) {
        i = SqlText::firstContent(s.data(), i, s.size());
        SqlText::Reader reader;
        qsizetype end = i;
        if (i >= s.size() || reader.next(s.data(), i, s.size(), &end) != SqlText::Kind::Executable)
            return nextWord(s, i);
        if (executable)
            *executable = true;
        i = end;
    }
}

bool withoutRows(QByteArrayView statement, QByteArrayView first, qsizetype afterFirst)
{
    // What an executable comment holds is run by the server, whatever
    // stands around it.
    if (containsCaseInsensitive(statement, QLatin1StringView("RETURNING"))
        || statement.contains("/*!") || statement.contains("/*M!"))
        return false;

    static constexpr QByteArrayView plain[] = { "INSERT", "REPLACE", "UPDATE", "DELETE", "CREATE",
        "ALTER", "DROP", "RENAME", "TRUNCATE", "GRANT", "REVOKE", "LOCK", "UNLOCK", "COMMIT",
        "ROLLBACK", "SAVEPOINT", "RELEASE", "DO", "USE" };
    for (const QByteArrayView keyword : plain) {
        if (is(first, keyword))
            return true;
    }

    // These depend on the word after them.
    if (!is(first, "SET") && !is(first, "START") && !is(first, "BEGIN"))
        return false;
    qsizetype j = afterFirst;
    const QByteArrayView second = wordAfterNoise(statement, j);
    if (is(first, "SET"))
        return !is(second, "STATEMENT"); // SET STATEMENT … FOR runs any statement
    if (is(first, "START"))
        return is(second, "TRANSACTION");
    // BEGIN NOT ATOMIC opens a compound statement that may select rows.
    return second.isEmpty() || is(second, "WORK");
}

} // namespace

StatementShape shapeOf(QByteArrayView statement, bool several)
{
    qsizetype i = 0;
    const QByteArrayView first = wordAfterNoise(statement, i);
    StatementShape shape;
    shape.withoutRows = !several && withoutRows(statement, first, i);
    // A stored routine runs under the mode it was created with and gives
    // the caller's back, so a CALL or a function changes nothing.
    if (is(first, "EXECUTE"))
        shape.changesMode = true;
    else if (several || is(first, "SET") || is(first, "BEGIN"))
        shape.changesMode = containsCaseInsensitive(statement, QLatin1StringView("sql_mode"))
            || (several && containsCaseInsensitive(statement, QLatin1StringView("EXECUTE")));
    return shape;
}
