#include "db/ScriptCutter.h"

#include <QTest>

using Lines = QList<int>;

class TestScriptCutter : public QObject {
    Q_OBJECT
private slots:
    void cut_data();
    void cut();
};

void TestScriptCutter::cut_data()
{
    QTest::addColumn<QString>("script");
    QTest::addColumn<QStringList>("statements");
    QTest::addColumn<Lines>("lines");

    auto row = [](const char *name, const QString &script, const QStringList &statements,
                   const Lines &lines) { QTest::newRow(name) << script << statements << lines; };

    row("three lines, the third the remainder", u"INSERT a;\r\nINSERT b;\r\nINSERT c"_qs,
        { u"INSERT a"_qs, u"INSERT b"_qs, u"INSERT c"_qs }, { 1, 2, 3 });
    row("ends in separator: empty remainder", u"A;\r\nB;\r\n"_qs, { u"A"_qs, u"B"_qs }, { 1, 2 });
    row("no separator: one statement unchanged", u"SELECT 1;"_qs, { u"SELECT 1;"_qs }, { 1 });
    row("several on one line go as one text", u"A; B; C"_qs, { u"A; B; C"_qs }, { 1 });
    row("empty statements skipped", u"A;\r\n;\r\n  ;\r\nB"_qs, { u"A"_qs, u"B"_qs }, { 1, 4 });
    row("empty script", QString(), {}, {});
    row("spaces only", u"   "_qs, {}, {});
    row("spaces trimmed, tabs kept", u"  \tSELECT 1  ;\r\n\tSELECT 2 \t "_qs,
        { u"\tSELECT 1"_qs, u"\tSELECT 2 \t"_qs }, { 1, 2 });
    row("remainder keeps its line breaks and final semicolon", u"A;\r\nSELECT\r\n2;"_qs,
        { u"A"_qs, u"SELECT\r\n2;"_qs }, { 1, 2 });
    row("blank lines kept, lines counted", u"\r\n\r\nSELECT 1;\r\n\r\nSELECT 2"_qs,
        { u"\r\n\r\nSELECT 1"_qs, u"\r\nSELECT 2"_qs }, { 3, 5 });
    row("lone CR or LF is no separator", u"SELECT 1;\nSELECT 2;\rSELECT 3"_qs,
        { u"SELECT 1;\nSELECT 2;\rSELECT 3"_qs }, { 1 });
    row("lone CR and LF count as lines", u"A\nB\rC;\r\nD"_qs, { u"A\nB\rC"_qs, u"D"_qs }, { 1, 4 });

    // Pasted code lines.
    row("pasted code line",
        u"cnn.Execute \"INSERT INTO t VALUES (1)\";\r\ncnn.Execute \"SELECT 2\""_qs,
        { u"INSERT INTO t VALUES (1)"_qs, u"SELECT 2"_qs }, { 1, 2 });
    row("pasted doubled quote becomes one",
        u"cnn.Execute \"INSERT INTO t VALUES (\"\"q\"\")\";\r\n"_qs,
        { u"INSERT INTO t VALUES (\"q\")"_qs }, { 1 });
    row("pasted without quotes", u"cnn.Execute SELECT 1;\r\n"_qs, { u"SELECT 1"_qs }, { 1 });
    row("pasted with unterminated quote", u"cnn.Execute \"SELECT 1\r\nSELECT 2"_qs,
        { u"SELECT 1\r\nSELECT 2"_qs }, { 1 });
    row("prefix in other case is kept", u"CNN.EXECUTE \"x\""_qs, { u"CNN.EXECUTE \"x\""_qs },
        { 1 });

    // Regressions: data that used to be changed on the way to the server.
    row("double quotes outside pasted code kept",
        u"UPDATE t SET name = \"x\";\r\nSELECT 'say \"hi\"'"_qs,
        { u"UPDATE t SET name = \"x\""_qs, u"SELECT 'say \"hi\"'"_qs }, { 1, 2 });
    row("multi-line statement keeps its line breaks", u"SELECT a\r\nFROM t;\r\nSELECT 2"_qs,
        { u"SELECT a\r\nFROM t"_qs, u"SELECT 2"_qs }, { 1, 3 });
    row("comment line does not swallow the statement", u"-- note\r\nSELECT 1;\r\nSELECT 2"_qs,
        { u"-- note\r\nSELECT 1"_qs, u"SELECT 2"_qs }, { 1, 3 });
    row("semicolon in literal kept", u"INSERT INTO t VALUES ('a;b', \"c;d\", `e;f`);\r\nX"_qs,
        { u"INSERT INTO t VALUES ('a;b', \"c;d\", `e;f`)"_qs, u"X"_qs }, { 1, 2 });
    row("semicolon after escaped quote kept", u"SELECT 'it\\'s;', 'it''s;';\r\nX"_qs,
        { u"SELECT 'it\\'s;', 'it''s;'"_qs, u"X"_qs }, { 1, 2 });
    row("semicolon outside literal removed", u"SELECT 1; SELECT 2;\r\nX"_qs,
        { u"SELECT 1 SELECT 2"_qs, u"X"_qs }, { 1, 2 });
    row("semicolons in comments kept", u"SELECT 1 -- a;b\r\n, 2 # c;d\r\n, /* e;f */ 3;\r\nX"_qs,
        { u"SELECT 1 -- a;b\r\n, 2 # c;d\r\n, /* e;f */ 3"_qs, u"X"_qs }, { 1, 4 });
    row("double dash without space is no comment", u"SELECT 3--1;2;\r\nX"_qs,
        { u"SELECT 3--12"_qs, u"X"_qs }, { 1, 2 });
    row("separator inside a literal still cuts", u"INSERT INTO t VALUES ('a;\r\nb');\r\nX"_qs,
        { u"INSERT INTO t VALUES ('a"_qs, u"b')"_qs, u"X"_qs }, { 1, 2, 3 });
    row("comment-only pieces skipped",
        u"-- just a note;\r\n/* block */;\r\n  \r\n\t;\r\nSELECT 1;\r\n# the end"_qs,
        { u"SELECT 1"_qs }, { 5 });
    row("executable comment is a statement", u"/*!40101 SET NAMES utf8mb4 */;\r\nX"_qs,
        { u"/*!40101 SET NAMES utf8mb4 */"_qs, u"X"_qs }, { 1, 2 });
    row("outside the basic plane", u"INSERT INTO t VALUES ('𝄞;😀');\r\nSELECT '𝄞'"_qs,
        { u"INSERT INTO t VALUES ('𝄞;😀')"_qs, u"SELECT '𝄞'"_qs }, { 1, 2 });
}

void TestScriptCutter::cut()
{
    QFETCH(QString, script);
    QFETCH(QStringList, statements);
    QFETCH(Lines, lines);

    const CutScript cut = CutScript::cut(script);
    QStringList texts;
    Lines starts;
    for (qsizetype i = 0; i < cut.size(); ++i) {
        texts << cut.text(i).toString();
        starts << cut.statement(i).line;
    }
    QCOMPARE(texts, statements);
    QCOMPARE(starts, lines);
}

QTEST_APPLESS_MAIN(TestScriptCutter)
#include "tst_scriptcutter.moc"
