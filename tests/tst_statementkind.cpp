#include "db/StatementKind.h"

#include <QTest>

// Which statements may be sent before earlier answers are read (only those
// that can answer with nothing but OK or an error), and after which the
// session's sql_mode must be read again.
class TestStatementKind : public QObject {
    Q_OBJECT
private slots:
    void classification_data();
    void classification();
};

void TestStatementKind::classification_data()
{
    QTest::addColumn<QString>("statement");
    QTest::addColumn<bool>("withoutRows");
    QTest::addColumn<bool>("changesMode");
    const struct {
        const char *name;
        const char16_t *statement;
        bool withoutRows;
        bool changesMode = false;
    } rows[] = {
        { "insert", u"INSERT INTO t VALUES (1)", true },
        { "lower case", u"insert into t values (1)", true },
        { "update", u"UPDATE t SET a = 1", true },
        { "delete", u"DELETE FROM t", true },
        { "create procedure", u"CREATE PROCEDURE p() SELECT 1", true },
        { "set variable", u"SET @a = (SELECT 1)", true },
        { "start transaction", u"START TRANSACTION", true },
        { "begin", u"BEGIN", true },
        { "do", u"DO SLEEP(1)", true },
        { "leading comments", u"-- note\r\n/* more */ # and more\n\tINSERT INTO t VALUES (1)",
            true },
        { "select", u"SELECT 1", false },
        { "show", u"SHOW TABLES", false },
        { "call", u"CALL p()", false },
        { "with", u"WITH x AS (SELECT 1) SELECT * FROM x", false },
        { "values", u"VALUES (1)", false },
        { "insert returning", u"INSERT INTO t VALUES (1) RETURNING id", false },
        { "delete returning lower case", u"delete from t returning *", false },
        { "returning in a literal", u"INSERT INTO t VALUES ('returning')", false },
        { "set statement for select", u"SET STATEMENT max_statement_time=1 FOR SELECT 1", false },
        { "begin not atomic", u"BEGIN NOT ATOMIC SELECT 1; END", false },
        { "start replica", u"START SLAVE", false },
        { "executable comment", u"/*!40101 SET NAMES utf8 */", false },
        { "executable comment first", u"/*M!100100 INSERT INTO t VALUES (1) */", false },
        { "comment before select", u"/* INSERT */ SELECT 1", false },
        { "executable comment after the keyword", u"BEGIN /*!100000 NOT ATOMIC */ SELECT 1; END",
            false },
        { "keyword prefix", u"INSERTS", false },
        { "unknown", u"FLUSH TABLES", false },
        { "empty", u"", false },
        { "set sql_mode", u"SET SESSION sql_mode = CONCAT(@@sql_mode, ',NO_BACKSLASH_ESCAPES')",
            true, true },
        // Its own answer shows the passing mode: the mode is read again.
        { "set statement sql_mode for", u"SET STATEMENT sql_mode='ANSI' FOR SELECT 1", false,
            true },
        { "execute", u"execute stmt", false, true },
        { "as dumps set it", u"/*!40101 SET SQL_MODE='NO_AUTO_VALUE_ON_ZERO' */", false, true },
        { "sql_mode only in data", u"INSERT INTO t VALUES ('sql_mode')", true, false },
    };
    for (const auto &r : rows)
        QTest::newRow(r.name) << QString::fromUtf16(r.statement) << r.withoutRows << r.changesMode;
}

void TestStatementKind::classification()
{
    QFETCH(QString, statement);
    QFETCH(bool, withoutRows);
    QFETCH(bool, changesMode);
    const StatementShape shape = shapeOf(statement.toUtf8());
    QCOMPARE(shape.withoutRows, withoutRows);
    QCOMPARE(shape.changesMode, changesMode);
}

QTEST_APPLESS_MAIN(TestStatementKind)
#include "tst_statementkind.moc"
