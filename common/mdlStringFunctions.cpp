#include "common/mdlStringFunctions.h"

namespace mdlStringFunctions {

namespace {
QString missing(const QString &text, bool emptyWhenMissing)
{
    return emptyWhenMissing ? QString() : text;
}
} // namespace

QString MidBetween(const QString &text, const QString &startMarker, const QString &endMarker,
                   Qt::CaseSensitivity cs, bool emptyWhenMissing)
{
    const qsizetype start = text.indexOf(startMarker, 0, cs);
    if (start < 0)
        return missing(text, emptyWhenMissing);
    const qsizetype from = start + startMarker.size();
    const qsizetype end = text.indexOf(endMarker, from, cs);
    if (end < 0)
        return missing(text, emptyWhenMissing);
    return text.mid(from, end - from);
}

QString RightOfFirst(const QString &text, const QString &separator, Qt::CaseSensitivity cs,
                     bool emptyWhenMissing)
{
    const qsizetype at = text.indexOf(separator, 0, cs);
    if (at < 0)
        return missing(text, emptyWhenMissing);
    return text.mid(at + separator.size());
}

QString LeftOfLast(const QString &text, const QString &delimiter, Qt::CaseSensitivity cs,
                   bool emptyWhenMissing)
{
    const qsizetype at = text.lastIndexOf(delimiter, -1, cs);
    if (at < 0)
        return missing(text, emptyWhenMissing);
    return text.left(at);
}

} // namespace mdlStringFunctions
