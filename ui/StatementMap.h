#pragma once

#include "db/ScriptCutter.h"

#include <deque>
#include <functional>
#include <vector>

// Where the statements of a script being edited stand, as the cut that runs
// it reads them, a stretch at a time and without cutting the whole script
// again after each edit: the cut goes on from points it reported (one kept
// every so many bytes), and after an edit it cuts again from the last point
// before it only until its statements line up with those it knew. What an
// editor colours and marks, a view at a time. Qt Core only.
class StatementMap {
public:
    // The script as the map reads it: its size, and its bytes
    // [position, position + length) in one piece.
    struct Text {
        std::function<qsizetype()> size;
        std::function<const char *(qsizetype position, qsizetype length)> bytes;
    };
    // How far apart the points kept are, and how much one step of reach()
    // cuts; tests make them tiny, so that every edge is crossed.
    struct Steps {
        qsizetype spacing = 64 << 10;
        qsizetype slice = 4 << 20;
    };

    // One statement, and the text before it.
    struct Piece {
        qsizetype lead = 0; // the blanks, comments and DELIMITER lines before it start here
        qsizetype start
            = 0; // its text: where its code starts, or the start of a pasted line holding it
        qsizetype code = 0; // where its code starts; its first code line is its line
        qsizetype end = 0; // where its delimiter starts
        qsizetype next = 0; // where the text after it starts
        bool standard
            = true; // ended by ";" and a line break, not by a delimiter of the script's own
        bool refused = false; // a malformed DELIMITER line
        bool pasted = false; // a line pasted from code
    };
    // The statements over a stretch of the script, in order. The first
    // starts at or before the stretch asked for; text after the last one
    // (from `tail`) holds none. When `open`, the last one goes on past the
    // stretch, and its end and next are where the reading stopped.
    struct Reading {
        qsizetype from = 0;
        qsizetype to = 0;
        std::vector<Piece> pieces;
        std::vector<ScriptCutter::Span> delimiterLines;
        qsizetype tail = 0;
        bool open = false;
    };

    explicit StatementMap(Text text, SqlText::Mode mode = {});
    StatementMap(Text text, SqlText::Mode mode, Steps steps);

    // Under another mode every statement may read otherwise: all is cut again.
    void setMode(SqlText::Mode mode);
    SqlText::Mode mode() const { return m_mode; }
    // Forgets everything known, as for a new script.
    void reset();
    // What the script went through, told after each change.
    void inserted(qsizetype at, qsizetype length);
    void removed(qsizetype at, qsizetype length);

    // Cuts on, about `budget` bytes at most, until read() of a stretch from
    // `position` costs no more than a stretch's worth; true once it does.
    bool reach(qsizetype position, qsizetype budget);
    // The statements over [from, to), read from the last point known before
    // `from`: call reach(from) first, or this may cut a long way. The same
    // reading serves until the next change.
    const Reading &read(qsizetype from, qsizetype to);

    // Bytes read past a stretch, so that what stands at its end reads as in
    // the whole script: "--" needs the byte after the next.
    static constexpr qsizetype kLookahead = 16;

private:
    // A statement start the cut reported, with what it knew there.
    struct Point {
        qsizetype position = 0;
        QByteArray delimiter = ";";
        bool lineStart = true;
        // For points of an earlier text: the last one of a stretch that was
        // cut without a break, so that lining up at one of its points
        // vouches for the points up to this one.
        bool last = false;
    };

    const Point &knownBefore(qsizetype position) const;
    void cutFrom(Point from, qsizetype to, Reading *out);
    void extend(const CutPoint &after);
    void forgetFrom(qsizetype at);
    void edited(qsizetype at);

    Text m_text;
    SqlText::Mode m_mode;
    Steps m_steps;
    // Points of the text as it is, in order, m_points[0] its start; none past
    // the frontier, the last point the cut reached.
    std::vector<Point> m_points;
    Point m_frontier;
    // How far the cut from the frontier read without finding a statement end.
    qsizetype m_readTo = 0;
    // Points after the frontier that held before an edit, moved with the
    // text, to line up with.
    std::deque<Point> m_earlier;
    Reading m_reading;
    bool m_readingValid = false;
};
