#include "db/ScriptCutter.h"

#include "db/StatementKind.h"

#include <algorithm>
#include <array>
#include <string_view>

using namespace SqlText;

namespace {

constexpr QByteArrayView kPastedPrefix = "cnn.Execute";
constexpr QByteArrayView kByteOrderMark = "\xEF\xBB\xBF";
constexpr QByteArrayView kDelimiterWord = "DELIMITER";
constexpr QByteArrayView kShortDelimiter = "\\d";

// The bytes at which the standard rule looks closer: a ";", or what may
// open or close a stretch that is not plain code.
constexpr std::array<bool, 256> kStandardStops = [] {
    std::array<bool, 256> stops = kOpeners;
    stops[static_cast<unsigned char>(';')] = true;
    return stops;
}();

// A change of the text sent: a ";" the cut drops, an LF put in after a CR,
// or pasted code's leftovers dropped.
constexpr qsizetype kLineFeed = 0;
constexpr qsizetype kSemicolon = -1;

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
    if (delimiter.contains('\\') || std::any_of(delimiter.begin(), delimiter.end(), isBlank))
        return { {}, u"A delimiter cannot contain spaces or backslashes"_qs };
    return { delimiter, {} };
}

} // namespace

struct ScriptCutter::Piece {
    qsizetype end = 0; // where the statement's text stops: its delimiter
    qsizetype next = 0; // where the next statement starts
};

ScriptCutter::ScriptCutter(QByteArray script, SqlText::Mode mode)
    : m_script(std::move(script))
    , m_mode(mode)
{
    m_data = m_script.data();
    m_end = m_script.size();
    // A byte order mark saved at the head of a file is no part of the script.
    if (QByteArrayView(m_script).startsWith(kByteOrderMark))
        m_begin = kByteOrderMark.size();
    trimSpaces(m_begin, m_end);
    m_pos = m_begin;
    m_counted = m_begin;
    findPasted(m_begin);
}

ScriptCutter::ScriptCutter(QByteArray rest, const CutPoint &from, SqlText::Mode mode, bool toTheEnd)
    : m_script(std::move(rest))
    , m_base(from.position)
    , m_baseLineStart(from.lineStart)
    , m_mode(mode)
    , m_delimiter(from.delimiter)
    , m_index(from.index)
    , m_line(from.line)
{
    m_data = m_script.data();
    m_end = m_script.size();
    if (m_base == 0 && QByteArrayView(m_script).startsWith(kByteOrderMark))
        m_begin = m_pos = m_counted = kByteOrderMark.size();
    while (toTheEnd && m_end > m_begin && m_data[m_end - 1] == ' ')
        --m_end;
    findPasted(m_begin);
}

CutPoint ScriptCutter::resumePoint()
{
    return { m_base + m_pos, m_delimiter, lineOf(m_pos), m_index, opensLine(m_pos) };
}

// True when only blanks stand before `at` on its line.
bool ScriptCutter::opensLine(qsizetype at) const
{
    while (at > m_begin && isBlank(m_data[at - 1]))
        --at;
    return at > m_begin ? isLineBreak(m_data[at - 1]) : m_baseLineStart;
}

void ScriptCutter::trimSpaces(qsizetype &from, qsizetype &to) const
{
    while (from < to && m_data[from] == ' ')
        ++from;
    while (to > from && m_data[to - 1] == ' ')
        --to;
}

int ScriptCutter::lineOf(qsizetype at)
{
    m_line += lineBreaks(m_data, m_counted, at, m_end);
    m_counted = at;
    return m_line;
}

// The next "cnn.Execute" from `from` on that only blanks precede on its line.
void ScriptCutter::findPasted(qsizetype from)
{
    const QByteArrayView script(m_data, m_end);
    for (qsizetype at = script.indexOf(kPastedPrefix, from); at >= 0;
         at = script.indexOf(kPastedPrefix, at + 1)) {
        if (opensLine(at)) {
            m_pasted = at;
            return;
        }
    }
    m_pasted = m_end;
}

// A line pasted from code, at its "cnn.Execute" in code: one or more
// blanks, a double-quoted statement closed on that line ("" inside is one
// "), then blanks and one ";" at most. Its statement is moved to the line's
// end in place, blanks before it, and those blanks are left out of the text
// sent; line breaks stay where they are. False, with nothing changed, for
// any other shape: that is the script's own text.
bool ScriptCutter::unwrapPasted(qsizetype at)
{
    char *const d = m_data;
    qsizetype i = at + kPastedPrefix.size();
    if (i >= m_end || !isBlank(d[i]))
        return false;
    while (i < m_end && isBlank(d[i]))
        ++i;
    if (i >= m_end || d[i] != '"')
        return false;
    QByteArray statement;
    for (++i;; ++i) {
        if (i >= m_end || isLineBreak(d[i]))
            return false;
        if (d[i] == '"') {
            if (i + 1 < m_end && d[i + 1] == '"')
                ++i;
            else
                break;
        }
        statement += d[i];
    }
    ++i;
    while (i < m_end && isBlank(d[i]))
        ++i;
    if (i < m_end && d[i] == ';') {
        statement += ';';
        ++i;
    }
    while (i < m_end && isBlank(d[i]))
        ++i;
    if (i < m_end && !isLineBreak(d[i]))
        return false;
    const qsizetype start = i - statement.size();
    std::fill(d + at, d + start, ' ');
    std::copy(statement.begin(), statement.end(), d + start);
    if (start > at)
        m_edits.push_back({ at, start - at });
    findPasted(i);
    return true;
}

void ScriptCutter::afterComment(qsizetype commentStart, qsizetype commentEnd)
{
    if (m_data[commentStart] != '/' && endsAtLoneCr(m_data, commentEnd, m_end))
        m_edits.push_back({ commentEnd + 1, kLineFeed });
}

// The first byte of code from `from` on: white space and comments skipped,
// a pasted line unwrapped.
qsizetype ScriptCutter::firstContent(qsizetype from, SqlText::Reader &reader)
{
    for (qsizetype r = from, end = 0; r < m_end; r = end) {
        if (r == m_pasted) {
            if (unwrapPasted(r)) {
                end = r;
                continue;
            }
            findPasted(r + 1);
            return r;
        }
        // Looked at with a copy: the code found is read again from its start.
        Reader probe = reader;
        const Kind kind = probe.next(m_data, r, m_end, &end);
        if (kind == Kind::Comment) {
            afterComment(r, end);
            if (m_pasted < end)
                findPasted(end);
        } else if (kind != Kind::Code || !isWhite(m_data[r])) {
            return r;
        }
        reader = probe;
    }
    return m_end;
}

// At a pasted line's start: true when it was unwrapped, to be read again
// from there.
bool ScriptCutter::unwrapAt(qsizetype at)
{
    if (unwrapPasted(at))
        return true;
    findPasted(at + 1);
    return false;
}

// Past the stretch at i that may not be plain code: a line comment's LF
// noted, the next pasted line looked for beyond it.
qsizetype ScriptCutter::skipStretch(qsizetype i, SqlText::Reader &reader)
{
    qsizetype end = i;
    if (reader.next(m_data, i, m_end, &end) == Kind::Comment)
        afterComment(i, end);
    if (m_pasted < end)
        findPasted(end);
    return end;
}

// Under the standard delimiter, from `from` (code): the statement ends at a
// ";" in code that a line break follows.
ScriptCutter::Piece ScriptCutter::scanStandard(qsizetype from, SqlText::Reader &reader)
{
    const char *const d = m_data;
    const qsizetype n = m_end;
    for (qsizetype i = from; i < n;) {
        if (i == m_pasted && unwrapAt(i))
            continue;
        const char c = d[i];
        if (!kStandardStops[static_cast<unsigned char>(c)]) {
            ++i;
        } else if (c == ';') {
            if (i + 1 < n && isLineBreak(d[i + 1]))
                return { i, skipLineBreak(d, i + 1, n) };
            m_edits.push_back({ i, kSemicolon });
            ++i;
        } else {
            i = skipStretch(i, reader);
        }
    }
    return { n, n };
}

// Under a delimiter of the script's own: the statement ends at the
// delimiter wherever it stands in code, mid-line too. The rest of its line
// holding only blanks and a line comment belongs to the statement ended.
ScriptCutter::Piece ScriptCutter::scanCustom(qsizetype from, SqlText::Reader &reader)
{
    const char *const d = m_data;
    const qsizetype n = m_end;
    const QByteArrayView delimiter = m_delimiter;
    const char first = delimiter.front();
    for (qsizetype i = from; i < n;) {
        if (i == m_pasted && unwrapAt(i))
            continue;
        const char c = d[i];
        if (c == first && QByteArrayView(d + i, n - i).startsWith(delimiter)) {
            const qsizetype after = i + delimiter.size();
            qsizetype k = after;
            while (k < n && isBlank(d[k]))
                ++k;
            qsizetype end = k;
            Reader comment;
            if (k < n && (d[k] == '#' || d[k] == '-')
                && comment.next(d, k, n, &end) == Kind::Comment)
                k = end;
            return { i, k == n || isLineBreak(d[k]) ? skipLineBreak(d, k, n) : after };
        }
        if (!opens(c)) {
            ++i;
        } else {
            i = skipStretch(i, reader);
        }
    }
    return { n, n };
}

// A DELIMITER command at head, where no statement has begun: it counts only
// when it opens its line, as in the command-line client. Sets the delimiter
// or, for a malformed one, fills *out with the refused line; true when head
// holds a command, which then ends at its line's end.
bool ScriptCutter::delimiterCommand(qsizetype head, Statement *out)
{
    if (!opensLine(head))
        return false;
    const QByteArrayView rest(m_data + head, m_end - head);
    qsizetype word = 0;
    if (startsWithWord(rest, kDelimiterWord))
        word = kDelimiterWord.size();
    else if (rest.startsWith(kShortDelimiter))
        word = kShortDelimiter.size();
    else
        return false;

    qsizetype lineEnd = head + word;
    while (lineEnd < m_end && !isLineBreak(m_data[lineEnd]))
        ++lineEnd;
    const DelimiterCommand command
        = parseDelimiter(QByteArrayView(m_data + head + word, lineEnd - head - word));
    m_pos = skipLineBreak(m_data, lineEnd, m_end);
    if (command.refusal.isEmpty()) {
        m_delimiter = command.delimiter.toByteArray();
        m_delimiterLines.push_back({ m_base + head, m_base + lineEnd });
        out->refusal.clear();
        return true;
    }
    qsizetype stop = lineEnd;
    trimSpaces(head, stop);
    *out = Statement {};
    out->index = m_index++;
    out->origin = m_base + head;
    out->originLength = stop - head;
    out->codeOrigin = m_base + head;
    out->line = lineOf(head);
    out->length = stop - head;
    out->refusal = command.refusal;
    m_text = QByteArrayView(m_data + head, stop - head);
    return true;
}

bool ScriptCutter::next(Statement *out)
{
    m_delimiterLines.clear();
    for (;;) {
        m_edits.clear();
        if (m_pasted < m_pos)
            findPasted(m_pos);
        Reader reader(m_mode);
        qsizetype from = m_pos;
        const qsizetype head = firstContent(from, reader);
        if (head >= m_end) {
            m_pos = m_end;
            return false;
        }
        if (delimiterCommand(head, out)) {
            if (!out->refusal.isEmpty())
                return true;
            continue;
        }
        const bool standard = m_delimiter == ";";
        const Piece piece = standard ? scanStandard(head, reader) : scanCustom(head, reader);
        m_pos = piece.next;
        qsizetype to = piece.end;
        trimSpaces(from, to);
        if (head >= to)
            continue; // white space and comments only
        // A pasted line that opens the statement is where it stands.
        qsizetype origin = from;
        for (const Edit &e : m_edits) {
            if (e.drop > 0 && e.at < from && e.at + e.drop == from)
                origin = e.at;
        }
        // A cut statement loses its semicolons; the last piece goes as it stands.
        const bool cut = standard && piece.end < m_end;

        // The text sent: the script's own bytes unless something changes.
        bool edited = false;
        for (const Edit &e : m_edits)
            edited = edited || (e.at >= from && e.at <= to && (cut || e.drop != kSemicolon));
        if (!edited) {
            m_text = QByteArrayView(m_data + from, to - from);
        } else {
            m_scratch.resize(0);
            qsizetype copied = from;
            for (const Edit &e : m_edits) {
                if (e.at < from || e.at > to || (!cut && e.drop == kSemicolon))
                    continue;
                m_scratch.append(m_data + copied, e.at - copied);
                if (e.drop == kLineFeed) {
                    m_scratch.append('\n');
                    copied = e.at;
                } else {
                    copied = e.at + (e.drop == kSemicolon ? 1 : e.drop);
                }
            }
            m_scratch.append(m_data + copied, to - copied);
            m_text = m_scratch;
        }
        // Read as the server will read it, on its own: dropped semicolons, or
        // a "--" the cut left at the end, may leave nothing.
        if (SqlText::firstContent(m_text.data(), 0, m_text.size(), m_mode) == m_text.size())
            continue;

        *out = Statement {};
        out->index = m_index++;
        out->origin = m_base + origin;
        out->originLength = to - origin;
        out->codeOrigin = m_base + (head == from ? origin : head);
        out->line = lineOf(head);
        out->length = m_text.size();
        out->several = !standard;
        const StatementShape shape = shapeOf(m_text, out->several);
        out->withoutRows = shape.withoutRows;
        out->changesMode = shape.changesMode;
        out->pasted = std::any_of(m_edits.begin(), m_edits.end(),
            [head](const Edit &e) { return e.drop > 0 && e.at + e.drop == head; });
        return true;
    }
}

qsizetype ScriptCutter::count(QByteArray script, SqlText::Mode mode)
{
    ScriptCutter cutter(std::move(script), mode);
    Statement s;
    qsizetype n = 0;
    while (cutter.next(&s))
        ++n;
    return n;
}

CutScript CutScript::cut(QByteArray script, SqlText::Mode mode)
{
    CutScript result;
    ScriptCutter cutter(std::move(script), mode);
    Statement s;
    while (cutter.next(&s)) {
        result.m_starts.push_back(result.m_texts.size());
        result.m_texts.append(cutter.text());
        result.m_statements.push_back(std::move(s));
    }
    return result;
}
