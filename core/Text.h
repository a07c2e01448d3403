#pragma once

#include <QString>

// Text as the windows read it from their boxes: only the space character
// (code 32) is trimmed from either end; tabs and other white space stay.
QString trimSpaces(const QString &text);
