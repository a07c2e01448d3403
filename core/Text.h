#pragma once

#include <QStringView>

// The program's Trim: only the space character (code 32) is removed from
// either end; tabs, line breaks and other white space stay. The result views
// the text given, so keep that text alive while the result is used.
QStringView trimSpaces(QStringView text);
