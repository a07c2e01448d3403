#include "db/ScriptCutter.h"

#include "core/Text.h"

namespace {

constexpr QStringView kPastedPrefix = u"cnn.Execute";

bool isSpace(QChar c)
{
    return c == u' ';
}

bool isWhite(char16_t c)
{
    return c == u' ' || c == u'\t' || c == u'\r' || c == u'\n';
}

// Copies text into out, dropping each pasted "cnn.Execute" and, when a
// double-quoted string follows it, that string's quotes ("" inside is one ").
// Quoted text ends at its closing quote or at the end of its line, so no
// line break is ever removed and line numbers stay those of the script.
void removePastedCode(QStringView text, QString &out)
{
    qsizetype from = 0;
    const qsizetype n = text.size();
    while (from < n) {
        const qsizetype hit = text.indexOf(kPastedPrefix, from);
        if (hit < 0) {
            out.append(text.mid(from));
            return;
        }
        out.append(text.mid(from, hit - from));
        qsizetype i = hit + kPastedPrefix.size();
        qsizetype q = i;
        while (q < n && isSpace(text[q]))
            ++q;
        if (q >= n || text[q] != u'"') {
            from = i;
            continue;
        }
        out.append(text.mid(i, q - i));
        i = q + 1;
        while (i < n) {
            const QChar c = text[i];
            if (c == u'\r' || c == u'\n')
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
        from = i;
    }
}

// Drops every ";" outside quoted text and comments, compacting the range in
// place; tells whether anything but white space and comments is left.
// MariaDB's executable comments (/*! and /*M!) count as statement text.
struct Scan {
    qsizetype length;
    bool hasContent;
};

Scan stripSemicolons(QChar *data, qsizetype n, bool removeSemicolons)
{
    enum class State { Code, Quoted, LineComment, BlockComment } state = State::Code;
    char16_t quote = 0;
    bool content = false;
    qsizetype w = 0;
    for (qsizetype r = 0; r < n; ++r) {
        const char16_t c = data[r].unicode();
        const char16_t next = r + 1 < n ? data[r + 1].unicode() : 0;
        switch (state) {
        case State::Code:
            if (c == u';' && removeSemicolons)
                continue;
            if (c == u'\'' || c == u'"' || c == u'`') {
                state = State::Quoted;
                quote = c;
                content = true;
            } else if (c == u'#') {
                state = State::LineComment;
            } else if (c == u'-' && next == u'-' && (r + 2 >= n || data[r + 2].unicode() <= u' ')) {
                state = State::LineComment;
            } else if (c == u'/' && next == u'*') {
                const char16_t third = r + 2 < n ? data[r + 2].unicode() : 0;
                const char16_t fourth = r + 3 < n ? data[r + 3].unicode() : 0;
                if (third == u'!' || (third == u'M' && fourth == u'!')) {
                    content = true; // executable comment: the server runs it
                } else {
                    state = State::BlockComment;
                    data[w++] = data[r++]; // keep "/*" whole so "/*/" does not close it
                }
            } else if (!isWhite(c)) {
                content = true;
            }
            break;
        case State::Quoted:
            if (c == u'\\' && quote != u'`' && r + 1 < n) {
                data[w++] = data[r++];
            } else if (c == quote) {
                if (next == quote)
                    data[w++] = data[r++];
                else
                    state = State::Code;
            }
            break;
        case State::LineComment:
            if (c == u'\r' || c == u'\n')
                state = State::Code;
            break;
        case State::BlockComment:
            if (c == u'*' && next == u'/') {
                data[w++] = data[r++];
                state = State::Code;
            }
            break;
        }
        data[w++] = data[r];
    }
    return { w, content };
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

CutScript CutScript::cut(QStringView script)
{
    CutScript result;
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
        line += countLines(data, counted, first, end);
        const int startLine = line;
        line += countLines(data, first, stop, end);
        counted = stop;

        const bool plain = !removeSemicolons || !piece.contains(u';');
        const char16_t lead = first < stop ? data[first].unicode() : 0;
        Scan scan { piece.size(), true };
        if (!plain || lead == 0 || lead == u'-' || lead == u'#' || lead == u'/')
            scan = stripSemicolons(data + start, piece.size(), removeSemicolons);
        if (scan.hasContent)
            result.m_statements.push_back({ start, scan.length, startLine });
    };

    const QStringView whole(data, end);
    while (pos < end) {
        qsizetype at = whole.indexOf(u';', pos);
        while (at >= 0 && !(at + 2 < end && data[at + 1] == u'\r' && data[at + 2] == u'\n'))
            at = whole.indexOf(u';', at + 1);
        if (at < 0)
            break;
        add(pos, at, true);
        pos = at + 3;
    }
    if (pos < end)
        add(pos, end, false);
    return result;
}
