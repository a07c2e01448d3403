#include "db/ScriptCutter.h"

#include "db/SqlText.h"

#include <array>
#include <optional>
#include <string_view>

namespace {

using namespace SqlText;

constexpr QByteArrayView kPastedPrefix = "cnn.Execute";
constexpr QByteArrayView kByteOrderMark = "\xEF\xBB\xBF";
constexpr QByteArrayView kDelimiterWord = "DELIMITER";
constexpr QByteArrayView kShortDelimiter = "\\d";
constexpr QByteArrayView kStandardDelimiter = ";";

// The bytes at which the standard rule looks closer: a ";", or what may
// open a quoted string or a comment.
constexpr std::array<bool, 256> kStandardStops = [] {
    std::array<bool, 256> stops {};
    for (const char c : std::string_view("'\"`#-/;"))
        stops[static_cast<unsigned char>(c)] = true;
    return stops;
}();

// Where a statement stops and the next one starts.
struct Piece {
    qsizetype end = 0;
    qsizetype next = 0;
    bool semicolons = false; // a ";" in its code besides the separator
};

// Under the standard delimiter, from `from` (which is no white space or
// comment): the statement ends at a ";" in code that a line break follows.
Piece scanStandard(const char *data, qsizetype from, qsizetype n)
{
    bool semicolons = false;
    for (qsizetype i = from; i < n;) {
        const char c = data[i];
        if (!kStandardStops[static_cast<unsigned char>(c)]) {
            ++i;
        } else if (c == ';') {
            if (i + 1 < n && isLineBreak(data[i + 1]))
                return { i, skipLineBreak(data, i + 1, n), semicolons };
            semicolons = true;
            ++i;
        } else {
            nextQuotedOrComment(data, i, n, &i);
        }
    }
    return { n, n, semicolons };
}

// Past the delimiter ending at i: the rest of its line when that holds only
// blanks and a line comment, which belong to the statement just ended.
qsizetype afterDelimiter(const char *data, qsizetype i, qsizetype n)
{
    qsizetype k = i;
    while (k < n && isBlank(data[k]))
        ++k;
    qsizetype end = k;
    if (k < n && (data[k] == '#' || data[k] == '-')
        && nextQuotedOrComment(data, k, n, &end) == Token::Comment)
        k = end;
    if (k == n || isLineBreak(data[k]))
        return skipLineBreak(data, k, n);
    return i;
}

// Under a delimiter of the script's own: the statement ends at the delimiter
// wherever it stands in code, mid-line too.
Piece scanCustom(const char *data, qsizetype from, qsizetype n, QByteArrayView delimiter)
{
    const char first = delimiter.front();
    for (qsizetype i = from; i < n;) {
        const char c = data[i];
        if (c == first && QByteArrayView(data + i, n - i).startsWith(delimiter))
            return { i, afterDelimiter(data, i + delimiter.size(), n), false };
        if (opensToken(c))
            nextQuotedOrComment(data, i, n, &i);
        else
            ++i;
    }
    return { n, n, false };
}

// Drops every ";" in code from data[0, n), compacting it in place; returns
// the length left.
qsizetype stripSemicolons(char *data, qsizetype n)
{
    qsizetype w = 0;
    for (qsizetype r = 0, end = 0; r < n; r = end) {
        if (nextToken(data, r, n, &end) == Token::Code && data[r] == ';')
            continue;
        for (qsizetype i = r; i < end; ++i)
            data[w++] = data[i];
    }
    return w;
}

// Counts line breaks (CR LF, lone CR, lone LF) in [from, to) of data[0, n).
int countLines(const char *data, qsizetype from, qsizetype to, qsizetype n)
{
    int lines = 0;
    for (qsizetype i = from; i < to; ++i) {
        const char c = data[i];
        lines += c == '\n' || (c == '\r' && (i + 1 >= n || data[i + 1] != '\n'));
    }
    return lines;
}

bool startsWithWord(QByteArrayView text, QByteArrayView word)
{
    return text.size() >= word.size()
        && text.first(word.size()).compare(word, Qt::CaseInsensitive) == 0
        && (text.size() == word.size() || isWhite(text[word.size()]));
}

// A DELIMITER line: the new delimiter, or why the line is refused.
struct DelimiterCommand {
    QByteArrayView delimiter;
    QString refusal;
};

// The delimiter a command names in `rest`, what follows its word on its
// line: the first word, quoted or not; the rest of the line is ignored.
DelimiterCommand parseDelimiter(QByteArrayView rest)
{
    qsizetype i = 0;
    while (i < rest.size() && isBlank(rest[i]))
        ++i;
    QByteArrayView delimiter;
    const char quote = i < rest.size() ? rest[i] : '\0';
    if (quote == '\'' || quote == '"' || quote == '`') {
        const qsizetype close = rest.indexOf(quote, i + 1);
        if (close < 0)
            return { {}, u"The delimiter after DELIMITER lacks its closing quote"_qs };
        delimiter = rest.sliced(i + 1, close - i - 1);
    } else {
        qsizetype stop = i;
        while (stop < rest.size() && !isBlank(rest[stop]))
            ++stop;
        delimiter = rest.sliced(i, stop - i);
    }
    if (delimiter.isEmpty())
        return { {}, u"DELIMITER must be followed by a delimiter"_qs };
    if (delimiter.contains('\\') || delimiter.contains(' ') || delimiter.contains('\t'))
        return { {}, u"A delimiter cannot contain spaces or backslashes"_qs };
    return { delimiter, {} };
}

} // namespace

class CutScript::Cutter {
public:
    explicit Cutter(CutScript &out)
        : m_out(out)
    {
    }

    void run()
    {
        QByteArray &buffer = m_out.m_buffer;
        m_data = buffer.data();
        m_end = buffer.size();
        // A byte order mark saved at the head of a file is no part of the script.
        if (QByteArrayView(buffer).startsWith(kByteOrderMark))
            m_begin = kByteOrderMark.size();
        trimSpaces(m_begin, m_end);
        m_counted = m_begin;
        removePastedCode();

        QByteArrayView delimiter = kStandardDelimiter;
        for (qsizetype pos = m_begin; pos < m_end;) {
            const qsizetype head = firstContent(m_data, pos, m_end);
            if (head == m_end)
                break;
            if (const std::optional<qsizetype> next = delimiterCommand(head, delimiter)) {
                pos = *next;
                continue;
            }
            const bool standard = delimiter == kStandardDelimiter;
            const Piece piece = standard ? scanStandard(m_data, head, m_end)
                                         : scanCustom(m_data, head, m_end, delimiter);
            add(pos, piece.end, standard && piece.end < m_end && piece.semicolons, !standard);
            pos = piece.next;
        }
    }

private:
    void trimSpaces(qsizetype &from, qsizetype &to) const
    {
        while (from < to && m_data[from] == ' ')
            ++from;
        while (to > from && m_data[to - 1] == ' ')
            --to;
    }

    // The 1-based line at position at; positions asked for only grow.
    int lineOf(qsizetype at)
    {
        m_line += countLines(m_data, m_counted, at, m_end);
        m_counted = at;
        return m_line;
    }

    // Where cleaned position at stood in the script as given; positions
    // asked for only grow.
    qsizetype originOf(qsizetype at)
    {
        while (m_nextShift < m_shifts.size() && m_shifts[m_nextShift].at <= at)
            m_removed = m_shifts[m_nextShift++].removed;
        return at + m_removed;
    }

    // Drops, in place, each pasted "cnn.Execute" that stands outside quoted
    // text and comments and, when a double-quoted string follows it, that
    // string's quotes ("" inside is one "). The pasted string ends at its
    // closing quote or at the end of its line, so no line break is ever
    // removed and line numbers stay those of the script.
    void removePastedCode()
    {
        if (!QByteArrayView(m_data + m_begin, m_end - m_begin).contains(kPastedPrefix))
            return;
        char *const d = m_data;
        const qsizetype n = m_end;
        qsizetype w = m_begin;
        auto skipTo = [&](qsizetype r) { m_shifts.push_back({ w, r - w }); };
        for (qsizetype r = m_begin, end = 0; r < n; r = end) {
            if (nextToken(d, r, n, &end) != Token::Code
                || !QByteArrayView(d + r, n - r).startsWith(kPastedPrefix)) {
                while (r < end)
                    d[w++] = d[r++];
                continue;
            }
            qsizetype i = r + kPastedPrefix.size();
            skipTo(i);
            qsizetype q = i;
            while (q < n && d[q] == ' ')
                ++q;
            end = i;
            if (q >= n || d[q] != '"')
                continue;
            while (i < q)
                d[w++] = d[i++];
            skipTo(++i);
            while (i < n && !isLineBreak(d[i])) {
                if (d[i] != '"') {
                    d[w++] = d[i++];
                } else if (i + 1 < n && d[i + 1] == '"') {
                    d[w++] = '"';
                    skipTo(i += 2);
                } else {
                    ++i; // the closing quote
                    break;
                }
            }
            skipTo(i);
            end = i;
        }
        m_end = w;
        trimSpaces(m_begin, m_end);
    }

    // A DELIMITER command at head, where no statement has begun: it counts
    // only when it opens its line, as in the command-line client. Sets the
    // delimiter or adds the refused line, and returns where the next
    // statement starts; nothing when head holds no command.
    std::optional<qsizetype> delimiterCommand(qsizetype head, QByteArrayView &delimiter)
    {
        qsizetype lineStart = head;
        while (lineStart > m_begin && isBlank(m_data[lineStart - 1]))
            --lineStart;
        if (lineStart > m_begin && !isLineBreak(m_data[lineStart - 1]))
            return std::nullopt;
        const QByteArrayView rest(m_data + head, m_end - head);
        qsizetype word = 0;
        if (startsWithWord(rest, kDelimiterWord))
            word = kDelimiterWord.size();
        else if (rest.startsWith(kShortDelimiter))
            word = kShortDelimiter.size();
        else
            return std::nullopt;

        qsizetype lineEnd = head + word;
        while (lineEnd < m_end && !isLineBreak(m_data[lineEnd]))
            ++lineEnd;
        const DelimiterCommand command
            = parseDelimiter(QByteArrayView(m_data + head + word, lineEnd - head - word));
        if (command.refusal.isEmpty()) {
            delimiter = command.delimiter;
        } else {
            qsizetype stop = lineEnd;
            trimSpaces(head, stop);
            const qsizetype origin = originOf(head);
            m_out.m_refusals.push_back(command.refusal);
            m_out.m_statements.push_back({ head, stop - head, origin, originOf(stop) - origin,
                lineOf(head), static_cast<qint32>(m_out.m_refusals.size()), false });
        }
        return skipLineBreak(m_data, lineEnd, m_end);
    }

    // Adds the statement in [from, to) unless nothing but white space,
    // comments and removed semicolons is left of it.
    void add(qsizetype from, qsizetype to, bool removeSemicolons, bool several)
    {
        trimSpaces(from, to);
        qsizetype first = from;
        while (first < to && isWhite(m_data[first]))
            ++first;
        const int line = lineOf(first);
        // Counted through the whole piece before it is compacted, which
        // leaves stale bytes behind it.
        lineOf(to);
        const qsizetype origin = originOf(from);
        const qsizetype originLength = originOf(to) - origin;
        qsizetype length = to - from;
        if (removeSemicolons)
            length = stripSemicolons(m_data + from, length);
        // Read as the server will read it: on its own.
        if (firstContent(m_data, from, from + length) == from + length)
            return;
        m_out.m_statements.push_back({ from, length, origin, originLength, line, 0, several });
    }

    // Where removing pasted code moved the text: from cleaned position `at`
    // on, the script as given lies `removed` bytes further on.
    struct Shift {
        qsizetype at;
        qsizetype removed;
    };

    CutScript &m_out;
    char *m_data = nullptr;
    qsizetype m_begin = 0;
    qsizetype m_end = 0;
    int m_line = 1;
    qsizetype m_counted = 0; // line breaks are counted up to here
    std::vector<Shift> m_shifts;
    size_t m_nextShift = 0;
    qsizetype m_removed = 0;
};

CutScript CutScript::cut(QByteArray script)
{
    CutScript result;
    result.m_buffer = std::move(script);
    Cutter(result).run();
    return result;
}
