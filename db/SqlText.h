#pragma once

#include <QByteArrayView>

// How SQL text in UTF-8 falls into quoted strings, comments and code, as far
// as cutting a script and telling what a statement is care. Quotes, comment
// marks and line breaks are ASCII, and no byte of a multi-byte UTF-8
// sequence is, so reading bytes finds exactly what reading characters would.
// Inline: the cutter runs it over every byte of a script.
namespace SqlText {

inline bool isLineBreak(char c)
{
    return c == '\r' || c == '\n';
}

inline bool isBlank(char c)
{
    return c == ' ' || c == '\t';
}

inline bool isWhite(char c)
{
    return isBlank(c) || isLineBreak(c);
}

// What a stretch of SQL text is.
enum class Token { Code, Quoted, Comment };

inline bool opensToken(char c)
{
    return c == '\'' || c == '"' || c == '`' || c == '#' || c == '-' || c == '/';
}

// Past the line break (CR LF, CR or LF) at i, if there is one.
inline qsizetype skipLineBreak(const char *data, qsizetype i, qsizetype n)
{
    if (i < n && data[i] == '\r')
        return i + 1 < n && data[i + 1] == '\n' ? i + 2 : i + 1;
    return i < n && data[i] == '\n' ? i + 1 : i;
}

// The end of the quoted string opened at r by its quote: past the closing
// quote, or n when it is never closed. Backslash escapes (not in `names`)
// and doubled quotes stay inside.
inline qsizetype quotedEnd(const char *data, qsizetype r, qsizetype n)
{
    const char quote = data[r];
    const bool escapes = quote != '`';
    for (qsizetype i = r + 1; i < n; ++i) {
        const char x = data[i];
        if (x == '\\' && escapes) {
            ++i;
        } else if (x == quote) {
            if (i + 1 < n && data[i + 1] == quote)
                ++i;
            else
                return i + 1;
        }
    }
    return n;
}

// The token of data[0, n) that starts at r where opensToken holds, and in
// *end where it stops. A comment or string left open runs to the end, as the
// command-line client reads it. MariaDB's executable comments (/*! and /*M!)
// are code, since the server runs what they hold; an optimizer hint (/*+) is
// a comment.
inline Token nextQuotedOrComment(const char *data, qsizetype r, qsizetype n, qsizetype *end)
{
    const char c = data[r];
    auto at = [&](qsizetype k) -> char { return k < n ? data[k] : '\0'; };
    if (c == '\'' || c == '"' || c == '`') {
        *end = quotedEnd(data, r, n);
        return Token::Quoted;
    }
    if (c == '#'
        || (c == '-' && at(r + 1) == '-' && static_cast<unsigned char>(at(r + 2)) <= ' ')) {
        qsizetype i = r + 1;
        while (i < n && !isLineBreak(data[i]))
            ++i;
        *end = i;
        return Token::Comment;
    }
    if (c == '/' && at(r + 1) == '*' && at(r + 2) != '!'
        && !(at(r + 2) == 'M' && at(r + 3) == '!')) {
        const qsizetype close = QByteArrayView(data, n).indexOf("*/", r + 2);
        *end = close < 0 ? n : close + 2;
        return Token::Comment;
    }
    *end = r + 1;
    return Token::Code;
}

// The token of data[0, n) that starts at r, and in *end where it stops: a
// quoted string up to its closing quote, a comment, or one byte of code.
inline Token nextToken(const char *data, qsizetype r, qsizetype n, qsizetype *end)
{
    if (opensToken(data[r]))
        return nextQuotedOrComment(data, r, n, end);
    *end = r + 1;
    return Token::Code;
}

// The first byte of [from, to) that is neither white space nor comment.
inline qsizetype firstContent(const char *data, qsizetype from, qsizetype to)
{
    for (qsizetype r = from, end = 0; r < to; r = end) {
        const Token token = nextToken(data, r, to, &end);
        if (token == Token::Quoted || (token == Token::Code && !isWhite(data[r])))
            return r;
    }
    return to;
}

} // namespace SqlText
