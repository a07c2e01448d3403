#pragma once

#include <QString>
#include <QStringView>

#include <vector>

// A script cleaned and cut into the statements that go to the server.
//
// Cleaning drops a leading byte order mark and every "cnn.Execute" outside
// quoted text and comments (with the double quotes around a statement pasted
// from code after it); cutting happens at each ";" CR LF. A cut statement
// loses its ";" outside quoted text and comments; the last piece goes as it
// stands. Pieces holding nothing but white space and comments are dropped.
//
// A DELIMITER line where no statement has begun sets another delimiter: a
// statement then ends where it stands outside quoted text and comments at
// the end of a line, and nothing else is removed; "DELIMITER ;" restores the
// standard rule. The line itself is no statement, unless it is malformed: then
// it is one that carries its refusal and is never sent.
//
// Time and memory are linear in the script's length: statements are ranges
// of one cleaned buffer.
class CutScript {
public:
    struct Statement {
        qsizetype start = 0; // in buffer()
        qsizetype length = 0;
        int line = 1; // 1-based line of the script where it starts
        // 1-based in the script's refusals, 0 for a statement to send; an index
        // keeps statements small, as scripts hold millions of them.
        qint32 refusal = 0;
    };

    static CutScript cut(QStringView script);

    qsizetype size() const { return static_cast<qsizetype>(m_statements.size()); }
    bool isEmpty() const { return m_statements.empty(); }
    const Statement &statement(qsizetype i) const { return m_statements[static_cast<size_t>(i)]; }
    QStringView text(qsizetype i) const
    {
        const Statement &s = statement(i);
        return QStringView(m_buffer).mid(s.start, s.length);
    }
    // Why statement i cannot be sent; empty for a statement to send.
    QString refusal(qsizetype i) const
    {
        const qint32 r = statement(i).refusal;
        return r == 0 ? QString() : m_refusals[static_cast<size_t>(r - 1)];
    }
    const QString &buffer() const { return m_buffer; }

private:
    void refuse(Statement statement, QString refusal);

    QString m_buffer;
    std::vector<Statement> m_statements;
    std::vector<QString> m_refusals;
};
