// The stroke player through its seam: which transitions reach the key sink,
// in which order, from which thread, and that nothing stays down.

#include "RecordingKeySink.h"
#include "inject/StrokePlayer.h"

#include <QTest>

using namespace std::chrono_literals;
using namespace Qt::StringLiterals;
using namespace vanterel::inject;
using namespace vanterel::inject::test;

namespace {

// "30SCA": key 30 with Shift, Ctrl and Alt.
Combo combo(const QString &text)
{
    qsizetype letters = text.size();
    while (letters > 0 && text[letters - 1].isLetter())
        --letters;
    const QString flags = text.mid(letters);
    return {text.left(letters).toInt(), flags.contains(u'A'), flags.contains(u'C'), flags.contains(u'S')};
}

// Steps separated by ';': "tap 30SC @7", "hold ID 30C,31 @7" (lapses after
// `lapse`), "release ID", "all" (release all), "stop" (shut down).
void run(StrokePlayer &player, const QString &script, std::chrono::milliseconds lapse = 1h)
{
    for (const QString &step : script.split(u';', Qt::SkipEmptyParts)) {
        const QStringList words = step.split(u' ', Qt::SkipEmptyParts);
        const WindowHandle window = words.last().startsWith(u'@') ? words.last().mid(1).toULongLong() : 0;
        if (words[0] == u"tap") {
            const Combo c = combo(words[1]);
            player.play(c.keyCode, c.alt, c.ctrl, c.shift, window);
        } else if (words[0] == u"hold") {
            std::vector<Combo> combos;
            for (const QString &part : words[2].split(u','))
                combos.push_back(combo(part));
            player.hold(words[1].toStdString(), combos, window, lapse);
        } else if (words[0] == u"release") {
            player.release(words[1].toStdString());
        } else if (words[0] == u"all") {
            player.releaseAll();
        } else {
            QCOMPARE(words[0], u"stop"_s);
            player.shutdown();
        }
    }
}

QSet<QString> tokens(const QString &list)
{
    const QStringList parts = list.split(u',', Qt::SkipEmptyParts);
    return QSet<QString>(parts.begin(), parts.end());
}

} // namespace

class TestStrokePlayer : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void script_data();
    void script();
    void downs_leaveFromTheCallersThreadOnlyWhenIdle_data();
    void downs_leaveFromTheCallersThreadOnlyWhenIdle();
    void hold_lapses_data();
    void hold_lapses();
};

void TestStrokePlayer::script_data()
{
    QTest::addColumn<QString>("script");
    QTest::addColumn<QString>("failing");
    QTest::addColumn<QString>("expected");

    // Linux codes: Shift 42, Ctrl 29, Alt 56; A 30, S 31, D 32, C 46.
    QTest::addRow("tap: down Shift-Ctrl-Alt-key, up in reverse")
        << u"tap 30SCA"_s << QString() << u"+42 +29 +56 +30 ~ -30 -56 -29 -42 ~"_s;
    QTest::addRow("taps in call order; a window is activated first")
        << u"tap 29; tap 46A; tap 157S @7; tap 179"_s << QString()
        << u"+29 ~ -29 ~ +56 +46 ~ -46 -56 ~ @7 +42 +97 ~ -97 -42 ~ +121 ~ -121 ~"_s;
    QTest::addRow("codes that name no key are refused; the next tap is unaffected")
        << u"tap 0SCA; tap -1; tap 84; tap 222; tap 30"_s << QString() << u"+30 ~ -30 ~"_s;
    QTest::addRow("hold: each combo's modifiers then its key; release in reverse")
        << u"hold h 30SC,31A; release h"_s << QString() << u"+42 +29 +30 +56 +31 ~ -31 -56 -30 -29 -42 ~"_s;
    QTest::addRow("a tap of a held key's combo sends only what is not down")
        << u"hold h 29; tap 30C; release h"_s << QString() << u"+29 ~ +30 ~ -30 ~ -29 ~"_s;
    QTest::addRow("a hold of an id already held only renews it")
        << u"hold h 30; hold h 31; release h; release h"_s << QString() << u"+30 ~ -30 ~"_s;
    QTest::addRow("a key two holds share goes up with the last")
        << u"hold a 30C; hold b 31C; release a; release b"_s << QString() << u"+29 +30 ~ +31 ~ -30 ~ -31 -29 ~"_s;
    QTest::addRow("release all, newest first; then taps go on")
        << u"hold a 30; hold b 31 @7; all; tap 32"_s << QString() << u"+30 ~ @7 +31 ~ -31 ~ -30 ~ +32 ~ -32 ~"_s;
    QTest::addRow("a hold skips combos that name no key")
        << u"hold h 84C,30; release h"_s << QString() << u"+30 ~ -30 ~"_s;
    QTest::addRow("shut-down releases holds and refuses what comes after")
        << u"hold h 30C; stop; tap 31; hold g 32"_s << QString() << u"+29 +30 ~ -30 -29 ~"_s;

    // Failures: every key whose down was tried comes up; a failed up is
    // tried again before the next step and at shut-down.
    QTest::addRow("Shift down fails: nothing else goes down")
        << u"tap 30SCA; tap 31"_s << u"+42"_s << u"+42! ~ -42 ~ +31 ~ -31 ~"_s;
    QTest::addRow("Alt down fails: all three modifiers come up")
        << u"tap 30SCA; tap 31"_s << u"+56"_s << u"+42 +29 +56! ~ -56 -29 -42 ~ +31 ~ -31 ~"_s;
    QTest::addRow("flush after the downs fails: all come up, no hold")
        << u"tap 30SC; tap 31"_s << u"~+30"_s << u"+42 +29 +30 ~! -30 -29 -42 ~ +31 ~ -31 ~"_s;
    QTest::addRow("key up fails: the rest come up, the key again before the next tap")
        << u"tap 30C; tap 31"_s << u"-30"_s << u"+29 +30 ~ -30! -29 ~ -30 ~ +31 ~ -31 ~"_s;
    QTest::addRow("flush after the ups fails: each of them again")
        << u"tap 30C; tap 31"_s << u"~-29"_s << u"+29 +30 ~ -30 -29 ~! -30 -29 ~ +31 ~ -31 ~"_s;
    QTest::addRow("an up failing at shut-down is tried again")
        << u"hold h 30; stop"_s << u"-30"_s << u"+30 ~ -30! ~ -30 ~"_s;
    QTest::addRow("activation fails: the tap goes to the focused window")
        << u"tap 30 @9"_s << u"@9"_s << u"@9! +30 ~ -30 ~"_s;
    QTest::addRow("a hold whose down failed is not held: the next hold presses")
        << u"hold h 30C; hold h 31"_s << u"+30"_s << u"+29 +30! ~ -30 -29 ~ +31 ~ -31 ~"_s;
}

void TestStrokePlayer::script()
{
    QFETCH(QString, script);
    QFETCH(QString, failing);
    QFETCH(QString, expected);

    auto log = std::make_shared<SinkLog>();
    StrokePlayer player(std::make_unique<RecordingKeySink>(log, tokens(failing)), 0ms);
    run(player, script);
    player.shutdown();

    const QString events = log->joined();
    QCOMPARE(events, expected);
    QCOMPARE(keysLeftDown(events), QStringList());
}

void TestStrokePlayer::downs_leaveFromTheCallersThreadOnlyWhenIdle_data()
{
    QTest::addColumn<int>("holdMs");
    QTest::addColumn<QString>("before"); // run first, then waited for
    QTest::addColumn<QString>("failing");
    QTest::addColumn<QString>("step");
    QTest::addColumn<bool>("fromCaller"); // the downs of key 31

    QTest::addRow("idle, no window: the caller") << 0 << QString() << QString() << u"tap 31A"_s << true;
    QTest::addRow("a hold, idle: the caller") << 0 << QString() << QString() << u"hold h 31A"_s << true;
    QTest::addRow("keys of a hold down do not make it busy")
        << 0 << u"hold h 29"_s << QString() << u"tap 31A"_s << true;
    QTest::addRow("a window to activate: the player") << 0 << QString() << QString() << u"tap 31A @7"_s << false;
    QTest::addRow("a key stuck down: the player") << 0 << u"tap 30"_s << u"-30"_s << u"tap 31A"_s << false;
    QTest::addRow("behind a tap still held: the player")
        << 1000 << QString() << QString() << u"tap 30; tap 31A"_s << false;
}

void TestStrokePlayer::downs_leaveFromTheCallersThreadOnlyWhenIdle()
{
    QFETCH(int, holdMs);
    QFETCH(QString, before);
    QFETCH(QString, failing);
    QFETCH(QString, step);
    QFETCH(bool, fromCaller);

    auto log = std::make_shared<SinkLog>();
    StrokePlayer player(std::make_unique<RecordingKeySink>(log, tokens(failing)), std::chrono::milliseconds(holdMs));
    run(player, before);
    player.waitUntilIdle();
    run(player, step);
    player.shutdown();

    const auto caller = std::this_thread::get_id();
    QCOMPARE(log->threadOf(u"+56"_s) == caller, fromCaller);
    QCOMPARE(log->threadOf(u"+31"_s) == caller, fromCaller);
    // Whatever waits for the window system is the player's.
    QVERIFY(log->threadOf(u"~"_s) != caller);
    QVERIFY(log->threadOf(u"-31"_s) != caller);
    QCOMPARE(keysLeftDown(log->joined()), QStringList());
}

void TestStrokePlayer::hold_lapses_data()
{
    QTest::addColumn<int>("holdMs");
    QTest::addColumn<QString>("held");
    QTest::addColumn<int>("firstLapseMs");
    QTest::addColumn<int>("renewLapseMs"); // 0: not renewed
    QTest::addColumn<QString>("tap");
    QTest::addColumn<QString>("expected");
    QTest::addColumn<int>("atLeastMs"); // from the last hold to the up of its first key

    QTest::addRow("not renewed: up after its time")
        << 0 << u"30"_s << 30 << 0 << QString() << u"+30 ~ -30 ~"_s << 30;
    QTest::addRow("renewed: up after the renewal's time")
        << 0 << u"30"_s << 80 << 250 << QString() << u"+30 ~ -30 ~"_s << 250;
    // Ctrl goes up with the tap's key, not when the hold lapses mid-tap.
    QTest::addRow("lapsing under a tap that shares its key")
        << 400 << u"30C"_s << 100 << 0 << u"tap 31C"_s << u"+29 +30 ~ +31 ~ -30 ~ -31 -29 ~"_s << 400;
}

void TestStrokePlayer::hold_lapses()
{
    QFETCH(int, holdMs);
    QFETCH(QString, held);
    QFETCH(int, firstLapseMs);
    QFETCH(int, renewLapseMs);
    QFETCH(QString, tap);
    QFETCH(QString, expected);
    QFETCH(int, atLeastMs);

    auto log = std::make_shared<SinkLog>();
    StrokePlayer player(std::make_unique<RecordingKeySink>(log), std::chrono::milliseconds(holdMs));
    auto last = std::chrono::steady_clock::now();
    run(player, u"hold h "_s + held, std::chrono::milliseconds(firstLapseMs));
    if (renewLapseMs) {
        last = std::chrono::steady_clock::now();
        run(player, u"hold h "_s + held, std::chrono::milliseconds(renewLapseMs));
    }
    run(player, tap);

    // The player's thread lets go by itself.
    QTRY_COMPARE_WITH_TIMEOUT(log->joined(), expected, 10000);
    const QString up = tap.isEmpty() ? u"-30"_s : u"-29"_s;
    QVERIFY(*log->timeOf(up) - last >= std::chrono::milliseconds(atLeastMs));
    player.shutdown();
    QCOMPARE(log->joined(), expected);
}

QTEST_GUILESS_MAIN(TestStrokePlayer)
#include "tst_strokeplayer.moc"
