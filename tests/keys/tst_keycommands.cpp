#include "inject/KeyConstads.h"
#include "inject/RecordingInjector.h"
#include "keys/KeyCommands.h"
#include "tests/keys/BindingTestSupport.h"

#include <QTest>

using namespace Qt::StringLiterals;
using namespace vanterel;
using namespace vanterel::keys;
using Call = inject::RecordingInjector::Call;

Q_DECLARE_METATYPE(Call)

namespace vanterel::inject {
char *toString(const RecordingInjector::Call &c)
{
    return QTest::toString(QStringLiteral("PressCombo(%1, %2, %3, %4, %5)")
                               .arg(c.keyCode)
                               .arg(c.alt)
                               .arg(c.ctrl)
                               .arg(c.shift)
                               .arg(c.window));
}
} // namespace vanterel::inject

namespace {

constexpr inject::WindowHandle TargetWindow = 77;
constexpr qint32 Held = -1;

} // namespace

class TestKeyCommands : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void find_data();
    void find();
    void append_keepsEarlierBindings();
    void setModifierFlags_data();
    void setModifierFlags();
    void pressCommandKeys_data();
    void pressCommandKeys();
    void pressCommandKeys_withoutInjector_pressesNothingButSetsFlags();
    void bindingText_leavesFlagsForTheNextKey();
    void keyName_data();
    void keyName();
    void keyName_namesExactly121CodesAndFallsBackElsewhere();
    void bindingText_data();
    void bindingText();
};

void TestKeyCommands::find_data()
{
    QTest::addColumn<QStringList>("callbacks");
    QTest::addColumn<QString>("name");
    QTest::addColumn<qint32>("expected");

    QTest::addRow("an empty table finds nothing") << QStringList{} << u"GEARUP"_s << 0;
    QTest::addRow("an empty name never matches the placeholder")
        << QStringList{u"A"_s} << QString() << 0;
    QTest::addRow("an empty name matches a binding with an empty callback")
        << QStringList{u"A"_s, QString()} << QString() << 2;
    const QStringList dupes{u"x"_s, u"Fire"_s, u"b"_s, u"c"_s, u"FIRE"_s};
    QTest::addRow("names differing in case: the lower index wins") << dupes << u"FIRE"_s << 2;
    QTest::addRow("lower case finds upper case")
        << QStringList{u"GEARUP"_s, u"GearDown"_s} << u"gearup"_s << 1;
    QTest::addRow("a prefix is no match") << QStringList{u"FIRE"_s} << u"FIR"_s << 0;
    QTest::addRow("upper-casing can lengthen a name: straße finds STRASSE")
        << QStringList{u"STRASSE"_s} << u"straße"_s << 1;
}

void TestKeyCommands::find()
{
    QFETCH(QStringList, callbacks);
    QFETCH(QString, name);
    QFETCH(qint32, expected);

    KeyBindings table;
    for (const QString &callback : callbacks)
        table.append(Binding(callback, 30, 0));
    QCOMPARE(table.find(name), expected);
}

void TestKeyCommands::append_keepsEarlierBindings()
{
    KeyBindings table;
    QCOMPARE(table.upperBound(), 0);
    table.append(Binding(u"A"_s, 30, 0));
    KeyBinding &second = table.append();
    second.Callback = u"B"_s;
    second.SecondKey = 48;
    QCOMPARE(table.upperBound(), 2);
    QCOMPARE(Contents(table), (QList<KeyBinding>{Binding(u"A"_s, 30, 0), Binding(u"B"_s, 48, 0)}));
    QCOMPARE(table.at(0), KeyBinding{});

    table.reset();
    QCOMPARE(table.upperBound(), 0);
    QCOMPARE(table.find(u"A"_s), 0);
}

void TestKeyCommands::setModifierFlags_data()
{
    QTest::addColumn<qint32>("before");
    QTest::addColumn<qint32>("mask");
    QTest::addColumn<bool>("alt");
    QTest::addColumn<bool>("ctrl");
    QTest::addColumn<bool>("shift");

    // Starting from the opposite state shows that every flag is written.
    for (qint32 mask = 0; mask <= 7; ++mask) {
        QTest::addRow("mask %d after mask %d", mask, 7 - mask)
            << 7 - mask << mask << ((mask & 4) != 0) << ((mask & 2) != 0) << ((mask & 1) != 0);
    }
    QTest::addRow("8 keeps what 5 set") << 5 << 8 << true << false << true;
    QTest::addRow("-1 keeps what 6 set") << 6 << -1 << true << true << false;
}

void TestKeyCommands::setModifierFlags()
{
    QFETCH(qint32, before);
    QFETCH(qint32, mask);

    ModifierFlags flags;
    flags.SetModifierFlags(before);
    flags.SetModifierFlags(mask);
    QTEST(flags.AltFlag, "alt");
    QTEST(flags.CtrlFlag, "ctrl");
    QTEST(flags.ShiftFlag, "shift");
}

void TestKeyCommands::pressCommandKeys_data()
{
    QTest::addColumn<QList<KeyBinding>>("bindings");
    QTest::addColumn<QStringList>("commands");
    QTest::addColumn<bool>("lookUp");
    QTest::addColumn<bool>("windowOpen");
    QTest::addColumn<QList<Call>>("expected");
    QTest::addColumn<int>("lookUps");

    const auto one = [](const KeyBinding &b) { return QList<KeyBinding>{b}; };
    const QStringList go{u"go"_s};

    QTest::addRow("second key alone, with Ctrl, no look-up")
        << one(Binding(u"go"_s, 30, 2, 0, 0)) << go << false << true
        << QList<Call>{{30, 0, Held, 0, 0}} << 0;
    QTest::addRow("both keys, first then second, each with its own modifiers")
        << one(Binding(u"go"_s, 46, 4, 29, 0)) << go << true << true
        << QList<Call>{{29, 0, 0, 0, TargetWindow}, {46, Held, 0, 0, TargetWindow}} << 1;
    QTest::addRow("first key alone")
        << one(Binding(u"go"_s, 0, 0, 30, 1)) << go << false << true
        << QList<Call>{{30, 0, 0, Held, 0}} << 0;
    QTest::addRow("FirstKey -1 presses only the second key")
        << one(Binding(u"go"_s, 30, 7, -1, 1)) << go << false << true
        << QList<Call>{{30, Held, Held, Held, 0}} << 0;
    QTest::addRow("both keys 0 or less press nothing")
        << one(Binding(u"go"_s, 0, 1, -5, 2)) << go << true << true << QList<Call>{} << 1;
    QTest::addRow("duplicate names: only the first binding is pressed")
        << QList<KeyBinding>{Binding(u"GO"_s, 30, 0), Binding(u"go"_s, 31, 0)} << go << false
        << true << QList<Call>{{30, 0, 0, 0, 0}} << 0;
    QTest::addRow("no binding: the window is looked up anyway, nothing pressed")
        << one(Binding(u"other"_s, 30, 0)) << go << true << true << QList<Call>{} << 1;
    QTest::addRow("empty table, no look-up asked: nothing at all")
        << QList<KeyBinding>{} << go << false << true << QList<Call>{} << 0;
    QTest::addRow("target window not open: window 0")
        << one(Binding(u"go"_s, 30, 0)) << go << true << false << QList<Call>{{30, 0, 0, 0, 0}}
        << 1;
    QTest::addRow("mask 8 on the second key inherits the first key's modifiers")
        << one(Binding(u"go"_s, 30, 8, 16, 6)) << go << false << true
        << QList<Call>{{16, Held, Held, 0, 0}, {30, Held, Held, 0, 0}} << 0;
    const auto hold = [](const char *id, std::vector<inject::Combo> combos) {
        Call call;
        call.kind = inject::RecordingInjector::Kind::Hold;
        call.id = id;
        call.combos = std::move(combos);
        call.timeout = KeyCommands::HoldTimeout;
        return call;
    };
    Call release;
    release.kind = inject::RecordingInjector::Kind::Release;
    release.id = "BRAKES";
    QTest::addRow("+NAME holds both keys in order, -name lets them go")
        << one(Binding(u"brakes"_s, 48, 1, 29, 2)) << QStringList{u"+brakes"_s, u"-Brakes"_s} << false << true
        << QList<Call>{hold("BRAKES", {{29, false, true, false}, {48, false, false, true}}), release} << 0;
    QTest::addRow("a binding named with its sign is pressed as ever")
        << QList<KeyBinding>{Binding(u"+brakes"_s, 30, 0), Binding(u"brakes"_s, 48, 0)}
        << QStringList{u"+BRAKES"_s} << false << true << QList<Call>{{30, 0, 0, 0, 0}} << 0;
    QTest::addRow("+ of no binding holds nothing")
        << one(Binding(u"brakes"_s, 48, 0)) << QStringList{u"+flaps"_s, u"+"_s} << false << true << QList<Call>{}
        << 0;
    QTest::addRow("mask -1 inherits the modifiers of the previous command")
        << QList<KeyBinding>{Binding(u"prime"_s, 17, 5), Binding(u"odd"_s, 30, -1)}
        << QStringList{u"prime"_s, u"odd"_s} << true << true
        << QList<Call>{{17, Held, 0, Held, TargetWindow}, {30, Held, 0, Held, TargetWindow}} << 2;
}

void TestKeyCommands::pressCommandKeys()
{
    QFETCH(QList<KeyBinding>, bindings);
    QFETCH(QStringList, commands);
    QFETCH(bool, lookUp);
    QFETCH(bool, windowOpen);
    QFETCH(QList<Call>, expected);
    QFETCH(int, lookUps);

    Settings settings;
    settings.TargetWindowTitle = u"Target App"_s;
    inject::RecordingInjector injector;
    if (windowOpen)
        injector.addWindow("target app", TargetWindow);
    KeyCommands commands_(settings, nullptr);
    KeyBindings table;
    for (const KeyBinding &b : bindings)
        table.append(b);
    commands_.replaceBindings(table);
    commands_.setInjector(&injector);

    for (const QString &command : commands)
        commands_.PressCommandKeys(command, lookUp);

    QCOMPARE(injector.calls(), std::vector<Call>(expected.begin(), expected.end()));
    QCOMPARE(injector.lookUps(),
             std::vector<std::string>(std::size_t(lookUps), settings.TargetWindowTitle.toStdString()));
}

void TestKeyCommands::pressCommandKeys_withoutInjector_pressesNothingButSetsFlags()
{
    Settings settings;
    KeyCommands commands(settings, nullptr);
    KeyBindings table;
    table.append(Binding(u"go"_s, 30, 5));
    commands.replaceBindings(table);
    commands.PressCommandKeys(u"go"_s, true);
    commands.PressCommandKeys(u"missing"_s, true);
    // A later mask out of range shows what the dispatch left behind.
    QCOMPARE(commands.BindingText(30, 8), u"Alt+Shift+A"_s);
}

void TestKeyCommands::bindingText_leavesFlagsForTheNextKey()
{
    // The options window's list and the dispatch share one set of flags.
    Settings settings;
    inject::RecordingInjector injector;
    KeyCommands commands(settings, nullptr);
    KeyBindings table;
    table.append(Binding(u"go"_s, 30, 9));
    commands.replaceBindings(table);
    commands.setInjector(&injector);
    QCOMPARE(commands.BindingText(16, 6), u"Alt+Ctrl+Q"_s);
    commands.PressCommandKeys(u"go"_s, false);
    QCOMPARE(injector.calls(), (std::vector<Call>{{30, Held, Held, 0, 0}}));
}

void TestKeyCommands::keyName_data()
{
    QTest::addColumn<qint32>("code");
    QTest::addColumn<QString>("expected");

    QTest::addRow("0 is NONE") << 0 << u"NONE"_s;
    QTest::addRow("30 is A") << 30 << u"A"_s;
    QTest::addRow("57 is SPACE") << 57 << u"SPACE"_s;
    QTest::addRow("41 is the backtick") << 41 << u"`"_s;
    QTest::addRow("43 is the backslash") << 43 << u"\\"_s;
    QTest::addRow("83 is NUMPADDOT") << 83 << u"NUMPADDOT"_s;
    QTest::addRow("179 is NUMPADDOT too") << 179 << u"NUMPADDOT"_s;
    QTest::addRow("221 is APPSKEY, the last") << 221 << u"APPSKEY"_s;
    QTest::addRow("84 falls back, a gap") << 84 << u"?\?\?(84)"_s;
    QTest::addRow("222 falls back, past the end") << 222 << u"?\?\?(222)"_s;
    QTest::addRow("-1 falls back") << -1 << u"?\?\?(-1)"_s;
}

void TestKeyCommands::keyName()
{
    QFETCH(qint32, code);
    QTEST(KeyName(code), "expected");
}

void TestKeyCommands::keyName_namesExactly121CodesAndFallsBackElsewhere()
{
    int named = 0;
    for (qint32 code = -300; code <= 600; ++code) {
        const QString name = KeyName(code);
        if (name == u"?\?\?("_s + QString::number(code) + u')')
            continue;
        QVERIFY2(code >= 0 && code <= 221, qPrintable(name));
        QVERIFY2(!name.isEmpty() && !name.startsWith(u"???"_s), qPrintable(name));
        ++named;
    }
    QCOMPARE(named, 121);
    QCOMPARE(qsizetype(KeyConstads::AllKeys().size()), 121);
}

void TestKeyCommands::bindingText_data()
{
    QTest::addColumn<qint32>("maskBefore");
    QTest::addColumn<qint32>("code");
    QTest::addColumn<qint32>("mask");
    QTest::addColumn<QString>("expected");

    QTest::addRow("mask 7 gives all three, Alt first") << 0 << 30 << 7 << u"Alt+Ctrl+Shift+A"_s;
    QTest::addRow("mask 5 gives Alt before Shift") << 0 << 30 << 5 << u"Alt+Shift+A"_s;
    QTest::addRow("mask 0 after 7 gives no prefix") << 7 << 57 << 0 << u"SPACE"_s;
    QTest::addRow("an unnamed key keeps its prefix") << 0 << 84 << 2 << u"Ctrl+?\?\?(84)"_s;
    QTest::addRow("mask 8 after 6 shows Alt+Ctrl") << 6 << 16 << 8 << u"Alt+Ctrl+Q"_s;
    QTest::addRow("mask -1 after 1 shows Shift") << 1 << 221 << -1 << u"Shift+APPSKEY"_s;
}

void TestKeyCommands::bindingText()
{
    QFETCH(qint32, maskBefore);
    QFETCH(qint32, code);
    QFETCH(qint32, mask);

    Settings settings;
    KeyCommands commands(settings, nullptr);
    commands.BindingText(0, maskBefore);
    QTEST(commands.BindingText(code, mask), "expected");
}

QTEST_APPLESS_MAIN(TestKeyCommands)
#include "tst_keycommands.moc"
