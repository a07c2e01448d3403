#include "db/ScriptCutter.h"

#include "core/Text.h"
#include "db/SqlText.h"

namespace {

using namespace SqlText;

constexpr QStringView kPastedPrefix = u"cnn.Execute";
constexpr QStringView kDelimiterWord = u"DELIMITER";
constexpr QStringView kStandardDelimiter = u";";
constexpr char16_t kByteOrderMark = 0xFEFF;

bool isBlank(char16_t c)
{
    return c == u' ' || c == u'\t';
}

// Past the line break (CR LF, CR or LF) at i, if there is one.
qsizetype skipLineBreak(const QChar *data, qsizetype i, qsizetype n)
{
    if (i < n && data[i] == u'\r')
        ++i;
    if (i < n && data[i] == u'\n')
        ++i;
    return i;
}

// Copies text into out, dropping each pasted "cnn.Execute" that stands
// outside quoted text and comments and, when a double-quoted string follows
// it, that string's quotes ("" inside is one "). The pasted string ends at its
// closing quote or at the end of its line, so no line break is ever removed
// and line numbers stay those of the script.
void removePastedCode(QStringView text, QString &out)
{
    if (!text.contains(kPastedPrefix)) {
        out.append(text);
        return;
    }
    const QChar *data = text.data();
    const qsizetype n = text.size();
    qsizetype copied = 0;
    for (qsizetype r = 0, end = 0; r < n; r = end) {
        if (nextToken(data, r, n, &end) != Token::Code || data[r] != kPastedPrefix[0]
            || !text.mid(r).startsWith(kPastedPrefix))
            continue;
        out.append(text.mid(copied, r - copied));
        qsizetype i = r + kPastedPrefix.size();
        qsizetype q = i;
        while (q < n && text[q] == u' ')
            ++q;
        if (q >= n || text[q] != u'"') {
            copied = end = i;
            continue;
        }
        out.append(text.mid(i, q - i));
        i = q + 1;
        while (i < n) {
            const QChar c = text[i];
            if (isLineBreak(c.unicode()))
                break;
            if (c == u'"') {
                if (i + 1 < n && text[i + 1] == u'"') {
                    out.append(u'"');
                    i += 2;
                    continue;
                }
                ++i; // the closing quote
                break;
            }
            out.append(c);
            ++i;
        }
        copied = end = i;
    }
    out.append(text.mid(copied));
}

// Drops every ";" outside quoted text and comments, compacting the range in
// place; tells whether anything but white space and comments is left.
struct Scan {
    qsizetype length;
    bool hasContent;
};

Scan stripSemicolons(QChar *data, qsizetype n, bool removeSemicolons)
{
    bool content = false;
    qsizetype w = 0;
    for (qsizetype r = 0, end = 0; r < n; r = end) {
        const Token token = nextToken(data, r, n, &end);
        if (token == Token::Code) {
            if (removeSemicolons && data[r] == u';')
                continue;
            content = content || !isWhite(data[r].unicode());
        } else if (token == Token::Quoted) {
            content = true;
        }
        for (qsizetype i = r; i < end; ++i)
            data[w++] = data[i];
    }
    return { w, content };
}

// Where a statement ends under a delimiter of the script's own: at the
// delimiter standing outside quoted text and comments, followed by spaces or
// tabs and a line break or the end. Returns n when none is left; *next gets
// where the following statement starts.
qsizetype findDelimiter(
    const QChar *data, qsizetype from, qsizetype n, QStringView delimiter, qsizetype *next)
{
    const QStringView all(data, n);
    for (qsizetype r = from, end = 0; r < n; r = end) {
        if (all.mid(r).startsWith(delimiter)) {
            qsizetype i = r + delimiter.size();
            while (i < n && isBlank(data[i].unicode()))
                ++i;
            if (i == n || isLineBreak(data[i].unicode())) {
                *next = skipLineBreak(data, i, n);
                return r;
            }
        }
        nextToken(data, r, n, &end);
    }
    *next = n;
    return n;
}

// A DELIMITER line: the new delimiter, or why the line is refused.
struct DelimiterCommand {
    QStringView delimiter;
    QString refusal;
};

DelimiterCommand parseDelimiterLine(QStringView line)
{
    qsizetype i = kDelimiterWord.size();
    while (i < line.size() && isBlank(line[i].unicode()))
        ++i;
    QStringView delimiter;
    const char16_t quote = i < line.size() ? line[i].unicode() : 0;
    if (quote == u'\'' || quote == u'"' || quote == u'`') {
        const qsizetype close = line.indexOf(QChar(quote), i + 1);
        if (close < 0)
            return { {}, u"The delimiter after DELIMITER lacks its closing quote"_qs };
        delimiter = line.mid(i + 1, close - i - 1);
        i = close + 1;
    } else {
        const qsizetype start = i;
        while (i < line.size() && !isBlank(line[i].unicode()))
            ++i;
        delimiter = line.mid(start, i - start);
    }
    while (i < line.size() && isBlank(line[i].unicode()))
        ++i;
    if (delimiter.isEmpty())
        return { {}, u"DELIMITER must be followed by a delimiter"_qs };
    if (delimiter.contains(u'\\') || delimiter.contains(u' ') || delimiter.contains(u'\t'))
        return { {}, u"A delimiter cannot contain spaces or backslashes"_qs };
    if (i < line.size())
        return { {}, u"DELIMITER takes one delimiter and nothing else on its line"_qs };
    return { delimiter, {} };
}

// Counts line breaks (CR LF, lone CR, lone LF) in [from, to).
int countLines(const QChar *data, qsizetype from, qsizetype to, qsizetype end)
{
    int lines = 0;
    for (qsizetype i = from; i < to; ++i) {
        const char16_t c = data[i].unicode();
        if (c == u'\n')
            ++lines;
        else if (c == u'\r' && (i + 1 >= end || data[i + 1].unicode() != u'\n'))
            ++lines;
    }
    return lines;
}

} // namespace

void CutScript::refuse(Statement statement, QString refusal)
{
    m_refusals.push_back(std::move(refusal));
    statement.refusal = static_cast<qint32>(m_refusals.size());
    m_statements.push_back(statement);
}

CutScript CutScript::cut(QStringView script)
{
    CutScript result;
    // A byte order mark saved at the head of a file is no part of the script.
    if (script.startsWith(QChar(kByteOrderMark)))
        script = script.mid(1);
    const QStringView trimmed = trimSpaces(script);
    result.m_buffer.reserve(trimmed.size());
    removePastedCode(trimmed, result.m_buffer);

    QChar *data = result.m_buffer.data();
    const QStringView all = trimSpaces(result.m_buffer);
    qsizetype pos = all.isEmpty() ? 0 : all.data() - data;
    const qsizetype end = pos + all.size();

    // Trimming removed spaces only, so lines here are the script's lines.
    int line = 1;
    qsizetype counted = 0; // line breaks are counted up to here
    auto lineOf = [&](qsizetype at) {
        line += countLines(data, counted, at, end);
        counted = at;
        return line;
    };

    auto add = [&](qsizetype from, qsizetype to, bool removeSemicolons) {
        const QStringView piece = trimSpaces(QStringView(data + from, to - from));
        if (piece.isEmpty())
            return;
        const qsizetype start = piece.data() - data;
        const qsizetype stop = start + piece.size();
        qsizetype first = start;
        while (first < stop && isWhite(data[first].unicode()))
            ++first;
        // Lines are counted through the whole piece before it is compacted,
        // which leaves stale characters behind it.
        const int startLine = lineOf(first);
        lineOf(stop);

        const bool plain = !removeSemicolons || !piece.contains(u';');
        const char16_t lead = first < stop ? data[first].unicode() : 0;
        Scan scan { piece.size(), true };
        if (!plain || lead == 0 || lead == u'-' || lead == u'#' || lead == u'/')
            scan = stripSemicolons(data + start, piece.size(), removeSemicolons);
        if (scan.hasContent)
            result.m_statements.push_back({ start, scan.length, startLine });
    };

    // DELIMITER, as the command-line client has it, changes what ends a
    // statement; the standard rule cuts at each ";" CR LF.
    QStringView delimiter = kStandardDelimiter;
    const QStringView whole(data, end);
    while (pos < end) {
        const bool standard = delimiter == kStandardDelimiter;
        qsizetype at = end;
        qsizetype next = end;
        if (standard) {
            at = whole.indexOf(u';', pos);
            while (at >= 0 && !(at + 2 < end && data[at + 1] == u'\r' && data[at + 2] == u'\n'))
                at = whole.indexOf(u';', at + 1);
            if (at < 0)
                at = end;
            else
                next = at + 3;
        } else {
            at = findDelimiter(data, pos, end, delimiter, &next);
        }

        const qsizetype head = firstContent(data, pos, at);
        const qsizetype wordEnd = head + kDelimiterWord.size();
        if (head < at && whole.mid(head).startsWith(kDelimiterWord, Qt::CaseInsensitive)
            && (wordEnd == end || isWhite(data[wordEnd].unicode()))) {
            qsizetype lineEnd = head;
            while (lineEnd < end && !isLineBreak(data[lineEnd].unicode()))
                ++lineEnd;
            const QStringView commandLine = trimSpaces(whole.mid(head, lineEnd - head));
            DelimiterCommand command = parseDelimiterLine(commandLine);
            if (command.refusal.isEmpty())
                delimiter = command.delimiter;
            else
                result.refuse({ head, commandLine.size(), lineOf(head) }, command.refusal);
            pos = skipLineBreak(data, lineEnd, end);
            continue;
        }
        add(pos, at, standard && at < end);
        pos = next;
    }
    return result;
}
