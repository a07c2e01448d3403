#include "db/ScriptCutter.h"

#include <QRandomGenerator>
#include <QRegularExpression>
#include <QTest>

using Lines = QList<int>;

class TestScriptCutter : public QObject {
    Q_OBJECT
private slots:
    void cut_data();
    void cut();
    void agreesWithPlainReference();
};

namespace {

QString trimSpaces(QString s)
{
    while (s.startsWith(u' '))
        s.remove(0, 1);
    while (s.endsWith(u' '))
        s.chop(1);
    return s;
}

// The cutting rules written the slow, plain way: copies instead of offsets,
// and regular expressions instead of state machines for quoted text,
// comments and DELIMITER lines. Pasted code is left out.
std::pair<QStringList, Lines> reference(const QString &script)
{
    static const QRegularExpression token(uR"('(?:\\[\s\S]|''|[^'\\])*'?)"
                                          uR"(|"(?:\\[\s\S]|""|[^"\\])*"?)"
                                          uR"(|`(?:``|[^`])*`?)"
                                          uR"(|(--(?=[\x00-\x20]|$)|#)[^\r\n]*)"
                                          uR"(|(/\*(?!!|M!)[\s\S]*?(?:\*/|$))|[\s\S])"_qs);
    static const QRegularExpression nonWhite(u"[^ \t\r\n]"_qs);
    static const QRegularExpression noise(uR"(^(?:[ \t\r\n]|--(?=[\x00-\x20]|\z)[^\r\n]*|#[^\r\n]*)"
                                          uR"(|/\*(?!!|M!)[\s\S]*?(?:\*/|\z))*)"_qs);
    static const QRegularExpression command(u"(?i)delimiter(?=[ \t\r\n]|\\z)[^\r\n]*"_qs);
    static const QRegularExpression validCommand(
        uR"re(^(?i:delimiter)[ \t]+(?:'([^ \t\\']+)'|"([^ \t\\"]+)"|`([^ \t\\`]+)`)re"
        uR"re(|([^ \t\\'"`][^ \t\\]*))[ \t]*\z)re"_qs);
    static const QRegularExpression lineEnd(u"[ \t]*(?:\r\n|\r|\n|\\z)"_qs);
    const auto at = [](const QRegularExpression &re, const QString &s, qsizetype i) {
        return re.match(
            s, i, QRegularExpression::NormalMatch, QRegularExpression::AnchorAtOffsetMatchOption);
    };
    const QString s = trimSpaces(script.startsWith(u'\uFEFF') ? script.mid(1) : script);
    const auto lineOf = [&](qsizetype i) {
        QString before = s.left(i);
        before.replace(u"\r\n"_qs, u"\n"_qs).replace(u'\r', u'\n');
        return 1 + static_cast<int>(before.count(u'\n'));
    };
    QStringList texts;
    Lines lines;
    auto take = [&](qsizetype from, qsizetype to, bool removeSemicolons) {
        const QString piece = trimSpaces(s.mid(from, to - from));
        QString kept;
        bool content = false;
        for (auto it = token.globalMatch(piece); it.hasNext();) {
            const QRegularExpressionMatch m = it.next();
            const QString t = m.captured();
            const bool comment = m.capturedLength(1) > 0 || m.capturedLength(2) > 0;
            if (removeSemicolons && t == u";")
                continue;
            content = content || (!comment && !QStringLiteral(" \t\r\n").contains(t));
            kept += t;
        }
        if (!content)
            return;
        texts << kept;
        lines << lineOf(s.indexOf(nonWhite, from));
    };
    QString delimiter = u";"_qs;
    for (qsizetype from = 0; from < s.size();) {
        qsizetype to = s.size();
        qsizetype next = s.size();
        if (delimiter == u";") {
            if (const qsizetype sep = s.indexOf(u";\r\n"_qs, from); sep >= 0) {
                to = sep;
                next = sep + 3;
            }
        } else {
            for (qsizetype i = from; i < s.size(); i += at(token, s, i).capturedLength()) {
                const QRegularExpressionMatch rest = at(lineEnd, s, i + delimiter.size());
                if (s.mid(i).startsWith(delimiter) && rest.hasMatch()) {
                    to = i;
                    next = rest.capturedEnd();
                    break;
                }
            }
        }
        const qsizetype head = from + noise.match(s.mid(from, to - from)).capturedLength();
        if (const QRegularExpressionMatch c = at(command, s, head); head < to && c.hasMatch()) {
            const QString line = trimSpaces(c.captured());
            const QRegularExpressionMatch valid = validCommand.match(line);
            if (valid.hasMatch()) {
                delimiter = valid.captured(valid.lastCapturedIndex());
            } else {
                texts << u"refused: "_qs + line;
                lines << lineOf(head);
            }
            from = at(lineEnd, s, c.capturedEnd()).capturedEnd();
            continue;
        }
        take(from, to, delimiter == u";" && to < s.size());
        from = next;
    }
    return { texts, lines };
}

// A statement as the tests show it: a refused one says so.
QString shown(const CutScript &cut, qsizetype i, bool withReason)
{
    const QString refusal = cut.refusal(i);
    if (refusal.isEmpty())
        return cut.text(i).toString();
    return (withReason ? u"refused (%1): "_qs.arg(refusal) : u"refused: "_qs)
        + cut.text(i).toString();
}

} // namespace

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
    row("removed semicolon does not shift later lines", u"SELECT 1;x\n;\r\n\r\nSELECT 2"_qs,
        { u"SELECT 1x\n"_qs, u"\r\nSELECT 2"_qs }, { 1, 4 });
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
    row("leading byte order mark dropped, later ones kept", u"\uFEFFSELECT '\uFEFF';\r\n\uFEFFX"_qs,
        { u"SELECT '\uFEFF'"_qs, u"\uFEFFX"_qs }, { 1, 2 });
    row("pasted prefix inside a literal or comment is data",
        u"cnn.Execute \"SELECT 'cnn.Execute'\";\r\nSELECT 'cnn.Execute \"boom\"' # cnn.Execute \"x\""_qs,
        { u"SELECT 'cnn.Execute'"_qs, u"SELECT 'cnn.Execute \"boom\"' # cnn.Execute \"x\""_qs },
        { 1, 2 });

    // DELIMITER lines, as scripts defining stored programs have them.
    row("procedure between $$ lines, then back to ;",
        u"DELIMITER $$\r\nCREATE PROCEDURE p()\r\nBEGIN\r\n  SELECT 1;\r\n  SELECT 2;\r\nEND $$\r\n"
        "DELIMITER ;\r\nCALL p();\r\nSELECT 3"_qs,
        { u"CREATE PROCEDURE p()\r\nBEGIN\r\n  SELECT 1;\r\n  SELECT 2;\r\nEND"_qs, u"CALL p()"_qs,
            u"SELECT 3"_qs },
        { 2, 8, 9 });
    row("trigger as mariadb-dump writes it",
        u"/*!50003 SET sql_mode = '' */ ;\r\nDELIMITER ;;\r\n/*!50003 CREATE*/ /*!50003 TRIGGER "
        "bi BEFORE INSERT ON t FOR EACH ROW BEGIN\r\nSET NEW.a = 1;\r\nEND */;;\r\nDELIMITER ;\r\n"
        "/*!50003 SET sql_mode = @saved */ ;\r\n"_qs,
        { u"/*!50003 SET sql_mode = '' */"_qs,
            u"/*!50003 CREATE*/ /*!50003 TRIGGER bi BEFORE INSERT ON t FOR EACH ROW BEGIN\r\n"
            "SET NEW.a = 1;\r\nEND */"_qs,
            u"/*!50003 SET sql_mode = @saved */"_qs },
        { 1, 3, 7 });
    row("// in literals and comments, then a quoted $$ and no final delimiter",
        u"-- routines\r\ndelimiter //\nSELECT 'a //\n' -- c //\n//\nDELIMITER '$$' \t\r\n"
        "SELECT 1; SELECT 2"_qs,
        { u"SELECT 'a //\n' -- c //\n"_qs, u"SELECT 1; SELECT 2"_qs }, { 3, 7 });
    row("DELIMITER after a statement has begun is its text",
        u"SELECT 1\r\nDELIMITER $$\r\n;\r\nX"_qs, { u"SELECT 1\r\nDELIMITER $$\r\n"_qs, u"X"_qs },
        { 1, 4 });
    row("malformed DELIMITER lines are refused, the delimiter stays",
        u"DELIMITER\r\ndelimiter a\\b\r\nDELIMITER $$ x\r\nDELIMITER 'x\r\nSELECT 1;\r\nSELECT 2"_qs,
        { u"refused (DELIMITER must be followed by a delimiter): DELIMITER"_qs,
            u"refused (A delimiter cannot contain spaces or backslashes): delimiter a\\b"_qs,
            u"refused (DELIMITER takes one delimiter and nothing else on its line): DELIMITER $$ x"_qs,
            u"refused (The delimiter after DELIMITER lacks its closing quote): DELIMITER 'x"_qs,
            u"SELECT 1"_qs, u"SELECT 2"_qs },
        { 1, 2, 3, 4, 5, 6 });
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
        texts << shown(cut, i, true);
        starts << cut.statement(i).line;
    }
    QCOMPARE(texts, statements);
    QCOMPARE(starts, lines);
}

void TestScriptCutter::agreesWithPlainReference()
{
    const char16_t *const pieces[] = { u"SELECT", u"x", u" ", u"  ", u"\t", u"\r\n", u"\n", u"\r",
        u";", u";\r\n", u"'", u"\"", u"`", u"\\", u"''", u"--", u"-- ", u"#", u"/*", u"*/", u"/*!",
        u"/*M!", u"-", u"/", u"𝄞", u"\uFEFF", u"DELIMITER", u"delimiter ", u"DELIMITER $$\r\n",
        u"DELIMITER ;\r\n", u"DELIMITER //\n", u"$$", u"//", u"$$\r\n" };
    QRandomGenerator random(20261208);
    for (int round = 0; round < 5000; ++round) {
        QString script;
        const int count = static_cast<int>(random.bounded(40));
        for (int i = 0; i < count; ++i)
            script
                += QString::fromUtf16(pieces[random.bounded(static_cast<int>(std::size(pieces)))]);

        const CutScript cut = CutScript::cut(script);
        QStringList texts;
        Lines lines;
        for (qsizetype i = 0; i < cut.size(); ++i) {
            texts << shown(cut, i, false);
            lines << cut.statement(i).line;
        }
        const auto [expectedTexts, expectedLines] = reference(script);
        if (texts != expectedTexts || lines != expectedLines)
            qWarning() << "script:" << script;
        QCOMPARE(texts, expectedTexts);
        QCOMPARE(lines, expectedLines);
    }
}

QTEST_APPLESS_MAIN(TestScriptCutter)
#include "tst_scriptcutter.moc"
