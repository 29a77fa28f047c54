#include "config/LeadingNumber.h"

#include <algorithm>
#include <limits>

namespace vanterel::config {

namespace {
bool isDigit(QStringView text, qsizetype i)
{
    return i < text.size() && text[i] >= u'0' && text[i] <= u'9';
}
int digitAt(QStringView text, qsizetype i)
{
    return text[i].unicode() - u'0';
}
} // namespace

LeadingNumber ReadLeadingNumber(QStringView text)
{
    qsizetype i = 0;
    while (i < text.size() && (text[i] == u' ' || text[i] == u'\t'))
        ++i;
    bool negative = false;
    if (i < text.size() && (text[i] == u'-' || text[i] == u'+')) {
        negative = text[i] == u'-';
        ++i;
    }

    // Anything above this is out of range either way; stop growing there so
    // a long run of digits cannot overflow the accumulator.
    constexpr quint64 cap = quint64(std::numeric_limits<qint32>::max()) + 2;
    quint64 magnitude = 0;
    for (; isDigit(text, i); ++i)
        magnitude = std::min(cap, magnitude * 10 + quint64(digitAt(text, i)));

    if (i < text.size() && text[i] == u'.' && isDigit(text, i + 1)) {
        ++i;
        const int first = digitAt(text, i++);
        bool beyondHalf = false;
        for (; isDigit(text, i); ++i)
            beyondHalf = beyondHalf || digitAt(text, i) != 0;
        const bool exactHalf = first == 5 && !beyondHalf;
        const bool roundUp = first > 5 || (first == 5 && beyondHalf) || (exactHalf && magnitude % 2 == 1);
        if (roundUp)
            magnitude = std::min(cap, magnitude + 1);
    }

    const quint64 limit = negative ? quint64(std::numeric_limits<qint32>::max()) + 1
                                   : quint64(std::numeric_limits<qint32>::max());
    if (magnitude > limit)
        return {0, false};
    const qint64 value = negative ? -qint64(magnitude) : qint64(magnitude);
    return {static_cast<qint32>(value), true};
}

} // namespace vanterel::config
