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

// The position of the first word after white space and comments; a quoted
// name or anything else that is no word there leaves an empty word.
qsizetype skipNoise(QByteArrayView s, qsizetype i)
{
    return SqlText::firstContent(s.data(), i, s.size());
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

} // namespace

bool answersWithoutRows(QByteArrayView statement)
{
    // What an executable comment holds is run by the server, whatever
    // stands around it.
    if (containsCaseInsensitive(statement, QLatin1StringView("RETURNING"))
        || statement.contains("/*!") || statement.contains("/*M!"))
        return false;
    qsizetype i = skipNoise(statement, 0);
    const QByteArrayView first = nextWord(statement, i);

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
    qsizetype j = skipNoise(statement, i);
    const QByteArrayView second = nextWord(statement, j);
    if (is(first, "SET"))
        return !is(second, "STATEMENT"); // SET STATEMENT … FOR runs any statement
    if (is(first, "START"))
        return is(second, "TRANSACTION");
    // BEGIN NOT ATOMIC opens a compound statement that may select rows.
    return second.isEmpty() || is(second, "WORK");
}
