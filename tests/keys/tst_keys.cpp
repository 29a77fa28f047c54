// The key commands: key files into bindings, key codes into names, and a
// command into the calls the injector receives.
#include "inject/KeyConstads.h"
#include "inject/RecordingInjector.h"
#include "keys/KeyCommands.h"
#include "keys/KeyFileImport.h"

#include <QDir>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTest>

using namespace Qt::StringLiterals;
using namespace vanterel;
using namespace vanterel::keys;
using Kind = inject::RecordingInjector::Kind;

namespace {

// A table as one line: "NAME second/mods first/mods", bindings joined by " | ".
QString show(const KeyBindings &table)
{
    QStringList out;
    for (qint32 i = 1; i <= table.upperBound(); ++i) {
        const KeyBinding &b = table.at(i);
        out << u"%1 %2/%3 %4/%5"_s.arg(b.Callback).arg(b.SecondKey).arg(b.SecondModifiers).arg(b.FirstKey).arg(
            b.FirstModifiers);
    }
    return out.join(u" | "_s);
}

KeyBindings parse(const QString &text)
{
    KeyBindings table;
    for (const QString &binding : text.split(u" | "_s, Qt::SkipEmptyParts)) {
        const QStringList f = binding.split(QRegularExpression(u"[ /]"_s));
        table.append({f[3].toInt(), f[4].toInt(), f[1].toInt(), f[2].toInt(), f[0]});
    }
    return table;
}

// A call as the injector received it: "tap 30 0 -1 0 77" is PressCombo(30, 0, -1, 0, 77);
// a held combo is its key and its Alt, Ctrl and Shift as 0 or 1.
QString show(const inject::RecordingInjector::Call &c)
{
    QString text = u"tap %1 %2 %3 %4 %5"_s.arg(c.keyCode).arg(c.alt).arg(c.ctrl).arg(c.shift).arg(c.window);
    if (c.kind == Kind::Hold || c.kind == Kind::Release)
        text = (c.kind == Kind::Hold ? u"hold "_s : u"release "_s) + QString::fromStdString(c.id);
    for (const inject::Combo &k : c.combos)
        text += u" %1 %2%3%4"_s.arg(k.keyCode).arg(int(k.alt)).arg(int(k.ctrl)).arg(int(k.shift));
    if (c.kind == Kind::Hold)
        text += u" %1 %2ms"_s.arg(c.window).arg(c.timeout.count());
    return c.kind == Kind::ReleaseAll ? u"release all"_s : text;
}

} // namespace

class TestKeys : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void keyFile_data()
    {
        QTest::addColumn<QByteArray>("bytes");
        QTest::addColumn<QString>("bindings"); // and "! number" for an error

        QTest::addRow("seven columns: upper-cased name, 4 and 5 the second key, 6 and 7 the first")
            << "GearUp x 0 2F 4 1D 3"_ba << u"GEARUP 47/4 29/3"_s;
        QTest::addRow("0X1E, 0x1e and 1e are 30; a plain 30 is hex too")
            << "a 1 0 0X1E 0 0x1e 0\nb 1 0 30 0 1e 0"_ba << u"A 30/0 30/0 | B 48/0 30/0"_s;
        QTest::addRow("hex up to the first other character; none, a sign or a bare 0x read 0")
            << "k 1 0 1EZZ 0 -1E 0\nk 1 0 0x 0 G1 0"_ba << u"K 30/0 0/0 | K 0/0 0/0"_s;
        QTest::addRow("column 4 exactly 0 drops the line; 00 and 0x0 keep it")
            << "a 1 0 0 0 0 0\nb 1 0 00 0 0 0\nc 1 0 0x0 0 0 0"_ba << u"B 0/0 0/0 | C 0/0 0/0"_s;
        QTest::addRow("32-bit two's complement; leading zeros do not count")
            << "k 1 0 80000000 0 0XFFFFFFFF 0\nz 1 0 000000000000001E 0 0 0"_ba
            << u"K -2147483648/0 -1/0 | Z 30/0 0/0"_s;
        QTest::addRow("masks: a sign, beyond 7, up to the first other character, no digit is 0")
            << "k 1 0 1 +3 1 -1\nl 1 0 1 12 1 2x\nm 1 0 1 x5 1 0"_ba << u"K 1/3 1/-1 | L 1/12 1/2 | M 1/0 1/0"_s;
        QTest::addRow("masks at the 32-bit bounds")
            << "k 1 0 1 2147483647 1 -2147483648"_ba << u"K 1/2147483647 1/-2147483648"_s;
        QTest::addRow("column 3 must be the text 0") << "a 1 -1 1E 0 0 0\nb 1 00 1E 0 0 0"_ba << QString();
        QTest::addRow("six columns drop the line; twenty are read from their first seven")
            << "a 1 0 1E 0 0\nb 1 0 1E 2 1D 1 8 9 10 11 12 13 14 15 16 17 18 19 20"_ba << u"B 30/2 29/1"_s;
        QTest::addRow("runs of blanks and tabs part columns like one blank; blanks around a line go")
            << "   k \t 1\t\t0   1E\t 2 \t1D  1   "_ba << u"K 30/2 29/1"_s;
        QTest::addRow("a leading tab makes an empty first column, a trailing one an empty seventh")
            << "\tk 1 0 1E 0 0 0\nk 1 0 1E 2 1D\t"_ba << u"K 30/2 29/0"_s;
        QTest::addRow("# or // after blanks is a comment; # inside a line is text")
            << "   # k 1 0 1E 0 0 0\n  //k 1 0 1E 0 0 0\nk#1 1 0 1E 0 0 0"_ba << u"K#1 30/0 0/0"_s;
        QTest::addRow("upper-casing beyond ASCII") << "stra\xC3\x9F" "e 1 0 1E 0 0 0"_ba << u"STRASSE 30/0 0/0"_s;
        QTest::addRow("file order; a repeated name gives two bindings")
            << "b 1 0 1 0 0 0\na 1 0 2 0 0 0\nB 1 0 3 0 0 0"_ba << u"B 1/0 0/0 | A 2/0 0/0 | B 3/0 0/0"_s;
        QTest::addRow("CR LF, CR and LF end lines; no BOM in the name; a bad byte keeps the blank after it")
            << "\xEF\xBB\xBF" "a 1 0 1 0 0 0\r\nb\xC3 1 0 2 0 0 0\rc 1 0 3 0 0 0\nd 1 0 4 0 0 0\n\r"_ba
            << u"A 1/0 0/0 | B\uFFFD 2/0 0/0 | C 3/0 0/0 | D 4/0 0/0"_s;
        // Each overflow is in line 2. The fields are written in the order
        // SecondKey, SecondModifiers, FirstKey, FirstModifiers, and the
        // binding begun keeps those before the failing one.
        QTest::addRow("overflow of the second key ends the import there")
            << "a 1 0 1 0 0 0\nbad 1 0 1FFFFFFFF 2 1D 1\nafter 1 0 2 0 0 0"_ba << u"A 1/0 0/0 | BAD 0/0 0/0 ! 6"_s;
        QTest::addRow("overflow of the second mask")
            << "a 1 0 1 0 0 0\nbad 1 0 1E 2147483648 1D 1"_ba << u"A 1/0 0/0 | BAD 30/0 0/0 ! 6"_s;
        QTest::addRow("overflow of the first key")
            << "a 1 0 1 0 0 0\nbad 1 0 1E 2 100000000 1"_ba << u"A 1/0 0/0 | BAD 30/2 0/0 ! 6"_s;
        QTest::addRow("overflow of the first mask")
            << "a 1 0 1 0 0 0\nbad 1 0 1E 2 1D -2147483649"_ba << u"A 1/0 0/0 | BAD 30/2 29/0 ! 6"_s;
        QTest::addRow("no file, and the old table is gone") << "<missing>"_ba << u" ! 53"_s;
        QTest::addRow("a folder") << "<folder>"_ba << u" ! 75"_s;
    }

    void keyFile()
    {
        QFETCH(QByteArray, bytes);
        QTemporaryDir dir;
        const QString path = dir.filePath(u"k.key"_s);
        QFile file(path);
        if (bytes == "<folder>")
            QVERIFY(QDir().mkdir(path));
        else if (bytes != "<missing>")
            QVERIFY(file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size());
        file.close();
        const auto openFiles = [] { return QDir(u"/proc/self/fd"_s).count(); };
        const uint before = openFiles();

        KeyBindings table = parse(u"STALE 1/0 0/0"_s);
        const std::optional<ImportError> failed = ImportKeyFile(path, table);
        QTEST(show(table) + (failed ? u" ! "_s + QString::number(failed->number) : QString()), "bindings");
        if (failed) {
            const QString where = failed->number == ImportError::Overflow ? u"line 2"_s : path;
            QVERIFY2(failed->description.contains(where), qPrintable(failed->description));
        }
        QCOMPARE(openFiles(), before);
    }

    void bindingText_data()
    {
        QTest::addColumn<qint32>("before"); // the mask of the text before
        QTest::addColumn<qint32>("code");
        QTest::addColumn<qint32>("mask");
        QTest::addColumn<QString>("expected");

        QTest::addRow("0 is NONE") << 0 << 0 << 0 << u"NONE"_s;
        QTest::addRow("30 is A") << 0 << 30 << 0 << u"A"_s;
        QTest::addRow("41 is a backtick") << 0 << 41 << 0 << u"`"_s;
        QTest::addRow("43 is a backslash") << 0 << 43 << 0 << u"\\"_s;
        QTest::addRow("179 is NUMPADDOT like 83") << 0 << 179 << 0 << u"NUMPADDOT"_s;
        QTest::addRow("221 is APPSKEY, the last") << 0 << 221 << 0 << u"APPSKEY"_s;
        QTest::addRow("84, in a gap, has no name") << 0 << 84 << 0 << u"?\?\?(84)"_s;
        QTest::addRow("222, past the end") << 0 << 222 << 0 << u"?\?\?(222)"_s;
        QTest::addRow("-1") << 0 << -1 << 0 << u"?\?\?(-1)"_s;
        // From the opposite mask, so that every flag is seen written.
        const char *const prefixes[] = {"", "Shift+", "Ctrl+", "Ctrl+Shift+", "Alt+", "Alt+Shift+", "Alt+Ctrl+",
                                        "Alt+Ctrl+Shift+"};
        for (qint32 mask = 0; mask <= 7; ++mask)
            QTest::addRow("mask %d after %d", mask, 7 - mask)
                << 7 - mask << 30 << mask << QString::fromLatin1(prefixes[mask]) + u'A';
        QTest::addRow("mask 8 keeps what 6 set") << 6 << 16 << 8 << u"Alt+Ctrl+Q"_s;
        QTest::addRow("mask -1 keeps what 1 set") << 1 << 221 << -1 << u"Shift+APPSKEY"_s;
    }

    void bindingText()
    {
        QFETCH(qint32, before);
        QFETCH(qint32, code);
        QFETCH(qint32, mask);
        const Settings settings;
        KeyCommands commands(settings, nullptr);
        commands.BindingText(0, before);
        QTEST(commands.BindingText(code, mask), "expected");
    }

    void keyName_namesTheTableAndNothingElse()
    {
        const auto table = KeyConstads::AllKeys();
        QCOMPARE(table.size(), std::size_t(121));
        qint32 previous = -1;
        for (const KeyConstads::KeyInfo &key : table) {
            QVERIFY2(key.code > previous && key.code <= 221, key.name);
            QCOMPARE(KeyName(key.code), QString::fromLatin1(key.name));
            for (qint32 gap = previous + 1; gap < key.code; ++gap)
                QCOMPARE(KeyName(gap), u"?\?\?(%1)"_s.arg(gap));
            previous = key.code;
        }
    }

    void pressCommandKeys_data()
    {
        QTest::addColumn<QString>("bindings");
        QTest::addColumn<QStringList>("commands");
        QTest::addColumn<bool>("lookUp");
        QTest::addColumn<QStringList>("calls");

        const QStringList go{u"go"_s};
        const QString find = u"find Marlek ORS"_s;
        QTest::addRow("second key alone, with Ctrl; window 0 without a look-up")
            << u"go 30/2 0/0"_s << go << false << QStringList{u"tap 30 0 -1 0 0"_s};
        QTest::addRow("first key, then second, each with its own modifiers, to the window found")
            << u"go 46/4 29/0"_s << go << true << QStringList{find, u"tap 29 0 0 0 77"_s, u"tap 46 -1 0 0 77"_s};
        QTest::addRow("first key alone") << u"go 0/0 30/1"_s << go << false << QStringList{u"tap 30 0 0 -1 0"_s};
        QTest::addRow("a first key of -1 is none")
            << u"go 30/7 -1/1"_s << go << false << QStringList{u"tap 30 -1 -1 -1 0"_s};
        QTest::addRow("no key above 0: looked up all the same") << u"go 0/1 -5/2"_s << go << true << QStringList{find};
        QTest::addRow("no binding: looked up, nothing pressed") << u"x 30/0 0/0"_s << go << true << QStringList{find};
        QTest::addRow("names differing in case: the first in table order")
            << u"x 1/0 0/0 | GO 30/0 0/0 | go 31/0 0/0"_s << go << false << QStringList{u"tap 30 0 0 0 0"_s};
        QTest::addRow("a prefix is no match") << u"FIRE 30/0 0/0"_s << QStringList{u"FIR"_s} << false << QStringList{};
        QTest::addRow("upper-casing can lengthen a name")
            << u"STRASSE 30/0 0/0"_s << QStringList{u"straße"_s} << false << QStringList{u"tap 30 0 0 0 0"_s};
        QTest::addRow("mask 8 on the second key takes the first key's modifiers")
            << u"go 30/8 16/6"_s << go << false << QStringList{u"tap 16 -1 -1 0 0"_s, u"tap 30 -1 -1 0 0"_s};
        QTest::addRow("mask -1 takes the previous command's modifiers")
            << u"a 17/5 0/0 | b 30/-1 0/0"_s << QStringList{u"a"_s, u"b"_s} << false
            << QStringList{u"tap 17 -1 0 -1 0"_s, u"tap 30 -1 0 -1 0"_s};
        QTest::addRow("+NAME holds both keys in order until -name, whatever the case")
            << u"brakes 48/1 29/2"_s << QStringList{u"+brakes"_s, u"-Brakes"_s} << true
            << QStringList{find, u"hold BRAKES 29 010 48 001 77 10000ms"_s, find, u"release BRAKES"_s};
        QTest::addRow("a hold leaves out keys of 0 or less; a binding without any holds nothing")
            << u"a 0/0 30/0 | b 0/0 -1/0"_s << QStringList{u"+a"_s, u"+b"_s} << false
            << QStringList{u"hold A 30 000 0 10000ms"_s};
        QTest::addRow("a binding named with its sign is pressed as ever")
            << u"+b 30/0 0/0 | b 48/0 0/0"_s << QStringList{u"+B"_s} << false << QStringList{u"tap 30 0 0 0 0"_s};
        QTest::addRow("+ of no binding holds nothing")
            << u"b 48/0 0/0"_s << QStringList{u"+flaps"_s, u"+"_s} << false << QStringList{};
    }

    void pressCommandKeys()
    {
        QFETCH(QString, bindings);
        QFETCH(QStringList, commands);
        QFETCH(bool, lookUp);
        const Settings settings;
        inject::RecordingInjector injector;
        injector.addWindow("marlek ors", 77);
        KeyCommands keys(settings, &injector);
        keys.replaceBindings(parse(bindings));
        // Replacing the table lets every hold go.
        QCOMPARE(show(injector.calls().at(0)), u"release all"_s);

        QStringList calls;
        std::size_t seenCalls = 1, seenLookUps = 0;
        for (const QString &command : commands) {
            keys.PressCommandKeys(command, lookUp);
            // The look-up comes first; the two are recorded apart.
            const auto lookUps = injector.lookUps();
            const auto taps = injector.calls();
            for (; seenLookUps < lookUps.size(); ++seenLookUps)
                calls << u"find "_s + QString::fromStdString(lookUps[seenLookUps]);
            for (; seenCalls < taps.size(); ++seenCalls)
                calls << show(taps[seenCalls]);
        }
        QTEST(calls, "calls");
    }

    void modifierFlags_areSharedByTheKeysAndTheTexts()
    {
        const Settings settings;
        inject::RecordingInjector injector;
        KeyCommands keys(settings, nullptr);
        keys.replaceBindings(parse(u"set 30/5 0/0 | odd 30/9 0/0"_s));
        // Without an injector nothing is pressed, but the flags are set.
        keys.PressCommandKeys(u"set"_s, false);
        QCOMPARE(keys.BindingText(30, 8), u"Alt+Shift+A"_s);
        keys.setInjector(&injector);
        QCOMPARE(keys.BindingText(16, 6), u"Alt+Ctrl+Q"_s);
        keys.PressCommandKeys(u"odd"_s, false);
        QCOMPARE(show(injector.calls().back()), u"tap 30 -1 -1 0 0"_s);
    }
};

QTEST_APPLESS_MAIN(TestKeys)
#include "tst_keys.moc"
