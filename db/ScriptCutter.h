#pragma once

#include <QByteArray>
#include <QByteArrayView>
#include <QString>
#include <QStringView>

#include <vector>

// A script, as UTF-8 bytes, cleaned and cut into the statements that go to
// the server.
//
// Cleaning drops a leading byte order mark and every "cnn.Execute" outside
// quoted text and comments (with the double quotes around a statement pasted
// from code after it). Under the standard delimiter a statement ends at a ";"
// outside quoted text and comments that a line break (CR LF, LF or CR)
// follows at once; a cut statement loses its ";" outside quoted text and
// comments, and the last piece goes as it stands. Pieces holding nothing but
// white space and comments are dropped.
//
// A DELIMITER line (or its short form \d) that opens its line where no
// statement has begun sets another delimiter, as the command-line client
// does: a statement then ends wherever the delimiter stands outside quoted
// text and comments, nothing is removed, and the text may hold several
// statements. "DELIMITER ;" restores the standard rule. The line itself is no
// statement, unless it is malformed: then it is one that carries its refusal
// and is never sent.
//
// Time and memory are linear in the script's length: the script is cleaned
// in place, and statements are ranges of that one buffer.
class CutScript {
public:
    struct Statement {
        qsizetype start = 0; // in buffer()
        qsizetype length = 0;
        // Where the statement stands in the script as given (before cleaning),
        // in bytes, up to its delimiter: what an editor marks.
        qsizetype origin = 0;
        qsizetype originLength = 0;
        int line = 1; // 1-based line of the script where it starts
        // 1-based in the script's refusals, 0 for a statement to send; an index
        // keeps statements small, as scripts hold millions of them.
        qint32 refusal = 0;
        // Cut under a delimiter of the script's own: the text may hold several
        // statements, which the session must accept in one text.
        bool several = false;
    };

    static CutScript cut(QByteArray script);
    // The same for text; the statements' origins are then in its UTF-8 form.
    static CutScript cut(QStringView script) { return cut(script.toUtf8()); }

    qsizetype size() const { return static_cast<qsizetype>(m_statements.size()); }
    bool isEmpty() const { return m_statements.empty(); }
    const Statement &statement(qsizetype i) const { return m_statements[static_cast<size_t>(i)]; }
    QByteArrayView text(qsizetype i) const
    {
        const Statement &s = statement(i);
        return QByteArrayView(m_buffer).sliced(s.start, s.length);
    }
    // Why statement i cannot be sent; empty for a statement to send.
    QString refusal(qsizetype i) const
    {
        const qint32 r = statement(i).refusal;
        return r == 0 ? QString() : m_refusals[static_cast<size_t>(r - 1)];
    }
    const QByteArray &buffer() const { return m_buffer; }

private:
    class Cutter;

    QByteArray m_buffer;
    std::vector<Statement> m_statements;
    std::vector<QString> m_refusals;
};
