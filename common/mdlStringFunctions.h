#pragma once

#include <QString>

// Small text helpers of one shape: the text, its marker(s), the comparison and
// a flag that says what a missing marker gives (clear: the whole text, set: the
// empty text).
namespace mdlStringFunctions {

// The text between the first start marker and the first end marker after it.
QString MidBetween(const QString &text, const QString &startMarker, const QString &endMarker,
                   Qt::CaseSensitivity cs, bool emptyWhenMissing);

// Everything after the first occurrence of the separator.
QString RightOfFirst(const QString &text, const QString &separator, Qt::CaseSensitivity cs,
                     bool emptyWhenMissing);

// Everything before the last occurrence of the delimiter.
QString LeftOfLast(const QString &text, const QString &delimiter, Qt::CaseSensitivity cs,
                   bool emptyWhenMissing);

} // namespace mdlStringFunctions
