#include "ui/StatementMap.h"

#include <QRandomGenerator>
#include <QTest>

class TestStatementMap : public QObject {
    Q_OBJECT
private slots:
    void agreesWithTheWholeCutThroughEdits();
    void anEditIsCutAgainNearItOnly_data();
    void anEditIsCutAgainNearItOnly();
};

namespace {

struct Expected {
    std::vector<StatementMap::Piece> pieces;
    std::vector<ScriptCutter::Span> delimiterLines;
};

// The statements of the whole script, cut in one go.
Expected wholeCut(const QByteArray &script, SqlText::Mode mode)
{
    Expected e;
    ScriptCutter cutter(script, mode);
    qsizetype lead = 0;
    for (Statement s;;) {
        const bool got = cutter.next(&s);
        e.delimiterLines.insert(
            e.delimiterLines.end(), cutter.delimiterLines().begin(), cutter.delimiterLines().end());
        if (!got)
            return e;
        StatementMap::Piece p;
        p.lead = lead;
        p.code = s.codeOrigin;
        p.end = s.origin + s.originLength;
        p.next = lead = cutter.resumePoint().position;
        e.pieces.push_back(p);
    }
}

QString describe(const StatementMap::Piece &p)
{
    return u"[lead %1 code %2 end %3 next %4]"_qs.arg(p.lead).arg(p.code).arg(p.end).arg(p.next);
}

// What a reading of [from, to) must show of the whole cut: every statement
// whose code starts there, as the whole cut has it, and an open last one
// only where the whole cut has one starting so.
QString disagreement(
    const StatementMap::Reading &r, const Expected &e, qsizetype from, qsizetype to, qsizetype size)
{
    const auto same = [](const StatementMap::Piece &a, const StatementMap::Piece &b) {
        return a.lead == b.lead && a.code == b.code && a.end == b.end && a.next == b.next;
    };
    for (size_t i = 0; i < r.pieces.size(); ++i) {
        const StatementMap::Piece &p = r.pieces[i];
        const bool open = r.open && i + 1 == r.pieces.size();
        // Past the stretch an open statement may read otherwise.
        if (open && p.code >= to)
            continue;
        const auto match = std::find_if(e.pieces.begin(), e.pieces.end(),
            [&](const StatementMap::Piece &x) { return x.code == p.code; });
        if (match == e.pieces.end() || match->lead != p.lead || (!open && !same(*match, p)))
            return u"read %1, the whole cut has %2"_qs.arg(
                describe(p), match == e.pieces.end() ? u"none there"_qs : describe(*match));
    }
    for (const StatementMap::Piece &x : e.pieces) {
        const bool shown = std::any_of(r.pieces.begin(), r.pieces.end(),
            [&](const StatementMap::Piece &p) { return p.code == x.code; });
        if (x.code >= from && x.code < to && !shown)
            return u"missed %1"_qs.arg(describe(x));
    }
    if (!r.pieces.empty() && r.pieces.front().lead > from)
        return u"starts at %1, after %2"_qs.arg(r.pieces.front().lead).arg(from);
    for (const ScriptCutter::Span &line : e.delimiterLines) {
        const bool shown = std::any_of(r.delimiterLines.begin(), r.delimiterLines.end(),
            [&](const ScriptCutter::Span &l) { return l.from == line.from && l.to == line.to; });
        if (line.from >= from && line.to < to && line.to < size && !shown)
            return u"missed the DELIMITER line at %1"_qs.arg(line.from);
    }
    return {};
}

} // namespace

// A script edited at random, with the map told of each edit and asked to
// cut on and read stretches in between, in steps of a few bytes, so that
// steps end inside every kind of text: each reading agrees with a whole cut
// of the script as it stands then.
void TestStatementMap::agreesWithTheWholeCutThroughEdits()
{
    const char *const pieces[] = { "SELECT 1", "x", " ", "  ", "\t", "\r\n", "\n", "\r", ";",
        ";\r\n", ";\n", ";\r", ";\r\n", ";\n", "'", "\"", "`", "\\", "''", "--", "-- ", "#", "/*",
        "*/", "/*!50003 ", "/*M!", "-", "/", "é", "\xEF\xBB\xBF", "DELIMITER $$\r\n",
        "DELIMITER ;\r\n", "DELIMITER\n", "\\d //\n", "$$", "$$\r\n", "$$ # c\n", "//", "# c\r",
        "-- c\n", "cnn.Execute \"SELECT 1\"\r\n", "cnn.Execute \"A ;\";\n", "\f" };
    QByteArray script;
    const StatementMap::Text text { [&] { return script.size(); },
        [&](qsizetype position, qsizetype length) {
            Q_UNUSED(length);
            return script.constData() + position;
        } };
    QRandomGenerator random(20270115);
    const auto bounded = [&](qsizetype n) { return qsizetype(random.bounded(int(n))); };
    const auto piece = [&] { return QByteArray(pieces[bounded(std::size(pieces))]); };

    for (int round = 0; round < 400; ++round) {
        const SqlText::Mode mode { round % 3 == 1, round % 5 == 2 };
        StatementMap map(text, mode, { 1 + bounded(12), 1 + bounded(24) });
        script.clear();
        for (int i = bounded(30); i > 0; --i)
            script += piece();
        map.reset();
        for (int step = 0; step < 40; ++step) {
            const qsizetype at = bounded(script.size() + 1);
            if (random.bounded(3) == 0 && at < script.size()) {
                const qsizetype length = 1 + bounded(std::min<qsizetype>(script.size() - at, 12));
                script.remove(at, length);
                map.removed(at, length);
            } else {
                QByteArray inserted;
                for (int i = 1 + bounded(3); i > 0; --i)
                    inserted += piece();
                script.insert(at, inserted);
                map.inserted(at, inserted.size());
            }
            const qsizetype size = script.size();
            map.reach(bounded(size + 1), bounded(40));
            // From anywhere to a line's start, as a view asks.
            const qsizetype from = bounded(size + 1);
            qsizetype to = from + bounded(size - from + 1);
            while (to < size && to > 0 && !SqlText::isLineBreak(script[to - 1]))
                ++to;
            const Expected expected = wholeCut(script, mode);
            const bool reached = map.reach(from, std::numeric_limits<qsizetype>::max());
            const QString wrong = disagreement(map.read(from, to), expected, from, to, size);
            if (!reached || !wrong.isEmpty())
                qWarning() << "script:" << script << "read from" << from << "to" << to;
            QVERIFY(reached);
            QVERIFY2(wrong.isEmpty(), qPrintable(wrong));
        }
        const QString whole = disagreement(map.read(0, script.size()), wholeCut(script, mode), 0,
            script.size() + 1, script.size() + 1);
        QVERIFY2(whole.isEmpty(), qPrintable(whole));
    }
}

void TestStatementMap::anEditIsCutAgainNearItOnly_data()
{
    QTest::addColumn<QByteArray>("typed");
    QTest::addColumn<bool>("linesUp"); // the statements after it stay as they were
    QTest::newRow("a letter") << QByteArray("x") << true;
    QTest::newRow("a line break") << QByteArray("\r\n") << true;
    QTest::newRow("a statement's end") << QByteArray(";\r\nSELECT 2 ") << true;
    QTest::newRow("DELIMITER ; where it is ;")
        << QByteArray("INTO t VALUES (0);\r\nDELIMITER ;\r\n") << true;
    QTest::newRow("an unclosed quote") << QByteArray("'") << false;
    QTest::newRow("another delimiter")
        << QByteArray("INTO t VALUES (0);\r\nDELIMITER $$\r\n") << false;
}

// After an edit in the middle of a long script, the cut from the point
// before it lines up with the statements after it within a few points,
// unless the edit changes how everything after it reads.
void TestStatementMap::anEditIsCutAgainNearItOnly()
{
    QFETCH(QByteArray, typed);
    QFETCH(bool, linesUp);
    QByteArray script;
    for (int i = 0; i < 2000; ++i)
        script += "INSERT INTO t VALUES (" + QByteArray::number(i) + ", 'x');\r\n";
    const StatementMap::Text text { [&] { return script.size(); },
        [&](qsizetype position, qsizetype) { return script.constData() + position; } };
    StatementMap map(text, {}, { 256, 1024 });
    QVERIFY(map.reach(script.size(), script.size() * 2));
    const qsizetype at = script.indexOf("INSERT INTO t VALUES (500,") + 7;
    script.insert(at, typed);
    map.inserted(at, typed.size());
    QCOMPARE(map.reach(script.size(), 4096), linesUp);
    QVERIFY(map.reach(script.size(), std::numeric_limits<qsizetype>::max()));
    const Expected expected = wholeCut(script, {});
    const QString wrong = disagreement(map.read(script.size() - 2000, script.size()), expected,
        script.size() - 2000, script.size(), script.size());
    QVERIFY2(wrong.isEmpty(), qPrintable(wrong));
}

QTEST_APPLESS_MAIN(TestStatementMap)
#include "tst_statementmap.moc"
