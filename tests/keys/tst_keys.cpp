// The key commands: key files into bindings, key codes into names, commands into the injector's calls.
#include "inject/RecordingInjector.h"
#include "keys/KeyCommands.h"
#include "keys/KeyFileImport.h"

#include <QtTest>

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
        out << QString::asprintf("%s %d/%d %d/%d", qUtf8Printable(b.Callback), b.SecondKey, b.SecondModifiers,
                                 b.FirstKey, b.FirstModifiers);
    }
    return out.join(u" | "_s);
}

KeyBindings parse(const QString &text)
{
    KeyBindings table;
    for (const QString &binding : text.split(u" | "_s)) {
        const QStringList f = binding.split(QRegularExpression(u"[ /]"_s));
        table.append({f[3].toInt(), f[4].toInt(), f[1].toInt(), f[2].toInt(), f[0]});
    }
    return table;
}

// "tap 30 0 -1 0 77" is PressCombo(30, 0, -1, 0, 77); a held combo is its key and its Alt, Ctrl and Shift.
QString show(const inject::RecordingInjector::Call &c)
{
    if (c.kind == Kind::Tap)
        return u"tap %1 %2 %3 %4 %5"_s.arg(c.keyCode).arg(c.alt).arg(c.ctrl).arg(c.shift).arg(c.window);
    if (c.kind == Kind::ReleaseAll)
        return u"release all"_s;
    QString text = (c.kind == Kind::Hold ? u"hold "_s : u"release "_s) + QString::fromStdString(c.id);
    for (const inject::Combo &k : c.combos)
        text += u" %1 %2%3%4"_s.arg(k.keyCode).arg(int(k.alt)).arg(int(k.ctrl)).arg(int(k.shift));
    return c.kind == Kind::Hold ? text + u" %1 %2ms"_s.arg(c.window).arg(c.timeout.count()) : text;
}

} // namespace

class TestKeys : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void keyFile_data()
    {
        QTest::addColumn<QByteArray>("bytes");
        QTest::addColumn<QString>("bindings"); // then "! number" for an error
        QTest::addRow("name upper-cased; 4 and 5 the second key, 6 and 7 the first")
            << "GearUp x 0 2F 4 1D 3"_ba << u"GEARUP 47/4 29/3"_s;
        QTest::addRow("hex with or without 0x, up to the first other character")
            << "a 1 0 0X1E 0 0x1e 0\nb 1 0 30 0 1EZZ 0\nc 1 0 0x 0 -1E 0"_ba
            << u"A 30/0 30/0 | B 48/0 30/0 | C 0/0 0/0"_s;
        QTest::addRow("column 4 exactly 0 drops the line; 00 and 0x0 keep it")
            << "a 1 0 0 0 0 0\nb 1 0 00 0 0 0\nc 1 0 0x0 0 0 0"_ba << u"B 0/0 0/0 | C 0/0 0/0"_s;
        QTest::addRow("32-bit two's complement; leading zeros do not count")
            << "k 1 0 80000000 0 0XFFFFFFFF 0\nz 1 0 000000000000001E 0 0 0"_ba
            << u"K -2147483648/0 -1/0 | Z 30/0 0/0"_s;
        QTest::addRow("masks: a sign, beyond 7, up to the first other character, the 32-bit bounds")
            << "k 1 0 1 +3 1 -1\nl 1 0 1 12 1 2x\nm 1 0 1 x5 1 2147483647\nn 1 0 1 -2147483648 1 0"_ba
            << u"K 1/3 1/-1 | L 1/12 1/2 | M 1/0 1/2147483647 | N 1/-2147483648 1/0"_s;
        QTest::addRow("column 3 is the text 0; at least seven columns, the first seven read")
            << "a 1 -1 1E 0 0 0\nb 1 00 1E 0 0 0\nc 1 0 1E 0 0\nd 1 0 1E 2 1D 1 8 9 10 11"_ba
            << u"D 30/2 29/1"_s;
        QTest::addRow("runs of blanks and tabs part columns; blanks around a line go, tabs make columns")
            << "   k \t 1\t\t0   1E\t 2 \t1D  1   \n\tx 1 0 1E 0 0 0\ny 1 0 1E 2 1D\t"_ba
            << u"K 30/2 29/1 | Y 30/2 29/0"_s;
        QTest::addRow("comments after blanks; file order; names repeat and upper-case beyond ASCII")
            << "   # a 1 0 1 0 0 0\n  //b 1 0 1 0 0 0\nk#1 1 0 1E 0 0 0\nstra\xC3\x9F"
               "e 1 0 1 0 0 0\nK#1 1 0 2 0 0 0"_ba
            << u"K#1 30/0 0/0 | STRASSE 1/0 0/0 | K#1 2/0 0/0"_s;
        QTest::addRow("CR LF, CR and LF end lines; no BOM in the name; a bad byte keeps the blank after it")
            << "\xEF\xBB\xBF"
               "a 1 0 1 0 0 0\r\nb\xC3 1 0 2 0 0 0\rc 1 0 3 0 0 0\nd 1 0 4 0 0 0\n\r"_ba
            << u"A 1/0 0/0 | B\uFFFD 2/0 0/0 | C 3/0 0/0 | D 4/0 0/0"_s;
        // A number beyond 32 bits in line 2 ends the import there; the binding begun keeps the fields written
        // before (in the order SecondKey, SecondModifiers, FirstKey, FirstModifiers).
        QTest::addRow("second key") << "a 1 0 1 0 0 0\nb 1 0 1FFFFFFFF 2 1D 1\nc 1 0 2 0 0 0"_ba
                                    << u"A 1/0 0/0 | B 0/0 0/0 ! 6"_s;
        QTest::addRow("second mask") << "a 1 0 1 0 0 0\nb 1 0 1E 2147483648 1D 1"_ba
                                     << u"A 1/0 0/0 | B 30/0 0/0 ! 6"_s;
        QTest::addRow("first key") << "a 1 0 1 0 0 0\nb 1 0 1E 2 100000000 1"_ba
                                   << u"A 1/0 0/0 | B 30/2 0/0 ! 6"_s;
        QTest::addRow("first mask") << "a 1 0 1 0 0 0\nb 1 0 1E 2 1D -2147483649"_ba
                                    << u"A 1/0 0/0 | B 30/2 29/0 ! 6"_s;
        QTest::addRow("no file; the old table is gone all the same") << QByteArray() << u" ! 53"_s;
    }

    void keyFile()
    {
        QFETCH(QByteArray, bytes);
        QTemporaryDir dir;
        QFile file(dir.filePath(u"k.key"_s));
        if (!bytes.isNull())
            QVERIFY(file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size());
        file.close();
        const auto openFiles = [] { return QDir(u"/proc/self/fd"_s).count(); };
        const uint before = openFiles();
        KeyBindings table = parse(u"STALE 1/0 0/0"_s);
        const std::optional<ImportError> failed = ImportKeyFile(file.fileName(), table);
        QTEST(show(table) + (failed ? u" ! "_s + QString::number(failed->number) : QString()), "bindings");
        const QString where
            = failed && failed->number == ImportError::Overflow ? u"line 2"_s : file.fileName();
        QVERIFY2(!failed || failed->description.contains(where),
                 failed ? qPrintable(failed->description) : "");
        QCOMPARE(openFiles(), before); // closed, whatever the outcome
    }

    void bindingText_data()
    {
        QTest::addColumn<qint32>("before"); // the mask of the text before
        QTest::addColumn<qint32>("code");
        QTest::addColumn<qint32>("mask");
        QTest::addColumn<QString>("expected");
        // The first and the last name, a shared one, two that need escaping; no name in a gap, beyond, below.
        for (const auto &[code, name] :
             std::initializer_list<std::pair<qint32, const char *>>{{0, "NONE"},
                                                                    {30, "A"},
                                                                    {41, "`"},
                                                                    {43, "\\"},
                                                                    {179, "NUMPADDOT"},
                                                                    {221, "APPSKEY"},
                                                                    {84, "?\?\?(84)"},
                                                                    {222, "?\?\?(222)"},
                                                                    {-1, "?\?\?(-1)"}})
            QTest::addRow("%d is %s", code, name) << 0 << code << 0 << QString::fromLatin1(name);
        // From the opposite mask, so that every flag is seen written.
        const char *const prefixes[]
            = {"", "Shift+", "Ctrl+", "Ctrl+Shift+", "Alt+", "Alt+Shift+", "Alt+Ctrl+", "Alt+Ctrl+Shift+"};
        for (qint32 mask = 0; mask <= 7; ++mask)
            QTest::addRow("mask %d", mask)
                << 7 - mask << 30 << mask << QString::fromLatin1(prefixes[mask]) + u'A';
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

    void pressCommandKeys_data()
    {
        QTest::addColumn<QString>("bindings");
        QTest::addColumn<QString>("commands"); // separated by blanks
        QTest::addColumn<bool>("lookUp");
        QTest::addColumn<QString>("calls");
        QTest::addRow("first key, then second, each with its own modifiers, to the window found")
            << u"go 46/4 29/0"_s << u"go"_s << true
            << u"find Marlek ORS, tap 29 0 0 0 77, tap 46 -1 0 0 77"_s;
        QTest::addRow("either key alone, window 0 without a look-up; a key of -1 is none")
            << u"a 0/0 30/1 | b 30/7 -1/1 | c 30/2 0/0"_s << u"a b c"_s << false
            << u"tap 30 0 0 -1 0, tap 30 -1 -1 -1 0, tap 30 0 -1 0 0"_s;
        QTest::addRow("no key above 0, or no binding: looked up all the same")
            << u"go 0/1 -5/2 | x 30/0 0/0"_s << u"go y"_s << true << u"find Marlek ORS, find Marlek ORS"_s;
        QTest::addRow("the first in table order, any case; a prefix is no match; upper-casing may lengthen")
            << u"x 1/0 0/0 | GO 30/0 0/0 | go 31/0 0/0 | STRASSE 32/0 0/0"_s << u"go G straße"_s << false
            << u"tap 30 0 0 0 0, tap 32 0 0 0 0"_s;
        QTest::addRow("a mask out of range takes the modifiers of the key before, in any command")
            << u"go 30/8 16/6 | b 31/-1 0/0"_s << u"go b"_s << false
            << u"tap 16 -1 -1 0 0, tap 30 -1 -1 0 0, tap 31 -1 -1 0 0"_s;
        QTest::addRow("+NAME holds both keys in order until -name")
            << u"brakes 48/1 29/2"_s << u"+brakes -Brakes"_s << true
            << u"find Marlek ORS, hold BRAKES 29 010 48 001 77 10000ms, find Marlek ORS, release BRAKES"_s;
        QTest::addRow("an import between the look-up of +NAME (at !) and its hold lets go of that hold too")
            << u"brakes 48/1 29/2"_s << u"! +brakes"_s << false
            << u"release all, hold BRAKES 29 010 48 001 0 10000ms, release BRAKES"_s;
        QTest::addRow("a name with its sign is looked up whole first; + of no binding holds nothing")
            << u"+b 30/0 0/0 | b 48/0 0/0"_s << u"+B +flaps +"_s << false << u"tap 30 0 0 0 0"_s;
    }

    void pressCommandKeys()
    {
        QFETCH(QString, bindings);
        QFETCH(QString, commands);
        QFETCH(bool, lookUp);
        const Settings settings;
        inject::RecordingInjector injector;
        injector.addWindow("marlek ors", 77);
        KeyCommands keys(settings, &injector);
        keys.replaceBindings(parse(bindings));
        QCOMPARE(show(injector.calls().at(0)), u"release all"_s); // a new table lets every hold go
        QStringList calls;
        for (const QString &command : commands.split(u' ')) {
            if (command == u"!") {
                injector.beforeNextHold([&keys] { keys.replaceBindings({}); });
                continue;
            }
            const std::size_t lookUps = injector.lookUps().size(), taps = injector.calls().size();
            keys.PressCommandKeys(command, lookUp);
            if (injector.lookUps().size() > lookUps) // the look-up comes first; the two are recorded apart
                calls << u"find "_s + QString::fromStdString(injector.lookUps().back());
            for (std::size_t i = taps; i < injector.calls().size(); ++i)
                calls << show(injector.calls()[i]);
        }
        QTEST(calls.join(u", "_s), "calls");
    }
};

QTEST_APPLESS_MAIN(TestKeys)
#include "tst_keys.moc"
