// The number readers against models of their rules, written here a second
// way, on digit strings rather than on an accumulator:
//
// - ReadLeadingNumber (keys.dat fields, the port box): blanks and tabs
//   skipped, an optional sign, digits, "." and more digits, a half rounded to
//   the even neighbour, and {0, out of range} beyond 32 bits once rounded;
// - the key-file columns, read through AppendKeyFileLines: a hex key code
//   with an optional "0x", as 32-bit two's complement, an overflow error above
//   FFFFFFFF; a decimal mask with an optional sign, an overflow error outside
//   32 bits signed.
//
// The input is read once as Latin-1 (every byte one character, so the
// mutations land where they aim) and once as UTF-8 (other scripts' digits
// and blanks).
//
//   scripts/fuzz.sh --seconds 600 fuzz_numbers
#include "config/LeadingNumber.h"
#include "fuzz/FuzzSupport.h"
#include "keys/KeyFileImport.h"

#include <QString>

#include <cstdint>
#include <optional>

using namespace Qt::StringLiterals;
using namespace vanterel::fuzz;
using vanterel::config::LeadingNumber;
using vanterel::config::ReadLeadingNumber;
using vanterel::keys::ImportError;
using vanterel::keys::KeyBinding;
using vanterel::keys::KeyBindings;

namespace {

bool isAsciiDigit(QChar c) { return c >= u'0' && c <= u'9'; }

bool isHexDigit(QChar c)
{
    return isAsciiDigit(c) || (c >= u'a' && c <= u'f') || (c >= u'A' && c <= u'F');
}

// The run of characters from `from` that pass the test.
QString runOf(const QString &text, qsizetype from, bool (*test)(QChar))
{
    qsizetype end = from;
    while (end < text.size() && test(text[end]))
        ++end;
    return text.mid(from, end - from);
}

QString withoutLeadingZeros(const QString &digits)
{
    qsizetype i = 0;
    while (i < digits.size() && digits[i] == u'0')
        ++i;
    return digits.mid(i);
}

// Compares two digit strings without leading zeros as numbers.
int compareDigits(const QString &a, const QString &b)
{
    if (a.size() != b.size())
        return a.size() < b.size() ? -1 : 1;
    return a.compare(b);
}

LeadingNumber modelLeadingNumber(const QString &text)
{
    qsizetype i = 0;
    while (i < text.size() && (text[i] == u' ' || text[i] == u'\t'))
        ++i;
    bool negative = false;
    if (i < text.size() && (text[i] == u'+' || text[i] == u'-'))
        negative = text[i++] == u'-';
    const QString whole = runOf(text, i, isAsciiDigit);
    i += whole.size();
    QString fraction;
    if (i + 1 < text.size() && text[i] == u'.' && isAsciiDigit(text[i + 1]))
        fraction = runOf(text, i + 1, isAsciiDigit);

    // Eleven significant digits are beyond 32 bits whatever the rounding.
    const QString significant = withoutLeadingZeros(whole);
    if (significant.size() > 10)
        return {0, false};
    qint64 magnitude = significant.isEmpty() ? 0 : significant.toLongLong();

    // Against one half: the fraction's digits without trailing zeros compare
    // with "5" as text ("49999" < "5" < "50001").
    QString f = fraction;
    while (f.endsWith(u'0'))
        f.chop(1);
    if (!f.isEmpty()) {
        const int against = f.compare(u"5"_s);
        if (against > 0 || (against == 0 && magnitude % 2 == 1))
            ++magnitude;
    }

    const qint64 value = negative ? -magnitude : magnitude;
    if (value < INT32_MIN || value > INT32_MAX)
        return {0, false};
    return {static_cast<qint32>(value), true};
}

// A key-file key code; nullopt is an overflow.
std::optional<qint32> modelHex(const QString &column)
{
    const bool prefixed = column.startsWith(u"0x"_s, Qt::CaseInsensitive);
    const QString digits = withoutLeadingZeros(runOf(column, prefixed ? 2 : 0, isHexDigit));
    if (digits.size() > 8)
        return std::nullopt;
    const quint32 value = digits.isEmpty() ? 0 : digits.toUInt(nullptr, 16);
    return static_cast<qint32>(value);
}

// A key-file modifier mask; nullopt is an overflow.
std::optional<qint32> modelDecimal(const QString &column)
{
    qsizetype i = 0;
    bool negative = false;
    if (!column.isEmpty() && (column[0] == u'+' || column[0] == u'-'))
        negative = column[i++] == u'-';
    const QString digits = withoutLeadingZeros(runOf(column, i, isAsciiDigit));
    const QString limit = negative ? u"2147483648"_s : u"2147483647"_s;
    if (compareDigits(digits, limit) > 0)
        return std::nullopt;
    const qint64 magnitude = digits.isEmpty() ? 0 : digits.toLongLong();
    return static_cast<qint32>(negative ? -magnitude : magnitude);
}

QString show(const LeadingNumber &n)
{
    return u"{%1, %2}"_s.arg(n.value).arg(n.inRange ? u"in range"_s : u"out of range"_s);
}

void checkLeadingNumber(const QString &text)
{
    const LeadingNumber got = ReadLeadingNumber(text);
    const LeadingNumber want = modelLeadingNumber(text);
    check(got.value == want.value && got.inRange == want.inRange, "ReadLeadingNumber follows its rules",
          u"text \"%1\": read %2, rules give %3"_s.arg(text, show(got), show(want)));
}

// One key-file line with the column in two places, and what it must give.
// Columns 5 and 6 (a mask, then a key code) share it; so that a hex overflow
// can show apart from a decimal one, the mask comes first, as in the file.
void checkColumns(const QString &column)
{
    const QString line = u"cb 1 0 1 "_s + column + u' ' + column + u" 7"_s;
    KeyBindings table;
    const std::optional<ImportError> error = vanterel::keys::AppendKeyFileLines(line, table);

    KeyBinding want{0, 0, 1, 0, u"CB"_s};
    bool wantOverflow = false;
    if (const auto mask = modelDecimal(column)) {
        want.SecondModifiers = *mask;
        if (const auto key = modelHex(column)) {
            want.FirstKey = *key;
            want.FirstModifiers = 7;
        } else {
            wantOverflow = true;
        }
    } else {
        wantOverflow = true;
    }

    const QString detail = u"column \"%1\""_s.arg(column);
    check(error.has_value() == wantOverflow, "a column overflows exactly when it does not fit", detail);
    if (error)
        check(error->number == ImportError::Overflow, "an overflow is error 6", detail);
    check(table.upperBound() == 1, "the line gives one binding", detail);
    const KeyBinding &got = table.at(1);
    check(got == want, "the columns read as hex key code and decimal mask",
          detail
              + u": mask %1 key %2 (rules: %3, %4)"_s.arg(got.SecondModifiers)
                    .arg(got.FirstKey)
                    .arg(want.SecondModifiers)
                    .arg(want.FirstKey));

    // Column 4, the second key, drops the line when it is the text "0".
    KeyBindings second;
    const auto secondError = vanterel::keys::AppendKeyFileLines(u"cb 1 0 "_s + column + u" 0 0 0"_s, second);
    if (column == u"0"_s) {
        check(!secondError && second.upperBound() == 0, "a second key of exactly 0 drops the line", detail);
        return;
    }
    const auto key = modelHex(column);
    check(secondError.has_value() == !key.has_value(), "the second key overflows when it does not fit",
          detail);
    check(second.upperBound() == 1 && second.at(1).SecondKey == key.value_or(0),
          "the second key reads as hex", detail);
}

// A column holds no line end and no break between columns.
QString asColumn(const QString &text)
{
    QString column;
    for (QChar c : text) {
        if (c != u' ' && c != u'\t' && c != u'\r' && c != u'\n')
            column.append(c);
    }
    return column;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QByteArray bytes = bytesOf(data, size);
    for (const QString &text : {QString::fromLatin1(bytes), QString::fromUtf8(bytes)}) {
        checkLeadingNumber(text);
        const QString column = asColumn(text);
        if (!column.isEmpty())
            checkColumns(column);
    }
    return 0;
}
