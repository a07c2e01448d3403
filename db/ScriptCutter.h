#pragma once

#include "db/SqlText.h"

#include <QByteArray>
#include <QByteArrayView>
#include <QString>
#include <QStringView>

#include <vector>

// One statement of a script, as the cut hands it on: where it stands in the
// script as given, and what kind of statement its text is. Small, since a
// run's listeners are told about each of millions.
struct Statement {
    qsizetype index = 0; // 0-based, in the order of the script
    // Where it stands in the script as given, in bytes, up to its
    // delimiter: what an editor marks.
    qsizetype origin = 0;
    qsizetype originLength = 0;
    // Where its code starts in the script as given, after the blank lines
    // and comments before it; a statement's line is that one.
    qsizetype codeOrigin = 0;
    int line = 1; // 1-based
    qsizetype length = 0; // of the text sent
    // Why it cannot be sent; empty for a statement to send.
    QString refusal;
    // Cut under a delimiter of the script's own: the text may hold several
    // statements, which the session must accept in one text.
    bool several = false;
    // Its answer can only be a plain OK or error packet, so it may be sent
    // before earlier answers have been read.
    bool withoutRows = false;
    // It may change the session's sql_mode, and so how what follows reads.
    bool changesMode = false;
    // Its code starts in a line pasted from code, unwrapped.
    bool pasted = false;
};

// Where a cut may go on from: the start of a statement, with what the cut
// knew there.
struct CutPoint {
    qsizetype position = 0; // in the script
    QByteArray delimiter = ";";
    int line = 1;
    qsizetype index = 0; // of the statement that starts there
    bool lineStart = true; // only blanks stand before it on its line
};

// Statements for a run, cut as the runner asks for them.
class StatementSource {
public:
    virtual ~StatementSource() = default;
    // Cuts the next statement into *out; false at the end, or when the
    // script cannot be read on (stopped() says why).
    virtual bool next(Statement *out) = 0;
    // The text of the statement next() gave last, valid until it is called again.
    virtual QByteArrayView text() const = 0;
    // How the statements from the next one on read.
    virtual void setMode(SqlText::Mode mode) = 0;
    virtual SqlText::Mode mode() const = 0;
    // Why the script could not be read to its end; empty when it was.
    virtual QString stopped() const { return {}; }
};

// Cuts a script, as UTF-8 bytes, into the statements that go to the server,
// one at a time as the runner asks for them, each read as the server will
// read it under the session's mode at that point.
//
// A leading byte order mark is no part of the script. Under the standard
// delimiter a statement ends at a ";" in code that a line break (CR LF, LF
// or CR) follows at once; a cut statement loses its ";" in code, and the
// last piece goes as it stands. Pieces holding nothing but white space and
// comments are dropped. A line pasted from code, "cnn.Execute" and a
// double-quoted statement alone on its line, is that statement.
//
// A DELIMITER line (or its short form \d) that opens its line where no
// statement has begun sets another delimiter, as the command-line client
// does: a statement then ends wherever the delimiter stands in code, nothing
// is removed, and the text may hold several statements. "DELIMITER ;"
// restores the standard rule. The line itself is no statement, unless it is
// malformed: then it is one that carries its refusal and is never sent.
//
// A # or -- comment that a lone CR ends gets an LF after that CR in the text
// sent: the server ends such a comment only at LF, and would read the line
// after it as comment too.
//
// Time is linear in the script's length; the cutter holds the script and
// the text of one statement.
class ScriptCutter final : public StatementSource {
public:
    explicit ScriptCutter(QByteArray script, SqlText::Mode mode = {});
    // Goes on from `from`, a point an earlier cut of the same script gave:
    // `rest` holds the script's bytes from there on (or as many as are to be
    // cut), and every position reported is in the whole script. A cut
    // from the start skips a byte order mark; spaces at the end are trimmed
    // as the script's only when `rest` runs to the script's end.
    ScriptCutter(
        QByteArray rest, const CutPoint &from, SqlText::Mode mode = {}, bool toTheEnd = true);
    ScriptCutter(const ScriptCutter &) = delete;
    ScriptCutter &operator=(const ScriptCutter &) = delete;

    void setMode(SqlText::Mode mode) override { m_mode = mode; }
    SqlText::Mode mode() const override { return m_mode; }
    bool next(Statement *out) override;
    QByteArrayView text() const override { return m_text; }
    // The script's size in bytes, and how far the cut has read it.
    qsizetype size() const { return m_script.size(); }
    qsizetype position() const { return m_base + m_pos; }
    // Where the statement after the one next() gave last starts.
    CutPoint resumePoint();
    // The DELIMITER lines the last next() went past, before the statement it
    // gave (or, when it gave none, up to the end), each from its first
    // letter to its line break: no statements, yet part of how the script
    // runs, so an editor shows them.
    struct Span {
        qsizetype from;
        qsizetype to;
    };
    const std::vector<Span> &delimiterLines() const { return m_delimiterLines; }

    // The statements of a whole script under one mode.
    static qsizetype count(QByteArray script, SqlText::Mode mode = {});

private:
    // A change the text sent has against the script: bytes [at, at + drop)
    // left out, or an LF put in at at.
    struct Edit {
        qsizetype at;
        qsizetype drop; // 0 for an LF put in
    };
    struct Piece;

    qsizetype firstContent(qsizetype from, SqlText::Reader &reader);
    Piece scanStandard(qsizetype from, SqlText::Reader &reader);
    Piece scanCustom(qsizetype from, SqlText::Reader &reader);
    void afterComment(qsizetype commentStart, qsizetype commentEnd);
    bool unwrapPasted(qsizetype at);
    bool unwrapAt(qsizetype at);
    qsizetype skipStretch(qsizetype i, SqlText::Reader &reader);
    bool opensLine(qsizetype at) const;
    void findPasted(qsizetype from);
    bool delimiterCommand(qsizetype head, Statement *out);
    int lineOf(qsizetype at);
    void trimSpaces(qsizetype &from, qsizetype &to) const;

    QByteArray m_script; // pasted lines are unwrapped in place
    qsizetype m_base = 0; // where m_script starts in the script
    bool m_baseLineStart = true;
    char *m_data = nullptr;
    qsizetype m_begin = 0;
    qsizetype m_end = 0;
    qsizetype m_pos = 0;
    SqlText::Mode m_mode;
    QByteArray m_delimiter = ";";
    qsizetype m_index = 0;
    int m_line = 1;
    qsizetype m_counted = 0; // line breaks are counted up to here
    // The next place where a pasted line may start; m_end when none.
    qsizetype m_pasted = 0;
    std::vector<Edit> m_edits; // of the statement being cut, in order
    std::vector<Span> m_delimiterLines;
    QByteArray m_scratch; // its text when edited
    QByteArrayView m_text;
};

// A whole script cut under one mode, the statements and their texts kept:
// what tests and measurements look at.
class CutScript {
public:
    static CutScript cut(QByteArray script, SqlText::Mode mode = {});
    static CutScript cut(QStringView script, SqlText::Mode mode = {})
    {
        return cut(script.toUtf8(), mode);
    }

    qsizetype size() const { return static_cast<qsizetype>(m_statements.size()); }
    bool isEmpty() const { return m_statements.empty(); }
    const Statement &statement(qsizetype i) const { return m_statements[static_cast<size_t>(i)]; }
    QByteArrayView text(qsizetype i) const
    {
        return QByteArrayView(m_texts).sliced(
            m_starts[static_cast<size_t>(i)], statement(i).length);
    }
    QString refusal(qsizetype i) const { return statement(i).refusal; }

private:
    std::vector<Statement> m_statements;
    std::vector<qsizetype> m_starts;
    QByteArray m_texts;
};
