#include "db/ScriptCutter.h"

#include <QRandomGenerator>
#include <QRegularExpression>
#include <QStringDecoder>
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

// What the cutter gives, in the terms of the text it was given: each
// statement's text (a refused one says so), its line, whether it may hold
// several statements, and its place in the script (UTF-8 offsets).
struct Cut {
    QStringList texts;
    Lines lines;
    QList<bool> several;
    QList<std::pair<qsizetype, qsizetype>> origins;
};

// The cutting rules written the slow, plain way: copies instead of offsets,
// characters instead of bytes, and regular expressions instead of state
// machines for quoted text, comments and DELIMITER lines. Pasted code is
// left out.
Cut reference(const QString &script)
{
    static const QRegularExpression token(uR"('(?:\\[\s\S]|''|[^'\\])*'?)"
                                          uR"(|"(?:\\[\s\S]|""|[^"\\])*"?)"
                                          uR"(|`(?:``|[^`])*`?)"
                                          uR"(|((?:--(?=[\x00-\x20]|\z)|#)[^\r\n]*))"
                                          uR"(|(/\*(?!!|M!)[\s\S]*?(?:\*/|\z))|[\s\S])"_qs);
    static const QRegularExpression command(u"(?i:delimiter)(?=[ \t\r\n]|\\z)|\\\\d"_qs);
    static const QRegularExpression opensLine(u"(?:^|[\r\n])[ \t]*\\z"_qs);
    static const QRegularExpression argument(
        uR"re(^[ \t]*(?:'([^']*)'|"([^"]*)"|`([^`]*)`|([^ \t'"`][^ \t]*)|(['"`].*)|))re"_qs);
    static const QRegularExpression afterDelimiter(
        uR"([ \t]*(?:(?:#|--(?=[\x00-\x20]|\z))[^\r\n]*)?(?:\r\n|\r|\n|\z))"_qs);
    static const QRegularExpression lineBreak(u"\r\n|\r|\n"_qs);
    const auto at = [](const QRegularExpression &re, const QString &s, qsizetype i) {
        return re.match(
            s, i, QRegularExpression::NormalMatch, QRegularExpression::AnchorAtOffsetMatchOption);
    };
    const qsizetype skipped = script.startsWith(u'\uFEFF') ? 1 : 0;
    const QString untrimmed = script.mid(skipped);
    const QString s = trimSpaces(untrimmed);
    qsizetype offset = skipped; // where s starts in script
    while (offset < script.size() && script[offset] == u' ')
        ++offset;
    const auto lineOf = [&](qsizetype i) {
        QString before = s.left(i);
        before.replace(u"\r\n"_qs, u"\n"_qs).replace(u'\r', u'\n');
        return 1 + static_cast<int>(before.count(u'\n'));
    };
    const auto bytesTo = [&](qsizetype i) { return script.left(offset + i).toUtf8().size(); };
    const auto isNoise = [](const QRegularExpressionMatch &m) {
        return m.capturedLength(1) > 0 || m.capturedLength(2) > 0
            || QStringLiteral(" \t\r\n").contains(m.captured());
    };
    const auto firstContent = [&](qsizetype i, qsizetype to) {
        for (QRegularExpressionMatch m; i < to && isNoise(m = at(token, s, i));)
            i = m.capturedEnd();
        return std::min(i, to);
    };
    Cut cut;
    auto add = [&](const QString &text, qsizetype from, qsizetype to, bool several) {
        cut.texts << text;
        cut.lines << lineOf(s.indexOf(QRegularExpression(u"[^ \t\r\n]"_qs), from));
        cut.several << several;
        cut.origins << std::pair(bytesTo(from), bytesTo(to) - bytesTo(from));
    };
    QString delimiter = u";"_qs;
    for (qsizetype from = 0; from < s.size();) {
        const qsizetype head = firstContent(from, s.size());
        if (head == s.size())
            break;
        const QRegularExpressionMatch c = at(command, s, head);
        if (c.hasMatch() && opensLine.match(s.left(head)).hasMatch()) {
            qsizetype lineEnd = s.indexOf(lineBreak, head);
            lineEnd = lineEnd < 0 ? s.size() : lineEnd;
            const QRegularExpressionMatch arg
                = argument.match(s.mid(c.capturedEnd(), lineEnd - c.capturedEnd()));
            const QString word = arg.captured(arg.lastCapturedIndex());
            if (arg.lastCapturedIndex() >= 1 && arg.lastCapturedIndex() <= 4 && !word.isEmpty()
                && !word.contains(QRegularExpression(u"[ \t\\\\]"_qs))) {
                delimiter = word;
            } else {
                const QString line = trimSpaces(s.mid(head, lineEnd - head));
                add(u"refused: "_qs + line, head, head + line.size(), false);
            }
            from = at(afterDelimiter, s, lineEnd).capturedEnd();
            continue;
        }
        qsizetype to = s.size();
        qsizetype next = s.size();
        for (qsizetype i = head; i < s.size(); i = at(token, s, i).capturedEnd()) {
            if (delimiter == u";" && s[i] == u';' && i + 1 < s.size()
                && (s[i + 1] == u'\r' || s[i + 1] == u'\n')) {
                to = i;
                next = at(afterDelimiter, s, i + 1).capturedEnd();
                break;
            }
            if (delimiter != u";" && s.mid(i).startsWith(delimiter)) {
                to = i;
                const QRegularExpressionMatch rest = at(afterDelimiter, s, i + delimiter.size());
                next = rest.hasMatch() ? rest.capturedEnd() : i + delimiter.size();
                break;
            }
        }
        qsizetype start = from;
        while (start < to && s[start] == u' ')
            ++start;
        const QString piece = trimSpaces(s.mid(from, to - from));
        const qsizetype stop = start + piece.size();
        // Each piece read on its own, as the server will read it.
        const bool cutHere = delimiter == u";" && to < s.size();
        QString kept;
        bool content = false;
        for (auto it = token.globalMatch(piece); it.hasNext();) {
            const QRegularExpressionMatch m = it.next();
            if (cutHere && m.captured() == u";")
                continue;
            content = content || !isNoise(m);
            kept += m.captured();
        }
        if (content)
            add(kept, start, stop, delimiter != u";");
        from = next;
    }
    return cut;
}

// What the cutter gives, as the tests show it.
Cut cutOf(const QString &script, bool withReason)
{
    const CutScript cut = CutScript::cut(script);
    Cut shown;
    for (qsizetype i = 0; i < cut.size(); ++i) {
        // A byte order mark is a character here, wherever it stands.
        QStringDecoder utf8(QStringDecoder::Utf8, QStringDecoder::Flag::ConvertInitialBom);
        const QString text = utf8(cut.text(i));
        const QString refusal = cut.refusal(i);
        shown.texts << (refusal.isEmpty() ? text
                : withReason              ? u"refused (%1): "_qs.arg(refusal) + text
                                          : u"refused: "_qs + text);
        const CutScript::Statement &s = cut.statement(i);
        shown.lines << s.line;
        shown.several << s.several;
        shown.origins << std::pair(s.origin, s.originLength);
    }
    return shown;
}

} // namespace

void TestScriptCutter::cut_data()
{
    QTest::addColumn<QString>("script");
    QTest::addColumn<QStringList>("statements");
    QTest::addColumn<Lines>("lines");
    // Where each statement stands in the script as given; not checked when empty.
    QTest::addColumn<QStringList>("origins");

    auto row = [](const char *name, const QString &script, const QStringList &statements,
                   const Lines &lines, const QStringList &origins = {}) {
        QTest::newRow(name) << script << statements << lines << origins;
    };

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
    row("LF and CR line ends cut too", u"SELECT 1;\nSELECT 2;\rSELECT 3"_qs,
        { u"SELECT 1"_qs, u"SELECT 2"_qs, u"SELECT 3"_qs }, { 1, 2, 3 });
    row("lone CR and LF count as lines", u"A\nB\rC;\r\nD"_qs, { u"A\nB\rC"_qs, u"D"_qs }, { 1, 4 });

    // Pasted code lines.
    row("pasted code line",
        u"cnn.Execute \"INSERT INTO t VALUES (1)\";\r\ncnn.Execute \"SELECT 2\""_qs,
        { u"INSERT INTO t VALUES (1)"_qs, u"SELECT 2"_qs }, { 1, 2 },
        { u"INSERT INTO t VALUES (1)\""_qs, u"SELECT 2\""_qs });
    row("pasted doubled quote becomes one",
        u"cnn.Execute \"INSERT INTO t VALUES (\"\"q\"\")\";\r\n  cnn.Execute \"SELECT \"\"é\"\"\";\r\nX"_qs,
        { u"INSERT INTO t VALUES (\"q\")"_qs, u"SELECT \"é\""_qs, u"X"_qs }, { 1, 2, 3 },
        { u"INSERT INTO t VALUES (\"\"q\"\")\""_qs, u"SELECT \"\"é\"\"\""_qs, u"X"_qs });
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
    row("separator inside a literal is data",
        u"INSERT INTO notes VALUES ('tip;\r\nDELETE FROM victim;\nthen reload.');\r\nX"_qs,
        { u"INSERT INTO notes VALUES ('tip;\r\nDELETE FROM victim;\nthen reload.')"_qs, u"X"_qs },
        { 1, 4 });
    row("separator inside each kind of quote and comment is data",
        u"SELECT \"a;\nb\", `c;\rd`, 'e\\';\n' -- f;\n# g;\r\n/* h;\n */ ;\nX"_qs,
        { u"SELECT \"a;\nb\", `c;\rd`, 'e\\';\n' -- f;\n# g;\r\n/* h;\n */"_qs, u"X"_qs },
        { 1, 8 });
    row("a literal left open runs to the end",
        u"INSERT INTO t VALUES ('a);\r\nDELETE FROM victim;\r\n"_qs,
        { u"INSERT INTO t VALUES ('a);\r\nDELETE FROM victim;\r\n"_qs }, { 1 });
    row("a comment left open runs to the end", u"SELECT 1; /* header;\nALTER TABLE t;\nX"_qs,
        { u"SELECT 1; /* header;\nALTER TABLE t;\nX"_qs }, { 1 });
    row("executable comment cuts inside, a hint does not",
        u"/*!50003 SELECT 1;\nSELECT 2 */;\nSELECT /*+ a;\n */ 3;\nX"_qs,
        { u"/*!50003 SELECT 1"_qs, u"SELECT 2 */"_qs, u"SELECT /*+ a;\n */ 3"_qs, u"X"_qs },
        { 1, 2, 3, 5 });
    row("multi-byte characters beside the separator", u"SELECT 'ü'é;\r\n𝄞;é\n;\nX"_qs,
        { u"SELECT 'ü'é"_qs, u"𝄞é\n"_qs, u"X"_qs }, { 1, 2, 4 },
        { u"SELECT 'ü'é"_qs, u"𝄞;é\n"_qs, u"X"_qs });
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
    row("DELIMITER not opening its line is text",
        u"DELIMITER $$\nSELECT 1$$ DELIMITER ;\nSELECT 2$$\n/* c */ DELIMITER ;\nSELECT 3"_qs,
        { u"SELECT 1"_qs, u"DELIMITER ;\nSELECT 2"_qs, u"/* c */ DELIMITER ;\nSELECT 3"_qs },
        { 2, 2, 4 });
    row("malformed DELIMITER lines are refused, the delimiter stays",
        u"DELIMITER\r\ndelimiter a\\b\r\nDELIMITER 'a b'\r\nDELIMITER 'x\r\nSELECT 1;\r\nSELECT 2"_qs,
        { u"refused (DELIMITER must be followed by a delimiter): DELIMITER"_qs,
            u"refused (A delimiter cannot contain spaces or backslashes): delimiter a\\b"_qs,
            u"refused (A delimiter cannot contain spaces or backslashes): DELIMITER 'a b'"_qs,
            u"refused (The delimiter after DELIMITER lacks its closing quote): DELIMITER 'x"_qs,
            u"SELECT 1"_qs, u"SELECT 2"_qs },
        { 1, 2, 3, 4, 5, 6 });
    // As the command-line client runs them.
    row("several statements in one section text",
        u"DELIMITER $$\nDROP PROCEDURE IF EXISTS p9;\nCREATE PROCEDURE p9() BEGIN SELECT 1; END$$\n"
        "DELIMITER ;\n"_qs,
        { u"DROP PROCEDURE IF EXISTS p9;\nCREATE PROCEDURE p9() BEGIN SELECT 1; END"_qs }, { 2 });
    row("delimiter mid-line and before a comment",
        u"DELIMITER $$\nSELECT 1$$ SELECT 2$$\nSELECT 3$$ -- done\nSELECT 4$$"_qs,
        { u"SELECT 1"_qs, u"SELECT 2"_qs, u"SELECT 3"_qs, u"SELECT 4"_qs }, { 2, 2, 3, 4 });
    row("rest of the DELIMITER line ignored, \\d its short form, any delimiter",
        u"DELIMITER $$ -- custom\nSELECT 1$$\n\\d //\nSELECT 2//\n\\d§\rSELECT '§'§\n\\d ;\nSELECT 3;\nX"_qs,
        { u"SELECT 1"_qs, u"SELECT 2"_qs, u"SELECT '§'"_qs, u"SELECT 3"_qs, u"X"_qs },
        { 2, 4, 6, 8, 9 },
        { u"SELECT 1"_qs, u"SELECT 2"_qs, u"SELECT '§'"_qs, u"SELECT 3"_qs, u"X"_qs });
}

void TestScriptCutter::cut()
{
    QFETCH(QString, script);
    QFETCH(QStringList, statements);
    QFETCH(Lines, lines);
    QFETCH(QStringList, origins);

    const Cut cut = cutOf(script, true);
    QCOMPARE(cut.texts, statements);
    QCOMPARE(cut.lines, lines);
    if (!origins.isEmpty()) {
        const QByteArray utf8 = script.toUtf8();
        QStringList placed;
        for (const auto &[origin, length] : cut.origins)
            placed << QString::fromUtf8(utf8.mid(origin, length));
        QCOMPARE(placed, origins);
    }
}

void TestScriptCutter::agreesWithPlainReference()
{
    const char16_t *const pieces[] = { u"SELECT", u"x", u" ", u"  ", u"\t", u"\r\n", u"\n", u"\r",
        u";", u";\r\n", u";\n", u";\r", u"'", u"\"", u"`", u"\\", u"''", u"--", u"-- ", u"#", u"/*",
        u"*/", u"/*!", u"/*M!", u"/*+", u"-", u"/", u"𝄞", u"é", u"\uFEFF", u"DELIMITER",
        u"delimiter ", u"DELIMITER $$\r\n", u"DELIMITER ;\r\n", u"DELIMITER // -- c\n", u"\\d ;\n",
        u"\\d§\r", u"$$", u"//", u"§", u"$$\r\n", u"$$ # c\n" };
    QRandomGenerator random(20261209);
    for (int round = 0; round < 5000; ++round) {
        QString script;
        const int count = static_cast<int>(random.bounded(40));
        for (int i = 0; i < count; ++i)
            script
                += QString::fromUtf16(pieces[random.bounded(static_cast<int>(std::size(pieces)))]);

        const Cut cut = cutOf(script, false);
        const Cut expected = reference(script);
        if (cut.texts != expected.texts || cut.lines != expected.lines
            || cut.several != expected.several || cut.origins != expected.origins)
            qWarning() << "script:" << script;
        QCOMPARE(cut.texts, expected.texts);
        QCOMPARE(cut.lines, expected.lines);
        QCOMPARE(cut.several, expected.several);
        QCOMPARE(cut.origins, expected.origins);
    }
}

QTEST_APPLESS_MAIN(TestScriptCutter)
#include "tst_scriptcutter.moc"
