#include "db/FileScript.h"
#include "db/ScriptCutter.h"

#include <QRandomGenerator>
#include <QRegularExpression>
#include <QStringDecoder>
#include <QTemporaryDir>
#include <QTest>

#include <optional>

using Lines = QList<int>;

class TestScriptCutter : public QObject {
    Q_OBJECT
private slots:
    void cut_data();
    void cut();
    void agreesWithPlainReference();
    void fromDiskStopsAtBadBytes();
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
    QList<qsizetype> resumeMismatch; // statements a cut gone on from its point disagrees on
};

// The two statements that set the mode in these scripts, and the mode a
// statement whose code starts at `code` leaves, for the cutter and the
// reference alike.
constexpr char16_t kModeOn[] = u"SET sql_mode='NO_BACKSLASH_ESCAPES'";
constexpr char16_t kModeOff[] = u"SET sql_mode=''";
bool switchedMode(QStringView code, bool noBackslashEscapes)
{
    if (code.startsWith(kModeOn))
        return true;
    return code.startsWith(kModeOff) ? false : noBackslashEscapes;
}

// The cutting rules written the slow, plain way: copies instead of offsets,
// characters instead of bytes, and regular expressions instead of state
// machines for quoted text, comments and DELIMITER lines. Pasted code is
// left out. The mode switches after a statement that sets it, as a run
// switches it.
Cut reference(const QString &script, bool noBackslashEscapes)
{
    static const QRegularExpression escaping(uR"('(?:\\[\s\S]|''|[^'\\])*'?)"
                                             uR"(|"(?:\\[\s\S]|""|[^"\\])*"?)"
                                             uR"(|`(?:``|[^`])*`?)"
                                             uR"(|((?:--(?=[\x00-\x20]|\z)|#)[^\r\n]*))"
                                             uR"(|(/\*(?!!|M!)[\s\S]*?(?:\*/|\z))|[\s\S])"_qs);
    static const QRegularExpression plain(uR"('(?:''|[^'])*'?|"(?:""|[^"])*"?)"
                                          uR"(|`(?:``|[^`])*`?)"
                                          uR"(|((?:--(?=[\x00-\x20]|\z)|#)[^\r\n]*))"
                                          uR"(|(/\*(?!!|M!)[\s\S]*?(?:\*/|\z))|[\s\S])"_qs);
    const QRegularExpression *token = noBackslashEscapes ? &plain : &escaping;
    static const QRegularExpression command(u"(?i:delimiter)(?=[ \t\f\v\r\n]|\\z)|\\\\d"_qs);
    static const QRegularExpression opensLine(u"(?:^|[\r\n])[ \t\f\v]*\\z"_qs);
    static const QRegularExpression argument(
        uR"re(^[ \t\f\x0b]*(?:'([^']*)'|"([^"]*)"|`([^`]*)`|([^ \t\f\x0b'"`][^ \t\f\x0b]*)|(['"`].*)|))re"_qs);
    static const QRegularExpression afterDelimiter(
        uR"([ \t\f\x0b]*(?:(?:#|--(?=[\x00-\x20]|\z))[^\r\n]*)?(?:\r\n|\r|\n|\z))"_qs);
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
    // One token of t at i. An executable comment's opener and closer are
    // code, and so is what lies between.
    struct Token {
        qsizetype end;
        QString text;
        bool comment;
        bool lineComment;
    };
    static const QRegularExpression opener(u"/\\*M?!"_qs);
    const auto tokenAt = [&](const QString &t, qsizetype i, bool &inExecutable) {
        if (inExecutable && QStringView(t).sliced(i).startsWith(u"*/")) {
            inExecutable = false;
            return Token { i + 2, u"*/"_qs, false, false };
        }
        if (const QRegularExpressionMatch o = at(opener, t, i); !inExecutable && o.hasMatch()) {
            inExecutable = true;
            return Token { o.capturedEnd(), o.captured(), false, false };
        }
        const QRegularExpressionMatch m = at(*token, t, i);
        return Token { m.capturedEnd(), m.captured(),
            m.capturedLength(1) > 0 || m.capturedLength(2) > 0, m.capturedLength(1) > 0 };
    };
    const auto isNoise = [](const Token &t) {
        return t.comment || QStringLiteral(" \t\f\v\r\n").contains(t.text);
    };
    const auto firstContent = [&](qsizetype i, qsizetype to, bool &inExecutable) {
        while (i < to) {
            bool after = inExecutable;
            const Token t = tokenAt(s, i, after);
            if (!isNoise(t))
                break;
            inExecutable = after;
            i = t.end;
        }
        return std::min(i, to);
    };
    Cut cut;
    auto add = [&](const QString &text, qsizetype from, qsizetype to, bool several) {
        cut.texts << text;
        bool inExecutable = false;
        cut.lines << lineOf(firstContent(from, s.size(), inExecutable));
        cut.several << several;
        cut.origins << std::pair(bytesTo(from), bytesTo(to) - bytesTo(from));
    };
    QString delimiter = u";"_qs;
    for (qsizetype from = 0; from < s.size();) {
        bool inExecutable = false;
        const qsizetype head = firstContent(from, s.size(), inExecutable);
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
                && !word.contains(QRegularExpression(u"[ \t\f\v\\\\]"_qs))) {
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
        for (qsizetype i = head; i < s.size(); i = tokenAt(s, i, inExecutable).end) {
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
        bool afterLineComment = false;
        inExecutable = false;
        for (qsizetype i = 0; i < piece.size();) {
            const Token t = tokenAt(piece, i, inExecutable);
            i = t.end;
            if (cutHere && t.text == u";")
                continue;
            kept += t.text;
            // The server ends a line comment only at LF.
            if (afterLineComment && t.text == u"\r" && !piece.mid(i).startsWith(u'\n'))
                kept += u'\n';
            afterLineComment = t.lineComment;
        }
        // What is sent, read on its own as the server reads it.
        bool content = false;
        inExecutable = false;
        for (qsizetype i = 0; !content && i < kept.size();) {
            const Token t = tokenAt(kept, i, inExecutable);
            content = !isNoise(t);
            i = t.end;
        }
        if (content) {
            add(kept, start, stop, delimiter != u";");
            noBackslashEscapes = switchedMode(QStringView(s).sliced(head), noBackslashEscapes);
            token = noBackslashEscapes ? &plain : &escaping;
        }
        from = next;
    }
    return cut;
}

// Everything a source hands on, one line a statement.
QStringList recordsOf(StatementSource &source)
{
    QStringList records;
    for (Statement s; source.next(&s);)
        records << u"%1 %2 %3+%4 %5 %6 %7 [%8]"_qs.arg(s.index)
                       .arg(s.line)
                       .arg(s.origin)
                       .arg(s.originLength)
                       .arg(s.codeOrigin)
                       .arg(s.refusal)
                       .arg(s.several)
                       .arg(QString::fromUtf8(source.text().toByteArray().toPercentEncoding()));
    return records;
}

// The same script read from a file a few bytes at a time.
QStringList recordsFromDisk(const QByteArray &script)
{
    QTemporaryDir dir;
    const QString path = dir.filePath(u"s.sql"_qs);
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly) || file.write(script) != script.size())
        return { u"cannot write"_qs };
    file.close();
    FileScript::setWindowBytes(16);
    FileScript disk({ path });
    const QStringList records = disk.open() ? recordsOf(disk) : QStringList { disk.error() };
    FileScript::setWindowBytes();
    return disk.stopped().isEmpty() ? records : records + QStringList { disk.stopped() };
}

// What the cutter gives, as the tests show it.
// Statements that set the mode switch it for what follows, as a run does.
Cut cutOf(const QString &script, bool withReason, bool noBackslashEscapes = false)
{
    const QByteArray bytes = script.toUtf8();
    ScriptCutter cutter(bytes, SqlText::Mode { noBackslashEscapes, false });
    Cut shown;
    // Each statement cut again from where the cut said it could go on.
    std::optional<Statement> resumed;
    QByteArray resumedText;
    for (Statement s; cutter.next(&s);) {
        if (resumed
            && (resumed->origin != s.origin || resumed->line != s.line || resumed->index != s.index
                || resumedText != cutter.text()))
            shown.resumeMismatch << s.index;
        // A byte order mark is a character here, wherever it stands.
        QStringDecoder utf8(QStringDecoder::Utf8, QStringDecoder::Flag::ConvertInitialBom);
        const QString text = utf8(cutter.text());
        const QString code = QString::fromUtf8(bytes.sliced(s.codeOrigin));
        const bool mode = switchedMode(code, cutter.mode().noBackslashEscapes);
        if (mode != cutter.mode().noBackslashEscapes) {
            // The runner reads the mode again only after such a statement.
            if (!s.changesMode)
                qWarning() << "not taken as changing the mode:" << code.left(60);
            cutter.setMode({ mode, false });
        }
        const CutPoint point = cutter.resumePoint();
        ScriptCutter again(bytes.sliced(point.position), point, cutter.mode());
        Statement r;
        resumed = again.next(&r) ? std::optional(r) : std::nullopt;
        resumedText = again.text().toByteArray();
        const QString refusal = s.refusal;
        shown.texts << (refusal.isEmpty() ? text
                : withReason              ? u"refused (%1): "_qs.arg(refusal) + text
                                          : u"refused: "_qs + text);
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
        { u"cnn.Execute \"INSERT INTO t VALUES (1)\""_qs, u"cnn.Execute \"SELECT 2\""_qs });
    row("pasted doubled quote becomes one",
        u"cnn.Execute \"INSERT INTO t VALUES (\"\"q\"\")\";\r\n  cnn.Execute \"SELECT \"\"é\"\"\";\r\nX"_qs,
        { u"INSERT INTO t VALUES (\"q\")"_qs, u"SELECT \"é\""_qs, u"X"_qs }, { 1, 2, 3 },
        { u"cnn.Execute \"INSERT INTO t VALUES (\"\"q\"\")\""_qs,
            u"cnn.Execute \"SELECT \"\"é\"\"\""_qs, u"X"_qs });
    // Any other shape is the script's own text, sent as it stands.
    row("pasted without quotes", u"cnn.Execute SELECT 1;\r\n"_qs, { u"cnn.Execute SELECT 1"_qs },
        { 1 });
    row("pasted with unterminated quote", u"cnn.Execute \"SELECT 1\r\nSELECT 2"_qs,
        { u"cnn.Execute \"SELECT 1\r\nSELECT 2"_qs }, { 1 });
    row("prefix in a name, mid-line, or before more text is the script's own",
        u"DELETE FROM cnn.ExecutedJobs WHERE id = 3;\r\nSELECT 1; cnn.Execute \"x\";\r\n"
        "cnn.Execute \"SELECT 2\" AND 3;\r\n  cnn.Execute\t\"SELECT 4\" ;\t\n"_qs,
        { u"DELETE FROM cnn.ExecutedJobs WHERE id = 3"_qs, u"SELECT 1 cnn.Execute \"x\""_qs,
            u"cnn.Execute \"SELECT 2\" AND 3"_qs, u"SELECT 4"_qs },
        { 1, 2, 3, 4 });
    row("pasted lines inside a statement and a section",
        u"SELECT 1,\ncnn.Execute \"2 -- c;\"\n;\nDELIMITER $$\ncnn.Execute \"SELECT 3\"\n$$\n"_qs,
        { u"SELECT 1,\n2 -- c;\n"_qs, u"SELECT 3\n"_qs }, { 1, 5 });
    row("prefix in other case is kept", u"CNN.EXECUTE \"x\""_qs, { u"CNN.EXECUTE \"x\""_qs },
        { 1 });

    // Regressions: data that used to be changed on the way to the server.
    row("double quotes outside pasted code kept",
        u"UPDATE t SET name = \"x\";\r\nSELECT 'say \"hi\"'"_qs,
        { u"UPDATE t SET name = \"x\""_qs, u"SELECT 'say \"hi\"'"_qs }, { 1, 2 });
    row("multi-line statement keeps its line breaks", u"SELECT a\r\nFROM t;\r\nSELECT 2"_qs,
        { u"SELECT a\r\nFROM t"_qs, u"SELECT 2"_qs }, { 1, 3 });
    // A statement's line is where its code starts, as the command-line client counts.
    row("comment line does not swallow the statement", u"-- note\r\nSELECT 1;\r\nSELECT 2"_qs,
        { u"-- note\r\nSELECT 1"_qs, u"SELECT 2"_qs }, { 2, 3 });
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

    // Line comments that a lone CR ends: the server ends them only at LF.
    row("lone CR ends a comment before code, in code and in a section",
        u"-- step 2\rDELETE FROM rw WHERE id = 1;\rDELETE FROM rv # purge\rWHERE id = 1;\r"
        "DELIMITER $$\rCREATE PROCEDURE p() BEGIN -- c\rSELECT 1; END$$\r"
        "SELECT '-- x\r', /* # y\r */ 2$$"_qs,
        { u"-- step 2\r\nDELETE FROM rw WHERE id = 1"_qs,
            u"DELETE FROM rv # purge\r\nWHERE id = 1"_qs,
            u"CREATE PROCEDURE p() BEGIN -- c\r\nSELECT 1; END"_qs,
            u"SELECT '-- x\r', /* # y\r */ 2"_qs },
        { 2, 3, 6, 8 },
        { u"-- step 2\rDELETE FROM rw WHERE id = 1"_qs, u"DELETE FROM rv # purge\rWHERE id = 1"_qs,
            u"CREATE PROCEDURE p() BEGIN -- c\rSELECT 1; END"_qs,
            u"SELECT '-- x\r', /* # y\r */ 2"_qs });
    row("form feed and vertical tab are blanks", u"SELECT 1;\r\n\f;\r\n\v -- c\n;\r\n\fSELECT 2"_qs,
        { u"SELECT 1"_qs, u"\fSELECT 2"_qs }, { 1, 5 });
    // The session's backslash rule, switched by a statement that sets it.
    row("backslash before a quote, with and without the mode",
        u"SELECT 'a\\';\nb';\nSET sql_mode='NO_BACKSLASH_ESCAPES';\n"
        "INSERT INTO paths VALUES (1, 'C:\\');\nSELECT \"x\\\";\nSET sql_mode='';\nSELECT 'a\\'';\nX"_qs,
        { u"SELECT 'a\\';\nb'"_qs, u"SET sql_mode='NO_BACKSLASH_ESCAPES'"_qs,
            u"INSERT INTO paths VALUES (1, 'C:\\')"_qs, u"SELECT \"x\\\""_qs, u"SET sql_mode=''"_qs,
            u"SELECT 'a\\''"_qs, u"X"_qs },
        { 1, 3, 4, 5, 6, 7, 8 });
    row("executable comment's end is found, a hint's too",
        u"/*!40101 SET @a = 1 */ /* -- */;\n/*!*/*/-- c\rSELECT 1;\nX"_qs,
        { u"/*!40101 SET @a = 1 */ /* -- */"_qs, u"/*!*/*/-- c\r\nSELECT 1"_qs, u"X"_qs },
        { 1, 2, 4 });

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
        u"\\d§\r", u"$$", u"//", u"§", u"$$\r\n", u"$$ # c\n", u"\f", u"\v", u"# c\r", u"-- c\r",
        u"\\'", u"'\\", kModeOn, kModeOff, u";\n", u";\n" };
    QRandomGenerator random(20261209);
    for (int round = 0; round < 5000; ++round) {
        QString script;
        const int count = static_cast<int>(random.bounded(40));
        for (int i = 0; i < count; ++i)
            script
                += QString::fromUtf16(pieces[random.bounded(static_cast<int>(std::size(pieces)))]);

        const bool startMode = round % 2 == 1;
        const Cut cut = cutOf(script, false, startMode);
        const Cut expected = reference(script, startMode);
        if (cut.texts != expected.texts || cut.lines != expected.lines
            || cut.several != expected.several || cut.origins != expected.origins
            || !cut.resumeMismatch.isEmpty())
            qWarning() << "script:" << script << "starting with NO_BACKSLASH_ESCAPES:" << startMode
                       << "\ncut:" << cut.texts << cut.lines << "\nreference:" << expected.texts
                       << expected.lines;
        QCOMPARE(cut.texts, expected.texts);
        QCOMPARE(cut.lines, expected.lines);
        QCOMPARE(cut.several, expected.several);
        QCOMPARE(cut.origins, expected.origins);
        QCOMPARE(cut.resumeMismatch, QList<qsizetype>());
        // Read from disk a window at a time, cut short and cut again at each
        // window's end, the script cuts as it does in memory.
        if (round % 10 == 0) {
            ScriptCutter memory(script.toUtf8());
            QCOMPARE(recordsFromDisk(script.toUtf8()), recordsOf(memory));
        }
    }
}

// Bytes that are not UTF-8, or a NUL, stop a run from disk at their line,
// after the statements before them.
void TestScriptCutter::fromDiskStopsAtBadBytes()
{
    for (const QByteArray &bad : { QByteArray("\xC3("), QByteArray("\0", 1) }) {
        const QStringList records = recordsFromDisk(
            "SELECT 1;\r\nSELECT 2;\r\n-- note\r\nSELECT '" + bad + "';\r\nSELECT 4");
        QCOMPARE(records.size(), 3);
        QVERIFY(records[1].startsWith(u"1 2 "_qs));
        QCOMPARE(records[2],
            u"Bytes that are not UTF-8 text, or a NUL: the run stopped at line 4, after the "
            "statements before it."_qs);
    }
}

QTEST_APPLESS_MAIN(TestScriptCutter)
#include "tst_scriptcutter.moc"
