// The two text files the program reads, from the same fuzz bytes (the number readers are reached through
// both). keys.dat: LoadConfig over a stale state, SaveConfig, LoadConfig again must give back the port,
// folder, SITES, HOSTS, DEVICES, HOLD, KEYFILE and bindings (with their holds) in order, every line ending in
// CR LF (a value holding a tab, two blanks, CR, LF or the separator cannot come back whole and is left out).
// Key file: ImportKeyFile must give the bindings of a model written the plain way, and stop with error 6
// exactly where the model overflows.
//
//   scripts/fuzz.sh --seconds 600 fuzz_textfiles
#include "config/ConfigFile.h"
#include "keys/KeyFileImport.h"

#include <QFile>
#include <QRegularExpression>
#include <QTemporaryDir>

using namespace Qt::StringLiterals;
using namespace vanterel;
using keys::KeyBinding;
using keys::KeyBindings;

namespace {

// A broken rule ends the run with what was broken (qFatal aborts); libFuzzer keeps the input.
void check(bool holds, const char *rule, const QString &detail = {})
{
    if (!holds)
        qFatal("*** broken rule: %s\n*** %s", rule, qUtf8Printable(detail));
}

// Loads over settings that differ from every default and a stale binding, so that a load that forgets
// to set or reset something shows.
std::pair<Settings, KeyBindings> load(const QString &path)
{
    std::pair<Settings, KeyBindings> loaded;
    auto &[settings, table] = loaded;
    settings.ServerPort = 1234;
    settings.DocumentRoot = u"/start/htdocs"_s;
    settings.TargetWindowTitle = u"Something else"_s;
    settings.AllowOtherSites = true;
    settings.TapHoldMs = 77;
    settings.KeyFile = u"/stale.key"_s;
    table.append(KeyBinding{1, 2, 3, 4, u"stale"_s});
    const config::ConfigResult result = config::LoadConfig(path, settings, table);
    check(result.ok && settings.TargetWindowTitle == u"Marlek ORS", "it loads, title set", result.reason);
    return loaded;
}

void checkKeysDat(const QString &path, const QString &saved, const QByteArray &bytes)
{
    const auto [settings, table] = load(path);
    check(bytes.toUpper().contains("FOLDER") || settings.DocumentRoot == u"/start/htdocs",
          "without a FOLDER line the root stays", settings.DocumentRoot);
    check(bytes.toUpper().contains("SITES") || !settings.AllowOtherSites, "without a SITES line it is off");
    check((bytes.toUpper().contains("HOLD") || settings.TapHoldMs == 0)
              && (bytes.toUpper().contains("KEYFILE") || settings.KeyFile.isEmpty()),
          "without HOLD or KEYFILE lines there are none");
    check(settings.TapHoldMs == 0
              || (settings.TapHoldMs >= keys::MinHoldMs && settings.TapHoldMs <= keys::MaxHoldMs),
          "a hold is in range", QString::number(settings.TapHoldMs));

    check(config::SaveConfig(saved, settings, table).ok, "the loaded settings save");
    QFile file(saved);
    const QByteArray written = file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
    const bool devices = settings.OnlyApprovedDevices || !settings.ApprovedDevices.isEmpty();
    const qsizetype lines = 2 + (settings.AllowOtherSites ? 1 : 0) + (settings.HostNames.isEmpty() ? 0 : 1)
        + (devices ? 1 : 0) + (settings.TapHoldMs > 0 ? 1 : 0) + (settings.KeyFile.isEmpty() ? 0 : 1)
        + table.upperBound();
    check(written.count("\r\n") == lines && written.count('\r') == lines && written.count('\n') == lines
              && written.endsWith("\r\n"),
          "the setting lines and one per binding, each ending in CR LF", QString::fromUtf8(written));

    const auto [again, tableAgain] = load(saved);
    static const QRegularExpression broken(u"[\\t\\r\\n\\x{1e}]|  "_s);
    check(again.ServerPort == settings.ServerPort && again.AllowOtherSites == settings.AllowOtherSites
              && (settings.DocumentRoot.contains(broken) || again.DocumentRoot == settings.DocumentRoot),
          "the port, SITES and folder come back", QString::fromUtf8(written));
    check(again.HostNames == settings.HostNames && again.OnlyApprovedDevices == settings.OnlyApprovedDevices
              && again.ApprovedDevices == settings.ApprovedDevices,
          "HOSTS and DEVICES come back", QString::fromUtf8(written));
    check(again.TapHoldMs == settings.TapHoldMs
              && (settings.KeyFile.contains(broken) || again.KeyFile == settings.KeyFile),
          "HOLD and KEYFILE come back", QString::fromUtf8(written));
    check(tableAgain.upperBound() == table.upperBound(), "every binding comes back");
    for (qint32 i = 1; i <= table.upperBound(); ++i) {
        KeyBinding before = table.at(i);
        if (before.Callback.contains(broken))
            before.Callback = tableAgain.at(i).Callback;
        check(tableAgain.at(i) == before, "a binding comes back unchanged, in its place", u"%1"_s.arg(i));
    }
}

// The number a key-file column starts with, on its digit string: a key code in hex after an optional
// "0x", as 32-bit two's complement; a mask in decimal after an optional sign, 32-bit signed. Nothing
// when it does not fit.
std::optional<qint32> modelNumber(const QString &column, bool hex)
{
    static const QRegularExpression hexForm(u"^(?:0[xX])?()0*([0-9a-fA-F]*)"_s);
    static const QRegularExpression decimalForm(u"^([+-]?)0*([0-9]*)"_s);
    const QRegularExpressionMatch number = (hex ? hexForm : decimalForm).match(column);
    const bool negative = number.captured(1) == u"-";
    const QString digits = number.captured(2);
    const qint64 value = digits.size() > 10 ? -1 : digits.toLongLong(nullptr, hex ? 16 : 10);
    if (value < 0 || value > (hex ? 0xFFFFFFFF : negative ? 2147483648 : 2147483647))
        return std::nullopt;
    return qint32(quint32(negative ? -value : value));
}

void checkKeyFile(const QString &path, const QByteArray &bytes)
{
    KeyBindings table;
    table.append(KeyBinding{1, 2, 3, 4, u"stale"_s});
    const std::optional<keys::ImportError> error = keys::ImportKeyFile(path, table);

    // The model reads the text as the importer is documented to: UTF-8, a leading byte order mark dropped.
    QString text = QString::fromUtf8(bytes.startsWith("\xEF\xBB\xBF") ? bytes.mid(3) : bytes);
    static const QRegularExpression outerBlanks(u"^ +| +$"_s), columnBreak(u"[ \\t]+"_s);
    QList<KeyBinding> want;
    bool overflow = false;
    for (QString line : text.replace(u"\r\n"_s, u"\n"_s).replace(u'\r', u'\n').split(u'\n')) {
        const QStringList columns = line.remove(outerBlanks).split(columnBreak);
        if (line.startsWith(u"//"_s) || line.startsWith(u'#') || columns.size() < 7 || columns[2] != u"0"_s
            || columns[3] == u"0"_s)
            continue;
        // An overflow ends the import; the binding begun keeps the fields read before it, in this order.
        KeyBinding &b = want.emplace_back(KeyBinding{0, 0, 0, 0, columns[0].toUpper()});
        qint32 *fields[] = {&b.SecondKey, &b.SecondModifiers, &b.FirstKey, &b.FirstModifiers};
        for (int i = 0; i < 4 && !overflow; ++i) {
            const std::optional<qint32> number = modelNumber(columns[3 + i], i % 2 == 0);
            overflow = !number;
            *fields[i] = number.value_or(0);
        }
        if (overflow)
            break;
    }
    check(error.has_value() == overflow && (!error || error->number == keys::ImportError::Overflow),
          "the import stops with error 6 exactly on an overflow", error ? error->description : QString());
    check(table.upperBound() == want.size(), "the import keeps the accepted lines and no more",
          u"%1 bindings, model %2"_s.arg(table.upperBound()).arg(want.size()));
    for (qint32 i = 1; i <= table.upperBound(); ++i)
        check(table.at(i) == want[i - 1], "a binding has the fields of its line", u"%1"_s.arg(i));
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    // Below TMPDIR, which scripts/fuzz.sh puts in memory: the saver syncs its file, slow on a disk.
    static QTemporaryDir scratch;
    check(scratch.isValid(), "the scratch folder is made", scratch.errorString());
    const QByteArray bytes(reinterpret_cast<const char *>(data), qsizetype(size));
    QFile input(scratch.filePath(u"input"_s));
    check(input.open(QIODevice::WriteOnly) && input.write(bytes) == bytes.size(), "the input is written");
    input.close();
    checkKeysDat(input.fileName(), scratch.filePath(u"saved"_s), bytes);
    checkKeyFile(input.fileName(), bytes);
    return 0;
}
