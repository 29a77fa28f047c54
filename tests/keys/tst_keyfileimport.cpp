#include "keys/KeyFileImport.h"
#include "tests/keys/BindingTestSupport.h"

#include <QDir>
#include <QTemporaryDir>
#include <QTest>

#include <limits>

using namespace Qt::StringLiterals;
using namespace vanterel::keys;

using Bindings = QList<KeyBinding>;

class TestKeyFileImport : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void lines_data();
    void lines();
    void overflow_data();
    void overflow();
    void file_mixedLineEndsBomAndBadBytes();
    void file_overflowKeepsEarlierAndPartialBinding();
    void file_cannotBeOpened_data();
    void file_cannotBeOpened();
    void file_closedWhateverTheOutcome();
};

void TestKeyFileImport::lines_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<Bindings>("expected");

    const auto one = [](const KeyBinding &b) { return Bindings{b}; };
    const auto withSecondKey = [](const char *column) {
        return u"k 1 0 "_s + QLatin1StringView(column) + u" 0 0 0"_s;
    };
    const auto withFirstKey = [](const char *column) {
        return u"k 1 0 1 0 "_s + QLatin1StringView(column) + u" 0"_s;
    };
    const auto withMask = [](const char *column) {
        return u"k 1 0 1 "_s + QLatin1StringView(column) + u" 0 0"_s;
    };

    QTest::addRow("seven columns make one binding, callback upper-cased")
        << u"abc 5 0 1E 2 0 0"_s << one(Binding(u"ABC"_s, 30, 2, 0, 0));
    QTest::addRow("columns 6 and 7 give the first key")
        << u"GearUp x 0 2F 4 1D 3"_s << one(Binding(u"GEARUP"_s, 47, 4, 29, 3));

    QTest::addRow("hex 0X1E") << withSecondKey("0X1E") << one(Binding(u"K"_s, 30, 0));
    QTest::addRow("hex 0x1e") << withSecondKey("0x1e") << one(Binding(u"K"_s, 30, 0));
    QTest::addRow("a plain 30 is hex too") << withSecondKey("30") << one(Binding(u"K"_s, 48, 0));
    QTest::addRow("hex stops at the first other character")
        << withSecondKey("1EZZ") << one(Binding(u"K"_s, 30, 0));
    QTest::addRow("00 is kept, with no second key") << withSecondKey("00") << one(Binding(u"K"_s, 0, 0));
    QTest::addRow("0XFFFFFFFF is -1") << withFirstKey("0XFFFFFFFF") << one(Binding(u"K"_s, 1, 0, -1));
    QTest::addRow("80000000 is the smallest 32-bit value")
        << withFirstKey("80000000") << one(Binding(u"K"_s, 1, 0, std::numeric_limits<qint32>::min()));
    QTest::addRow("leading zeros beyond eight digits do not count")
        << withFirstKey("000000000000001E") << one(Binding(u"K"_s, 1, 0, 30));
    QTest::addRow("no leading hex digit reads 0") << withFirstKey("G1") << one(Binding(u"K"_s, 1, 0, 0));
    QTest::addRow("a bare 0x reads 0") << withFirstKey("0x") << one(Binding(u"K"_s, 1, 0, 0));
    QTest::addRow("a sign is no hex digit") << withFirstKey("-1E") << one(Binding(u"K"_s, 1, 0, 0));

    QTest::addRow("mask with plus sign") << withMask("+3") << one(Binding(u"K"_s, 1, 3));
    QTest::addRow("negative mask") << withMask("-1") << one(Binding(u"K"_s, 1, -1));
    QTest::addRow("mask beyond 7 is kept") << withMask("12") << one(Binding(u"K"_s, 1, 12));
    QTest::addRow("mask stops at the first other character") << withMask("2x") << one(Binding(u"K"_s, 1, 2));
    QTest::addRow("mask without digits reads 0") << withMask("x5") << one(Binding(u"K"_s, 1, 0));
    QTest::addRow("largest mask") << withMask("2147483647") << one(Binding(u"K"_s, 1, 2147483647));
    QTest::addRow("smallest mask")
        << withMask("-2147483648") << one(Binding(u"K"_s, 1, std::numeric_limits<qint32>::min()));

    QTest::addRow("column 4 exactly 0 drops the line") << withSecondKey("0") << Bindings{};
    QTest::addRow("column 3 -1 drops the line") << u"k 1 -1 1E 0 0 0"_s << Bindings{};
    QTest::addRow("column 3 is compared as text: 00 drops the line") << u"k 1 00 1E 0 0 0"_s << Bindings{};
    QTest::addRow("six columns drop the line") << u"k 1 0 1E 0 0"_s << Bindings{};
    QTest::addRow("twenty columns are read from the first seven")
        << u"k 1 0 1E 2 1D 1 8 9 10 11 12 13 14 15 16 17 18 19 20"_s
        << one(Binding(u"K"_s, 30, 2, 29, 1));
    QTest::addRow("runs of blanks and tabs separate like one blank")
        << u"k \t 1\t\t0   1E\t 2 \t1D  1"_s << one(Binding(u"K"_s, 30, 2, 29, 1));
    QTest::addRow("leading blanks are stripped") << u"    k 1 0 1E 0 0 0   "_s << one(Binding(u"K"_s, 30, 0));
    QTest::addRow("a leading tab makes an empty first column, shifting the rest")
        << u"\tk 1 0 1E 0 0 0"_s << Bindings{};
    QTest::addRow("a trailing tab makes an empty seventh column")
        << u"k 1 0 1E 2 1D\t"_s << one(Binding(u"K"_s, 30, 2, 29, 0));
    QTest::addRow("# after blanks is a comment") << u"   # k 1 0 1E 0 0 0"_s << Bindings{};
    QTest::addRow("// after blanks is a comment") << u"  //k 1 0 1E 0 0 0"_s << Bindings{};
    QTest::addRow("# inside a line is text") << u"k#1 1 0 1E 0 0 0"_s << one(Binding(u"K#1"_s, 30, 0));
    QTest::addRow("upper-casing beyond ASCII") << u"straße 1 0 1E 0 0 0"_s << one(Binding(u"STRASSE"_s, 30, 0));
    QTest::addRow("file order kept, a repeated name gives two bindings")
        << u"b 1 0 1 0 0 0\r\na 1 0 2 0 0 0\r\nB 1 0 3 0 0 0"_s
        << Bindings{Binding(u"B"_s, 1, 0), Binding(u"A"_s, 2, 0), Binding(u"B"_s, 3, 0)};
    QTest::addRow("CR LF, lone CR and lone LF all end lines")
        << u"a 1 0 1 0 0 0\r\nb 1 0 2 0 0 0\rc 1 0 3 0 0 0\nd 1 0 4 0 0 0\n\r"_s
        << Bindings{Binding(u"A"_s, 1, 0), Binding(u"B"_s, 2, 0), Binding(u"C"_s, 3, 0),
                    Binding(u"D"_s, 4, 0)};
    QTest::addRow("no acceptable line leaves the table empty")
        << u"# header\r\n\r\nk 1 1 1E 0 0 0\r\nk 1 0 0 0 0 0\r\n"_s << Bindings{};
}

void TestKeyFileImport::lines()
{
    QFETCH(QString, text);

    KeyBindings table;
    QCOMPARE(AppendKeyFileLines(text, table).has_value(), false);
    QTEST(Contents(table), "expected");
}

void TestKeyFileImport::overflow_data()
{
    QTest::addColumn<QString>("failingLine");
    QTest::addColumn<KeyBinding>("partial");

    // The fields are written in the order Callback, SecondKey,
    // SecondModifiers, FirstKey, FirstModifiers; the failing one and those
    // after it stay 0.
    QTest::addRow("second key of nine hex digits")
        << u"bad 1 0 1FFFFFFFF 2 1D 1"_s << Binding(u"BAD"_s, 0, 0, 0, 0);
    QTest::addRow("second mask one above the largest")
        << u"bad 1 0 1E 2147483648 1D 1"_s << Binding(u"BAD"_s, 30, 0, 0, 0);
    QTest::addRow("first key one above FFFFFFFF")
        << u"bad 1 0 1E 2 100000000 1"_s << Binding(u"BAD"_s, 30, 2, 0, 0);
    QTest::addRow("first mask one below the smallest")
        << u"bad 1 0 1E 2 1D -2147483649"_s << Binding(u"BAD"_s, 30, 2, 29, 0);
}

void TestKeyFileImport::overflow()
{
    QFETCH(QString, failingLine);
    QFETCH(KeyBinding, partial);

    KeyBindings table;
    const auto error = AppendKeyFileLines(
        u"first 1 0 1 0 0 0\r\n# note\r\n"_s + failingLine + u"\r\nafter 1 0 2 0 0 0\r\n"_s, table);
    QVERIFY(error.has_value());
    QCOMPARE(error->number, ImportError::Overflow);
    QVERIFY2(error->description.contains(u"line 3"_s), qPrintable(error->description));
    QCOMPARE(Contents(table), (Bindings{Binding(u"FIRST"_s, 1, 0), partial}));
}

void TestKeyFileImport::file_mixedLineEndsBomAndBadBytes()
{
    const QString path = QFINDTESTDATA("data/mixed.key");
    QVERIFY(!path.isEmpty());

    KeyBindings table;
    table.append(Binding(u"stale"_s, 1, 0));
    QCOMPARE(ImportKeyFile(path, table).has_value(), false);
    // The byte order mark is not part of the first callback; a byte that is
    // not UTF-8 becomes one replacement character and leaves the columns be.
    QCOMPARE(Contents(table), (Bindings{Binding(u"GEARUP"_s, 47, 0),
                                        Binding(u"FIRE\uFFFD"_s, 30, 2, 29, 0),
                                        Binding(u"BRAKE"_s, 48, 1), Binding(u"LAST"_s, 57, 4, 29, 2)}));
}

void TestKeyFileImport::file_overflowKeepsEarlierAndPartialBinding()
{
    const QString path = QFINDTESTDATA("data/overflow.key");
    QVERIFY(!path.isEmpty());

    KeyBindings table;
    table.append(Binding(u"stale"_s, 1, 0));
    const auto error = ImportKeyFile(path, table);
    QVERIFY(error.has_value());
    QCOMPARE(error->number, 6);
    QVERIFY(!error->description.isEmpty());
    QCOMPARE(Contents(table), (Bindings{Binding(u"ALPHA"_s, 30, 0), Binding(u"BETA"_s, 48, 2, 29, 0),
                                        Binding(u"GAMMA"_s, 47, 4, 29, 0)}));
}

void TestKeyFileImport::file_cannotBeOpened_data()
{
    QTest::addColumn<QString>("relativePath");
    QTest::addColumn<int>("number");

    QTest::addRow("no file at the path") << u"missing.key"_s << ImportError::FileNotFound;
    QTest::addRow("a folder") << u"folder.key"_s << ImportError::FileAccess;
}

void TestKeyFileImport::file_cannotBeOpened()
{
    QFETCH(QString, relativePath);

    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    QVERIFY(QDir(dir.path()).mkdir(u"folder.key"_s));
    KeyBindings table;
    table.append(Binding(u"stale"_s, 1, 0));

    const auto error = ImportKeyFile(dir.filePath(relativePath), table);
    QVERIFY(error.has_value());
    QTEST(error->number, "number");
    QVERIFY2(error->description.contains(relativePath), qPrintable(error->description));
    QCOMPARE(table.upperBound(), 0);
}

void TestKeyFileImport::file_closedWhateverTheOutcome()
{
    QDir fds(u"/proc/self/fd"_s);
    if (!fds.exists())
        QSKIP("needs /proc/self/fd to count open files");
    const auto openFiles = [&] { return fds.entryList(QDir::AllEntries | QDir::NoDotAndDotDot).size(); };

    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const qsizetype before = openFiles();
    KeyBindings table;
    QVERIFY(!ImportKeyFile(QFINDTESTDATA("data/mixed.key"), table));
    QVERIFY(ImportKeyFile(QFINDTESTDATA("data/overflow.key"), table));
    QVERIFY(ImportKeyFile(dir.path(), table));
    QCOMPARE(openFiles(), before);
}

QTEST_APPLESS_MAIN(TestKeyFileImport)
#include "tst_keyfileimport.moc"
