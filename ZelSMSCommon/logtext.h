#pragma once

#include <QString>

// Log lines are read one per line by administrators and by tools; data from
// the station, a gateway or a modem must not be able to start a line of its
// own or hide part of one. Everything received goes into a log line through
// escaped(): control characters become "\n", "\r", "\t" or "\xNN".
namespace LogText {

// Line feed, carriage return and tab by name, every other C0 or C1 control
// character, DEL and the Unicode line and paragraph separators as \xNN
// (\x{NNNN} above 0xFF). Printable text, backslashes included, stays as it is.
QString escaped(const QString &text);

// True when escaped(text) would change nothing.
bool isClean(const QString &text);

} // namespace LogText
