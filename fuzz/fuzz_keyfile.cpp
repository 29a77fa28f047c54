// Key-file import: ImportKeyFile on a file holding the fuzz bytes, against a
// model of the import written the plain way (strip blanks, skip comments,
// tabs to blanks, collapse runs of blanks, cut at blanks). Whatever the bytes:
//
// - the import gives the model's bindings, in the model's order, and stops
//   with an overflow error exactly where the model does;
// - every binding's callback is in upper case, and empty only where the line
//   begins with a tab (which makes an empty first column);
// - a stale table is emptied first.
//
//   scripts/fuzz.sh --seconds 600 fuzz_keyfile
#include "fuzz/FuzzSupport.h"
#include "keys/KeyFileImport.h"

#include <QList>
#include <QString>
#include <QStringList>

#include <cstdint>
#include <optional>

using namespace Qt::StringLiterals;
using namespace vanterel::fuzz;
using vanterel::keys::ImportError;
using vanterel::keys::KeyBinding;
using vanterel::keys::KeyBindings;

namespace {

struct Model {
    QList<KeyBinding> bindings;
    bool overflow = false;
    // For each binding, whether its line began with a tab.
    QList<bool> tabFirst;
};

bool isDigit(QChar c) { return c >= u'0' && c <= u'9'; }

bool isHexDigit(QChar c)
{
    return isDigit(c) || (c >= u'a' && c <= u'f') || (c >= u'A' && c <= u'F');
}

// The column's hex value; nullopt when it does not fit in 32 bits.
std::optional<qint32> hexOf(QString column)
{
    if (column.startsWith(u"0x"_s, Qt::CaseInsensitive))
        column.remove(0, 2);
    qsizetype end = 0;
    while (end < column.size() && isHexDigit(column[end]))
        ++end;
    bool ok = true;
    const qulonglong value = end == 0 ? 0 : column.left(end).toULongLong(&ok, 16);
    if (!ok || value > 0xFFFFFFFFull)
        return std::nullopt;
    return static_cast<qint32>(static_cast<quint32>(value));
}

// The column's decimal value; nullopt when it does not fit in 32 bits signed.
std::optional<qint32> decimalOf(const QString &column)
{
    qsizetype end = column.startsWith(u'-') || column.startsWith(u'+') ? 1 : 0;
    const qsizetype digitsFrom = end;
    while (end < column.size() && isDigit(column[end]))
        ++end;
    if (end == digitsFrom)
        return 0;
    bool ok = true;
    const qlonglong value = column.left(end).toLongLong(&ok);
    if (!ok || value < INT32_MIN || value > INT32_MAX)
        return std::nullopt;
    return static_cast<qint32>(value);
}

Model model(const QString &text)
{
    Model m;
    QString normalised = text;
    normalised.replace(u"\r\n"_s, u"\n"_s);
    normalised.replace(u'\r', u'\n');
    for (QString line : normalised.split(u'\n')) {
        while (line.startsWith(u' '))
            line.remove(0, 1);
        while (line.endsWith(u' '))
            line.chop(1);
        if (line.isEmpty() || line.startsWith(u"//"_s) || line.startsWith(u'#'))
            continue;
        const bool tabFirst = line.startsWith(u'\t');
        line.replace(u'\t', u' ');
        while (line.contains(u"  "_s))
            line.replace(u"  "_s, u" "_s);
        const QStringList columns = line.split(u' ');
        if (columns.size() < 7 || columns[2] != u"0"_s || columns[3] == u"0"_s)
            continue;

        // An overflow ends the import; the binding begun keeps the fields
        // written before it, in this order.
        m.bindings.append(KeyBinding{0, 0, 0, 0, columns[0].toUpper()});
        m.tabFirst.append(tabFirst);
        KeyBinding &added = m.bindings.last();
        const auto secondKey = hexOf(columns[3]);
        const auto secondMods = decimalOf(columns[4]);
        const auto firstKey = hexOf(columns[5]);
        const auto firstMods = decimalOf(columns[6]);
        added.SecondKey = secondKey.value_or(0);
        added.SecondModifiers = secondKey ? secondMods.value_or(0) : 0;
        added.FirstKey = secondKey && secondMods ? firstKey.value_or(0) : 0;
        added.FirstModifiers = secondKey && secondMods && firstKey ? firstMods.value_or(0) : 0;
        if (!secondKey || !secondMods || !firstKey || !firstMods) {
            m.overflow = true;
            return m;
        }
    }
    return m;
}

QString show(const KeyBinding &b)
{
    return u"{\"%1\" %2/%3 %4/%5}"_s.arg(b.Callback)
        .arg(b.SecondKey)
        .arg(b.SecondModifiers)
        .arg(b.FirstKey)
        .arg(b.FirstModifiers);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    static const QString path = scratchFolder().filePath(u"input.key"_s);

    QByteArray bytes = bytesOf(data, size);
    writeFile(path, bytes);
    KeyBindings table;
    table.append(KeyBinding{1, 2, 3, 4, u"stale"_s});
    const std::optional<ImportError> error = vanterel::keys::ImportKeyFile(path, table);

    // The model reads the text as the importer is documented to: UTF-8, a
    // byte order mark at the start dropped.
    if (bytes.startsWith("\xEF\xBB\xBF"))
        bytes.remove(0, 3);
    const Model want = model(QString::fromUtf8(bytes));

    check(error.has_value() == want.overflow, "the import stops with an error exactly on an overflow",
          error ? error->description : QString());
    if (error)
        check(error->number == ImportError::Overflow, "an overflow is error 6", error->description);
    check(table.upperBound() == want.bindings.size(), "the import keeps the accepted lines and no more",
          u"%1 bindings, model %2"_s.arg(table.upperBound()).arg(want.bindings.size()));
    for (qint32 i = 1; i <= table.upperBound(); ++i) {
        const KeyBinding &got = table.at(i);
        const QString detail = u"binding %1: %2, model %3"_s.arg(i).arg(show(got), show(want.bindings[i - 1]));
        check(got.Callback == got.Callback.toUpper(), "a callback is in upper case", detail);
        check(!got.Callback.isEmpty() || want.tabFirst[i - 1],
              "a callback is empty only when its line begins with a tab", detail);
        check(got == want.bindings[i - 1], "a binding has the fields of its line", detail);
    }
    return 0;
}
