// keys.dat: LoadConfig on a file holding the fuzz bytes, then the round trip
// of whatever it loaded. Whatever the bytes:
//
// - the load succeeds and sets the title and, without a FOLDER line, keeps
//   the document root it was given;
// - SaveConfig writes exactly two setting lines and one line per binding,
//   each ending in CR LF;
// - loading that file gives back the same port, folder and bindings in the
//   same order. A value that holds a tab, two blanks in a row, CR, LF or the
//   separator cannot come back whole (the file has no escapes); the loader
//   never produces one, and such a value is left out of the comparison.
//
//   scripts/fuzz.sh --seconds 600 fuzz_keysdat
#include "config/ConfigFile.h"
#include "fuzz/FuzzSupport.h"
#include "keys/TextLines.h"

#include <QFile>

#include <cstdint>

using namespace Qt::StringLiterals;
using namespace vanterel;
using namespace vanterel::fuzz;
using vanterel::config::FieldSeparator;
using vanterel::keys::KeyBinding;
using vanterel::keys::KeyBindings;

namespace {

const QString StartRoot = u"/start/htdocs"_s;

bool storesWhole(const QString &value)
{
    return !value.contains(u'\t') && !value.contains(u"  "_s) && !value.contains(u'\r')
        && !value.contains(u'\n') && !value.contains(QChar(FieldSeparator));
}

QString show(const KeyBinding &b)
{
    return u"{\"%1\" %2/%3 %4/%5}"_s.arg(b.Callback)
        .arg(b.SecondKey)
        .arg(b.SecondModifiers)
        .arg(b.FirstKey)
        .arg(b.FirstModifiers);
}

// Settings that differ from every default, and a stale binding, so that a
// load that forgets to set or reset something shows.
void startState(Settings &settings, KeyBindings &table)
{
    settings = Settings{};
    settings.ServerPort = 1234;
    settings.TargetWindowTitle = u"Something else"_s;
    settings.DocumentRoot = StartRoot;
    table.reset();
    table.append(KeyBinding{1, 2, 3, 4, u"stale"_s});
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    static const QString input = scratchFolder().filePath(u"input.dat"_s);
    static const QString saved = scratchFolder().filePath(u"saved.dat"_s);

    const QByteArray bytes = bytesOf(data, size);
    writeFile(input, bytes);
    Settings loaded;
    KeyBindings table;
    startState(loaded, table);
    const config::ConfigResult load = config::LoadConfig(input, loaded, table);
    check(load.ok, "a readable file loads", load.reason);
    check(loaded.TargetWindowTitle == u"Marlek ORS", "the load sets the title");
    if (!bytes.toUpper().contains("FOLDER"))
        check(loaded.DocumentRoot == StartRoot, "without a FOLDER line the root stays", loaded.DocumentRoot);

    const config::ConfigResult save = config::SaveConfig(saved, loaded, table);
    check(save.ok, "the loaded settings save", save.reason);
    QFile savedFile(saved);
    check(savedFile.open(QIODevice::ReadOnly), "the saved file opens");
    const QByteArray written = savedFile.readAll();
    const qsizetype lines = 2 + table.upperBound();
    check(written.count("\r\n") == lines && written.count('\r') == lines && written.count('\n') == lines
              && written.endsWith("\r\n"),
          "the saved file has two setting lines and one per binding, each ending in CR LF",
          QString::fromUtf8(written));

    Settings again;
    KeyBindings tableAgain;
    startState(again, tableAgain);
    const config::ConfigResult reload = config::LoadConfig(saved, again, tableAgain);
    check(reload.ok, "the saved file loads", reload.reason);
    check(again.ServerPort == loaded.ServerPort, "the port comes back",
          u"%1 became %2"_s.arg(loaded.ServerPort).arg(again.ServerPort));
    if (storesWhole(loaded.DocumentRoot))
        check(again.DocumentRoot == loaded.DocumentRoot, "the folder comes back",
              u"\"%1\" became \"%2\""_s.arg(loaded.DocumentRoot, again.DocumentRoot));
    check(tableAgain.upperBound() == table.upperBound(), "every binding comes back",
          u"%1 became %2"_s.arg(table.upperBound()).arg(tableAgain.upperBound()));
    for (qint32 i = 1; i <= table.upperBound(); ++i) {
        KeyBinding before = table.at(i);
        KeyBinding after = tableAgain.at(i);
        if (!storesWhole(before.Callback))
            before.Callback = after.Callback;
        check(after == before, "a binding comes back unchanged, in its place",
              u"binding %1: %2 became %3"_s.arg(i).arg(show(before), show(after)));
    }
    return 0;
}
