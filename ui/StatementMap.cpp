#include "ui/StatementMap.h"

#include <algorithm>
#include <optional>

StatementMap::StatementMap(Text text, SqlText::Mode mode)
    : StatementMap(std::move(text), mode, Steps {})
{
}

StatementMap::StatementMap(Text text, SqlText::Mode mode, Steps steps)
    : m_text(std::move(text))
    , m_mode(mode)
    , m_steps(steps)
{
    reset();
}

void StatementMap::setMode(SqlText::Mode mode)
{
    if (mode == m_mode)
        return;
    m_mode = mode;
    reset();
}

void StatementMap::reset()
{
    m_points.assign(1, Point {});
    m_frontier = Point {};
    m_readTo = 0;
    m_earlier.clear();
    m_readingValid = false;
}

const StatementMap::Point &StatementMap::knownBefore(qsizetype position) const
{
    if (m_frontier.position <= position)
        return m_frontier;
    const auto after = std::upper_bound(m_points.begin(), m_points.end(), position,
        [](qsizetype p, const Point &point) { return p < point.position; });
    return *std::prev(after); // m_points[0] stands at 0
}

// An edit at `at` leaves the points before it as they are; the frontier and
// the points from it on held for the text before the edit.
void StatementMap::forgetFrom(qsizetype at)
{
    const auto moved = std::lower_bound(m_points.begin() + 1, m_points.end(), at,
        [](const Point &point, qsizetype p) { return point.position < p; });
    std::vector<Point> earlier(
        std::make_move_iterator(moved), std::make_move_iterator(m_points.end()));
    m_points.erase(moved, m_points.end());
    if (m_frontier.position > 0) {
        if (earlier.empty() || earlier.back().position != m_frontier.position)
            earlier.push_back(m_frontier);
        earlier.back().last = true;
    }
    m_earlier.insert(m_earlier.begin(), std::make_move_iterator(earlier.begin()),
        std::make_move_iterator(earlier.end()));
    m_frontier = m_points.back();
    m_readTo = m_frontier.position;
}

// What an edit at `at` leaves of what was known.
void StatementMap::edited(qsizetype at)
{
    m_readingValid = false;
    // A point at `at` goes too: the text before it changed, and a line
    // break put right after a CR would join it to that CR.
    if (at <= m_frontier.position)
        forgetFrom(at);
    m_readTo = std::min(m_readTo, std::max(at, m_frontier.position));
    // A stretch of earlier points that the edit falls in now holds up to
    // the last point before the edit; the points after it, a stretch of
    // their own, may still line up.
    const auto after = std::lower_bound(m_earlier.begin(), m_earlier.end(), at,
        [](const Point &point, qsizetype p) { return point.position < p; });
    if (after != m_earlier.begin())
        std::prev(after)->last = true;
}

void StatementMap::inserted(qsizetype at, qsizetype length)
{
    edited(at);
    for (Point &point : m_earlier) {
        if (point.position >= at)
            point.position += length;
    }
}

void StatementMap::removed(qsizetype at, qsizetype length)
{
    edited(at);
    const auto gone = std::lower_bound(m_earlier.begin(), m_earlier.end(), at,
        [](const Point &point, qsizetype p) { return point.position < p; });
    const auto kept = std::lower_bound(gone, m_earlier.end(), at + length,
        [](const Point &point, qsizetype p) { return point.position < p; });
    for (auto point = kept; point != m_earlier.end(); ++point)
        point->position -= length;
    m_earlier.erase(gone, kept);
}

// The cut has reached `after`, a statement start past the frontier.
void StatementMap::extend(const CutPoint &after)
{
    const auto keep = [this](Point point) {
        point.last = false;
        if (point.position - m_points.back().position >= m_steps.spacing)
            m_points.push_back(point);
        m_frontier = std::move(point);
    };
    keep(Point { after.position, after.delimiter, after.lineStart });
    m_readTo = m_frontier.position;
    while (!m_earlier.empty() && m_earlier.front().position < after.position)
        m_earlier.pop_front();
    if (m_earlier.empty() || m_earlier.front().position != after.position
        || m_earlier.front().delimiter != after.delimiter
        || m_earlier.front().lineStart != after.lineStart)
        return;
    // Lined up: from here on the cut reads the bytes it read before from the
    // same state, up to where that cut stopped.
    while (!m_earlier.empty()) {
        Point point = std::move(m_earlier.front());
        m_earlier.pop_front();
        const bool last = point.last;
        keep(std::move(point));
        if (last)
            break;
    }
    m_readTo = m_frontier.position;
}

// Cuts [from, to) of the script from a point known to hold. Statements that
// may read otherwise once the bytes after `to` are seen count only for the
// reading, which stops at the first of them.
void StatementMap::cutFrom(Point from, qsizetype to, Reading *out)
{
    const qsizetype size = m_text.size();
    to = std::min(to, size);
    const bool whole = to == size; // then what it gives is final
    const qsizetype length = to - from.position;
    QByteArray bytes(m_text.bytes(from.position, length), length);
    // The cut drops spaces at the end as the end of the script's.
    qsizetype trimmed = to;
    while (trimmed > from.position && bytes[trimmed - from.position - 1] == ' ')
        --trimmed;
    std::optional<ScriptCutter> cutter;
    if (from.position == 0)
        cutter.emplace(std::move(bytes), m_mode);
    else
        cutter.emplace(std::move(bytes),
            CutPoint { from.position, from.delimiter, 1, 0, from.lineStart }, m_mode);

    qsizetype lead = from.position;
    for (Statement s;;) {
        const bool got = cutter->next(&s);
        if (out)
            out->delimiterLines.insert(out->delimiterLines.end(), cutter->delimiterLines().begin(),
                cutter->delimiterLines().end());
        if (!got) {
            if (out)
                out->tail = lead;
            if (lead == m_frontier.position)
                m_readTo = std::max(m_readTo, to);
            return;
        }
        const CutPoint after = cutter->resumePoint();
        // A statement that ends where the bytes given end may end elsewhere
        // once more follows: in the script, or at its end once text is added
        // (the cut leaves spaces at the end out).
        const bool cutShort = after.position >= trimmed;
        if (out) {
            Piece piece;
            piece.lead = lead;
            piece.code = s.codeOrigin;
            piece.end = s.origin + s.originLength;
            piece.next = after.position;
            piece.standard = !s.several;
            piece.refused = !s.refusal.isEmpty();
            piece.pasted = s.pasted;
            piece.start = s.codeOrigin;
            if (s.pasted) {
                // Read as it stands, from its line's start: its code was moved.
                const char *const head = m_text.bytes(lead, s.codeOrigin - lead);
                while (piece.start > lead && !SqlText::isLineBreak(head[piece.start - 1 - lead]))
                    --piece.start;
            }
            out->pieces.push_back(piece);
            out->tail = after.position;
            out->open = cutShort && !whole;
        }
        if (cutShort) {
            if (lead == m_frontier.position)
                m_readTo = std::max(m_readTo, to);
            return;
        }
        if (after.position > m_frontier.position) {
            extend(after);
            // Lined up: the rest is known, unless it is to be read.
            if (!out && m_frontier.position > after.position)
                return;
        }
        lead = after.position;
    }
}

bool StatementMap::reach(qsizetype position, qsizetype budget)
{
    position = std::min(position, m_text.size());
    while (m_readTo < position && budget > 0) {
        // As far as asked, a step at most; a statement longer than that is
        // read in steps that double, so that it is read about twice, not
        // once a step.
        const qsizetype step
            = std::max(std::min(position - m_frontier.position + m_steps.spacing, m_steps.slice),
                2 * (m_readTo - m_frontier.position));
        cutFrom(m_frontier, m_frontier.position + step, nullptr);
        budget -= step;
    }
    return m_readTo >= position;
}

const StatementMap::Reading &StatementMap::read(qsizetype from, qsizetype to)
{
    const qsizetype size = m_text.size();
    to = std::min(to, size);
    from = std::min(from, to);
    if (m_readingValid && m_reading.from <= from && to <= m_reading.to)
        return m_reading;
    const Point start = knownBefore(from);
    m_reading = Reading {};
    m_reading.from = start.position;
    m_reading.to = to;
    cutFrom(start, to + kLookahead, &m_reading);
    m_readingValid = true;
    return m_reading;
}
