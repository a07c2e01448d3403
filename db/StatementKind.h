#pragma once

#include <QByteArrayView>

// True when the statement's answer can only be a plain OK or error packet,
// so it may be sent before earlier answers have been read. Decided by the
// first keyword after white space and comments, from a short list of
// statements that cannot return rows; anything else, anything that
// mentions RETURNING or holds an executable comment is false: when unsure,
// the statement waits for every earlier answer and runs alone.
// The statement is UTF-8.
bool answersWithoutRows(QByteArrayView statement);
