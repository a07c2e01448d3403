#pragma once

#include <QChar>
#include <QStringView>

// How SQL text falls into quoted strings, comments and code, as far as
// cutting a script and telling what a statement is care. Inline: the cutter
// runs it over every character of a script.
namespace SqlText {

inline bool isLineBreak(char16_t c)
{
    return c == u'\r' || c == u'\n';
}

inline bool isWhite(char16_t c)
{
    return c == u' ' || c == u'\t' || c == u'\r' || c == u'\n';
}

// What a stretch of SQL text is.
enum class Token { Code, Quoted, Comment };

inline bool opensToken(char16_t c)
{
    return c == u'\'' || c == u'"' || c == u'`' || c == u'#' || c == u'-' || c == u'/';
}

// The token of data[0, n) that starts at r where opensToken holds.
inline Token nextQuotedOrComment(const QChar *data, qsizetype r, qsizetype n, qsizetype *end)
{
    const char16_t c = data[r].unicode();
    qsizetype i = r + 1;
    auto at = [&](qsizetype k) -> char16_t { return k < n ? data[k].unicode() : 0; };
    if (c == u'\'' || c == u'"' || c == u'`') {
        while (i < n) {
            const char16_t x = at(i);
            if (x == u'\\' && c != u'`' && i + 1 < n) {
                i += 2;
            } else if (x == c && at(i + 1) == c) {
                i += 2;
            } else {
                ++i;
                if (x == c)
                    break;
            }
        }
        *end = i;
        return Token::Quoted;
    }
    if (c == u'#' || (c == u'-' && at(r + 1) == u'-' && at(r + 2) <= u' ')) {
        while (i < n && !isLineBreak(at(i)))
            ++i;
        *end = i;
        return Token::Comment;
    }
    if (c == u'/' && at(r + 1) == u'*' && at(r + 2) != u'!'
        && !(at(r + 2) == u'M' && at(r + 3) == u'!')) {
        const qsizetype close = QStringView(data, n).indexOf(u"*/", r + 2);
        *end = close < 0 ? n : close + 2;
        return Token::Comment;
    }
    *end = i;
    return Token::Code;
}

// The token of data[0, n) that starts at r, and in *end where it stops: a
// quoted string up to its closing quote, a comment, or one character of code.
// MariaDB's executable comments (/*! and /*M!) are code: the server runs them.
inline Token nextToken(const QChar *data, qsizetype r, qsizetype n, qsizetype *end)
{
    if (opensToken(data[r].unicode()))
        return nextQuotedOrComment(data, r, n, end);
    *end = r + 1;
    return Token::Code;
}

// The first character of [from, to) that is neither white space nor comment.
inline qsizetype firstContent(const QChar *data, qsizetype from, qsizetype to)
{
    for (qsizetype r = from, end = 0; r < to; r = end) {
        const Token token = nextToken(data, r, to, &end);
        if (token == Token::Quoted || (token == Token::Code && !isWhite(data[r].unicode())))
            return r;
    }
    return to;
}

} // namespace SqlText
