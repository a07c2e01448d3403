#pragma once

#include <QByteArrayView>

#include <array>
#include <string_view>

// How SQL text in UTF-8 falls into code, quoted literals, quoted names and
// comments, read as the server reads it: the one reading that cuts a
// script, tells what a statement is, and colours the script box. Quotes,
// comment marks and line breaks are ASCII, and no byte of a multi-byte
// UTF-8 sequence is, so reading bytes finds exactly what reading characters
// would. Inline: the cutter runs it over every byte of a script.
namespace SqlText {

inline bool isLineBreak(char c)
{
    return c == '\r' || c == '\n';
}

// The server skips form feeds and vertical tabs as it skips spaces.
inline bool isBlank(char c)
{
    return c == ' ' || c == '\t' || c == '\f' || c == '\v';
}

inline bool isWhite(char c)
{
    return isBlank(c) || isLineBreak(c);
}

// The parts of the session's sql_mode that change where literals end.
struct Mode {
    // NO_BACKSLASH_ESCAPES: a backslash in a literal is an ordinary character.
    bool noBackslashEscapes = false;
    // ANSI_QUOTES: "…" quotes a name, as `…` does.
    bool ansiQuotes = false;
    bool operator==(const Mode &) const = default;
};

// The mode an sql_mode value (comma-separated names, as @@sql_mode reads)
// sets.
inline Mode modeOf(QByteArrayView sqlMode)
{
    Mode mode;
    for (qsizetype i = 0; i <= sqlMode.size();) {
        qsizetype comma = sqlMode.indexOf(',', i);
        if (comma < 0)
            comma = sqlMode.size();
        const QByteArrayView name = sqlMode.sliced(i, comma - i);
        mode.noBackslashEscapes = mode.noBackslashEscapes
            || name.compare("NO_BACKSLASH_ESCAPES", Qt::CaseInsensitive) == 0;
        mode.ansiQuotes = mode.ansiQuotes || name.compare("ANSI_QUOTES", Qt::CaseInsensitive) == 0;
        i = comma + 1;
    }
    return mode;
}

// What a stretch of SQL text is.
enum class Kind : quint8 {
    Code,
    Literal, // '…', or "…" without ANSI_QUOTES
    Name, // `…`, or "…" under ANSI_QUOTES
    Comment, // # and -- to the line's end, /* … */, and optimizer hints /*+ … */
    // The opening /*!NNNNN or /*M!NNNNNN of an executable comment, or its
    // closing */: what lies between is code, which the server runs.
    Executable,
};

// Bytes at which a reading looks closer; every other byte is one of code.
constexpr std::array<bool, 256> kOpeners = [] {
    std::array<bool, 256> stops {};
    for (const char c : std::string_view("'\"`#-/*"))
        stops[static_cast<unsigned char>(c)] = true;
    return stops;
}();

inline bool opens(char c)
{
    return kOpeners[static_cast<unsigned char>(c)];
}

// Past the line break (CR LF, CR or LF) at i, if there is one.
inline qsizetype skipLineBreak(const char *data, qsizetype i, qsizetype n)
{
    if (i < n && data[i] == '\r')
        return i + 1 < n && data[i + 1] == '\n' ? i + 2 : i + 1;
    return i < n && data[i] == '\n' ? i + 1 : i;
}

// The line breaks (CR LF, lone CR, lone LF) in [from, to) of data[0, n).
inline int lineBreaks(const char *data, qsizetype from, qsizetype to, qsizetype n)
{
    int lines = 0;
    for (qsizetype i = from; i < to; ++i) {
        const char c = data[i];
        lines += c == '\n' || (c == '\r' && (i + 1 >= n || data[i + 1] != '\n'));
    }
    return lines;
}

// True when the line comment that stops at i (before its line break) stops
// at a lone CR: there the box shows a line end and the server, which ends
// such a comment only at LF, reads on.
inline bool endsAtLoneCr(const char *data, qsizetype i, qsizetype n)
{
    return i < n && data[i] == '\r' && (i + 1 == n || data[i + 1] != '\n');
}

// Reads SQL text one stretch at a time, from the start of a statement: an
// executable comment left open runs on into what follows.
class Reader {
public:
    explicit Reader(Mode mode = {})
        : m_mode(mode)
    {
    }

    Mode mode() const { return m_mode; }
    bool inExecutable() const { return m_inExecutable; }
    // At the start of another statement, which the server reads on its own.
    void restart() { m_inExecutable = false; }

    // Tells escape(at, length) of each escape in the quoted literal or name
    // that next() read as [r, end): a doubled quote, or a backslash and the
    // byte after it where backslashes escape. What tells '' from " on screen.
    template <class Escape>
    void forEachEscape(const char *data, qsizetype r, qsizetype end, const Escape &escape) const
    {
        quotedEnd(data, r, end, escapes(data[r]), escape);
    }

    // The stretch of data[0, n) that starts at r, and in *end where it
    // stops: a quoted literal or name up to its closing quote, a comment, an
    // executable comment's mark, or one byte of code. A literal or comment
    // left open runs to the end, as the command-line client reads it.
    Kind next(const char *data, qsizetype r, qsizetype n, qsizetype *end)
    {
        const char c = data[r];
        *end = r + 1;
        if (!opens(c))
            return Kind::Code;
        auto at = [&](qsizetype k) -> char { return k < n ? data[k] : '\0'; };
        switch (c) {
        case '\'':
        case '`':
            *end = quotedEnd(data, r, n, escapes(c), [](qsizetype, qsizetype) {});
            return c == '`' ? Kind::Name : Kind::Literal;
        case '"':
            *end = quotedEnd(data, r, n, escapes(c), [](qsizetype, qsizetype) {});
            return m_mode.ansiQuotes ? Kind::Name : Kind::Literal;
        case '#':
            *end = lineEnd(data, r + 1, n);
            return Kind::Comment;
        case '-':
            // "--" opens a comment only before a space or control character.
            if (at(r + 1) != '-' || static_cast<unsigned char>(at(r + 2)) > ' ')
                return Kind::Code;
            *end = lineEnd(data, r + 2, n);
            return Kind::Comment;
        case '*':
            if (!m_inExecutable || at(r + 1) != '/')
                return Kind::Code;
            m_inExecutable = false;
            *end = r + 2;
            return Kind::Executable;
        default: // '/'
            break;
        }
        if (at(r + 1) != '*')
            return Kind::Code;
        const qsizetype bang = at(r + 2) == '!'    ? r + 2
            : at(r + 2) == 'M' && at(r + 3) == '!' ? r + 3
                                                   : -1;
        // Executable comments do not nest: a second opener is code.
        if (bang >= 0 && m_inExecutable)
            return Kind::Code;
        if (bang >= 0) {
            qsizetype i = bang + 1;
            while (i < n && data[i] >= '0' && data[i] <= '9')
                ++i;
            m_inExecutable = true;
            *end = i;
            return Kind::Executable;
        }
        const qsizetype close = QByteArrayView(data, n).indexOf("*/", r + 2);
        *end = close < 0 ? n : close + 2;
        return Kind::Comment;
    }

private:
    static qsizetype lineEnd(const char *data, qsizetype i, qsizetype n)
    {
        while (i < n && !isLineBreak(data[i]))
            ++i;
        return i;
    }

    // Whether a backslash escapes the next character in text quoted so.
    bool escapes(char quote) const
    {
        return quote != '`' && !m_mode.noBackslashEscapes && !(quote == '"' && m_mode.ansiQuotes);
    }

    // Past the closing quote of the quoted text opened at r, or n when it is
    // never closed. A doubled quote stays inside, and so does the character
    // after a backslash where backslashes escape; escape(at, 2) is told of each.
    template <class Escape>
    static qsizetype quotedEnd(
        const char *data, qsizetype r, qsizetype n, bool backslash, const Escape &escape)
    {
        const char quote = data[r];
        for (qsizetype i = r + 1; i < n; ++i) {
            const char x = data[i];
            if (x == '\\' && backslash) {
                if (i + 1 < n)
                    escape(i, 2);
                ++i;
            } else if (x == quote) {
                if (i + 1 < n && data[i + 1] == quote) {
                    escape(i, 2);
                    ++i;
                } else {
                    return i + 1;
                }
            }
        }
        return n;
    }

    Mode m_mode;
    bool m_inExecutable = false;
};

// The first byte of [from, to) that is neither white space nor comment.
inline qsizetype firstContent(const char *data, qsizetype from, qsizetype to, Mode mode = {})
{
    Reader reader(mode);
    for (qsizetype r = from, end = 0; r < to; r = end) {
        const Kind kind = reader.next(data, r, to, &end);
        if (kind != Kind::Comment && !(kind == Kind::Code && isWhite(data[r])))
            return r;
    }
    return to;
}

} // namespace SqlText
