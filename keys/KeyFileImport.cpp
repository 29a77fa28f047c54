#include "keys/KeyFileImport.h"

#include "keys/TextLines.h"

#include <QFileInfo>
#include <QHash>

#include <array>
#include <limits>

namespace vanterel::keys {

namespace {

constexpr qsizetype ColumnsRead = 7;
using Columns = std::array<QStringView, ColumnsRead>;

bool isColumnBreak(QChar c)
{
    return c == u' ' || c == u'\t';
}

// Cuts a stripped line into its first seven columns and returns how many it
// found. Splitting at runs of blanks and tabs gives the same columns as turning
// tabs into blanks, collapsing runs and splitting at each blank: a tab at
// either end still makes an empty first or last column.
qsizetype splitColumns(QStringView line, Columns &columns)
{
    qsizetype count = 0;
    qsizetype start = 0;
    for (qsizetype i = 0; i < line.size() && count < ColumnsRead;) {
        if (!isColumnBreak(line[i])) {
            ++i;
            continue;
        }
        columns[count++] = line.sliced(start, i - start);
        while (i < line.size() && isColumnBreak(line[i]))
            ++i;
        start = i;
    }
    if (count < ColumnsRead)
        columns[count++] = line.sliced(start);
    return count;
}

int hexDigit(QChar c)
{
    const char16_t u = c.unicode();
    if (u >= u'0' && u <= u'9')
        return u - u'0';
    if (u >= u'a' && u <= u'f')
        return u - u'a' + 10;
    if (u >= u'A' && u <= u'F')
        return u - u'A' + 10;
    return -1;
}

std::optional<qint32> readHexKeyCode(QStringView column)
{
    if (column.startsWith(u"0x", Qt::CaseInsensitive))
        column = column.sliced(2);
    quint64 value = 0;
    for (QChar c : column) {
        const int digit = hexDigit(c);
        if (digit < 0)
            break;
        value = value * 16 + static_cast<quint64>(digit);
        if (value > std::numeric_limits<quint32>::max())
            return std::nullopt;
    }
    return static_cast<qint32>(static_cast<quint32>(value));
}

std::optional<qint32> readDecimalMask(QStringView column)
{
    qsizetype i = 0;
    bool negative = false;
    if (!column.isEmpty() && (column[0] == u'-' || column[0] == u'+')) {
        negative = column[0] == u'-';
        ++i;
    }
    const qint64 limit
        = negative ? -qint64(std::numeric_limits<qint32>::min()) : qint64(std::numeric_limits<qint32>::max());
    qint64 magnitude = 0;
    for (; i < column.size(); ++i) {
        const char16_t u = column[i].unicode();
        if (u < u'0' || u > u'9')
            break;
        magnitude = magnitude * 10 + (u - u'0');
        if (magnitude > limit)
            return std::nullopt;
    }
    return static_cast<qint32>(negative ? -magnitude : magnitude);
}

ImportError overflow(qsizetype lineNumber, QStringView column)
{
    return {
        ImportError::Overflow,
        QStringLiteral("Overflow in line %1: \"%2\" does not fit in 32 bits").arg(lineNumber).arg(column)};
}

} // namespace

std::optional<ImportError> ImportKeyFile(const QString &path, KeyBindings &bindings)
{
    bindings.reset();
    QString text;
    QString reason;
    if (!ReadTextFile(path, text, reason)) {
        if (!QFileInfo::exists(path))
            return ImportError{ImportError::FileNotFound, QStringLiteral("File not found: ") + path};
        return ImportError{ImportError::FileAccess,
                           QStringLiteral("Path/File access error: %1 (%2)").arg(path, reason)};
    }
    return AppendKeyFileLines(text, bindings);
}

void KeepOwnHolds(const KeyBindings &current, KeyBindings &imported)
{
    // By upper-cased name, the first binding of a name only, as find() goes:
    // a look-up per binding would make a large key file cost its square.
    QHash<QString, qint32> holds;
    for (qint32 i = 1; i <= current.upperBound(); ++i) {
        const QString name = current.at(i).Callback.toUpper();
        if (!holds.contains(name))
            holds.insert(name, current.at(i).HoldMs);
    }
    for (qint32 i = 1; i <= imported.upperBound(); ++i) {
        KeyBinding &binding = imported.at(i);
        binding.HoldMs = holds.value(binding.Callback.toUpper(), 0);
    }
}

std::optional<ImportError> AppendKeyFileLines(QStringView text, KeyBindings &bindings)
{
    const QList<QStringView> lines = SplitLines(text);
    Columns columns;
    for (qsizetype n = 0; n < lines.size(); ++n) {
        const QStringView line = StripBlanks(lines[n]);
        if (IsCommentOrEmpty(line))
            continue;
        if (splitColumns(line, columns) < ColumnsRead || columns[2] != u"0" || columns[3] == u"0")
            continue;

        // The fields are written one by one in this order, so an overflow
        // leaves exactly the ones before it filled in.
        struct Field {
            qint32 KeyBinding::*member;
            qsizetype column;
            bool hex;
        };
        static constexpr Field Order[] = {{&KeyBinding::SecondKey, 3, true},
                                          {&KeyBinding::SecondModifiers, 4, false},
                                          {&KeyBinding::FirstKey, 5, true},
                                          {&KeyBinding::FirstModifiers, 6, false}};
        KeyBinding &binding = bindings.append();
        binding.Callback = columns[0].toString().toUpper();
        for (const Field &field : Order) {
            const QStringView text = columns[field.column];
            const std::optional<qint32> value = field.hex ? readHexKeyCode(text) : readDecimalMask(text);
            if (!value)
                return overflow(n + 1, text);
            binding.*field.member = *value;
        }
    }
    return std::nullopt;
}

} // namespace vanterel::keys
