#pragma once

#include <QByteArrayView>

// What the runner must know of a statement's text (UTF-8) before sending it.
struct StatementShape {
    // The answer can only be a plain OK or error packet, so the statement
    // may be sent before earlier answers have been read. Decided by the
    // first keyword after white space and comments, from a short list of
    // statements that cannot return rows; anything else, anything that
    // mentions RETURNING or holds an executable comment is false: when
    // unsure, the statement waits for every earlier answer and runs alone.
    bool withoutRows = false;
    // It may change the session's sql_mode: a SET, BEGIN or section text
    // that names sql_mode, or an EXECUTE (of what PREPARE held). What
    // follows it is read under the mode the session then has. When unsure,
    // true: it costs one round trip.
    bool changesMode = false;
};

StatementShape shapeOf(QByteArrayView statement, bool several = false);
inline bool answersWithoutRows(QByteArrayView statement)
{
    return shapeOf(statement).withoutRows;
}
