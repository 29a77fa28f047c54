// The stroke player through its seam: which transitions reach the key sink,
// in which order, on which thread, and that nothing stays down.

#include "RecordingKeySink.h"
#include "inject/StrokePlayer.h"

#include <QTest>

#include <atomic>

using namespace std::chrono_literals;
using namespace Qt::StringLiterals;
using namespace vanterel::inject;
using namespace vanterel::inject::test;

class TestStrokePlayer : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void pressCombo_modifierFlags_wrapTheKey_data();
    void pressCombo_modifierFlags_wrapTheKey();
    void play_severalStrokes_playInCallOrder();
    void play_codeNamingNoKey_isIgnored_data();
    void play_codeNamingNoKey_isIgnored();
    void play_sinkCallFails_everyKeyComesUp_data();
    void play_sinkCallFails_everyKeyComesUp();
    void play_keyIsHeld_forTheHoldTime();
    void shutdown_withStrokesQueued_playsAndReleasesThem();
    void destructor_withStrokesQueued_playsAndReleasesThem();
};

void TestStrokePlayer::pressCombo_modifierFlags_wrapTheKey_data()
{
    QTest::addColumn<int>("alt");
    QTest::addColumn<int>("ctrl");
    QTest::addColumn<int>("shift");
    QTest::addColumn<QString>("expected");

    QTest::addRow("no modifier: the key alone") << 0 << 0 << 0 << u"+30 ~ -30 ~"_s;
    QTest::addRow("Shift") << 0 << 0 << -1 << u"+42 ~ +30 ~ -30 ~ -42 ~"_s;
    QTest::addRow("Alt and Ctrl") << -1 << -1 << 0 << u"+29 ~ +56 ~ +30 ~ -30 ~ -56 ~ -29 ~"_s;
    QTest::addRow("Alt, Ctrl and Shift: down Shift-Ctrl-Alt, up in reverse")
        << -1 << -1 << -1 << u"+42 ~ +29 ~ +56 ~ +30 ~ -30 ~ -56 ~ -29 ~ -42 ~"_s;
    QTest::addRow("a flag of 1 holds its modifier like -1") << 0 << 1 << 0
                                                            << u"+29 ~ +30 ~ -30 ~ -29 ~"_s;
}

void TestStrokePlayer::pressCombo_modifierFlags_wrapTheKey()
{
    QFETCH(int, alt);
    QFETCH(int, ctrl);
    QFETCH(int, shift);
    QFETCH(QString, expected);

    auto log = std::make_shared<SinkLog>();
    StrokeInjector injector(QStringLiteral("test"), std::make_unique<RecordingKeySink>(log), 0ms);
    injector.PressCombo(30, alt, ctrl, shift, 0);
    injector.shutdown();

    QCOMPARE(log->joined(), expected);
}

void TestStrokePlayer::play_severalStrokes_playInCallOrder()
{
    auto log = std::make_shared<SinkLog>();
    StrokePlayer player(std::make_unique<RecordingKeySink>(log), 0ms);
    QVERIFY(player.play(29, false, false, false, 0));  // LCTRL as a key of its own
    QVERIFY(player.play(46, true, false, false, 0));   // Alt+C
    QVERIFY(player.play(157, false, false, true, 7));  // Shift+RCTRL to window 7
    QVERIFY(player.play(179, false, false, false, 0)); // the second NUMPADDOT
    player.shutdown();

    QCOMPARE(log->joined(), QStringLiteral("+29 ~ -29 ~ "
                                           "+56 ~ +46 ~ -46 ~ -56 ~ "
                                           "@7 +42 ~ +97 ~ -97 ~ -42 ~ "
                                           "+121 ~ -121 ~"));
}

void TestStrokePlayer::play_codeNamingNoKey_isIgnored_data()
{
    QTest::addColumn<int>("code");
    QTest::addRow("0, named NONE") << 0;
    QTest::addRow("-1") << -1;
    QTest::addRow("84, a gap in the table") << 84;
    QTest::addRow("222, just above the table") << 222;
}

void TestStrokePlayer::play_codeNamingNoKey_isIgnored()
{
    QFETCH(int, code);

    auto log = std::make_shared<SinkLog>();
    StrokePlayer player(std::make_unique<RecordingKeySink>(log), 0ms);
    QVERIFY(!player.play(code, true, true, true, 7));
    QVERIFY(player.play(30, false, false, false, 0)); // the next stroke is unaffected
    player.shutdown();

    QCOMPARE(log->joined(), QStringLiteral("+30 ~ -30 ~"));
}

void TestStrokePlayer::play_sinkCallFails_everyKeyComesUp_data()
{
    QTest::addColumn<QString>("failing");
    QTest::addColumn<qulonglong>("window");
    QTest::addColumn<QString>("expected");

    // Every row: Alt+Ctrl+Shift+A, then a plain S that must play normally.
    const QString plainS = QStringLiteral(" +31 ~ -31 ~");
    QTest::addRow("Shift down fails: nothing else goes down")
        << u"+42"_s << 0ULL << u"+42! -42 ~"_s + plainS;
    QTest::addRow("Ctrl down fails: Ctrl and Shift come up")
        << u"+29"_s << 0ULL << u"+42 ~ +29! -29 ~ -42 ~"_s + plainS;
    QTest::addRow("Alt down fails: all three modifiers come up")
        << u"+56"_s << 0ULL << u"+42 ~ +29 ~ +56! -56 ~ -29 ~ -42 ~"_s + plainS;
    QTest::addRow("key down fails: key and modifiers come up, no hold")
        << u"+30"_s << 0ULL << u"+42 ~ +29 ~ +56 ~ +30! -30 ~ -56 ~ -29 ~ -42 ~"_s + plainS;
    QTest::addRow("flush after the key down fails")
        << u"~+30"_s << 0ULL << u"+42 ~ +29 ~ +56 ~ +30 ~! -30 ~ -56 ~ -29 ~ -42 ~"_s + plainS;
    QTest::addRow("key up fails: the modifiers still come up, the key again before the next stroke")
        << u"-30"_s << 0ULL << u"+42 ~ +29 ~ +56 ~ +30 ~ -30! ~ -56 ~ -29 ~ -42 ~ -30 ~"_s + plainS;
    QTest::addRow("Ctrl up fails: Shift still comes up, Ctrl again before the next stroke")
        << u"-29"_s << 0ULL << u"+42 ~ +29 ~ +56 ~ +30 ~ -30 ~ -56 ~ -29! ~ -42 ~ -29 ~"_s + plainS;
    QTest::addRow("activation fails: the stroke still goes to the focused window")
        << u"@9"_s << 9ULL << u"@9! +42 ~ +29 ~ +56 ~ +30 ~ -30 ~ -56 ~ -29 ~ -42 ~"_s + plainS;
}

void TestStrokePlayer::play_sinkCallFails_everyKeyComesUp()
{
    QFETCH(QString, failing);
    QFETCH(qulonglong, window);
    QFETCH(QString, expected);

    auto log = std::make_shared<SinkLog>();
    StrokePlayer player(std::make_unique<RecordingKeySink>(log, QSet<QString>{failing}), 0ms);
    QVERIFY(player.play(30, true, true, true, window));
    QVERIFY(player.play(31, false, false, false, 0));
    player.shutdown();

    const QString events = log->joined();
    QCOMPARE(events, expected);
    QCOMPARE(keysLeftDown(events), QStringList());
}

void TestStrokePlayer::play_keyIsHeld_forTheHoldTime()
{
    // Only a lower bound: a loaded machine may hold longer, never shorter.
    constexpr auto hold = 20ms;
    auto log = std::make_shared<SinkLog>();
    StrokePlayer player(std::make_unique<RecordingKeySink>(log), hold);
    QVERIFY(player.play(30, false, true, false, 0));
    player.shutdown();

    QCOMPARE(log->joined(), QStringLiteral("+29 ~ +30 ~ -30 ~ -29 ~"));
    QVERIFY(log->firstSeen.at(QStringLiteral("-30")) - log->firstSeen.at(QStringLiteral("+30"))
            >= hold);
}

void TestStrokePlayer::shutdown_withStrokesQueued_playsAndReleasesThem()
{
    auto log = std::make_shared<SinkLog>();
    auto gate = std::make_shared<Gate>();
    StrokePlayer player(std::make_unique<RecordingKeySink>(log, QSet<QString>{}, gate), 0ms);

    // The first stroke stops with Ctrl down; two more wait behind it, and
    // queuing them does not wait for the player's thread.
    QVERIFY(player.play(30, false, true, false, 0));
    QVERIFY(gate->waitUntilEntered());
    QVERIFY(player.play(31, true, false, false, 0));
    QVERIFY(player.play(32, false, false, true, 0));

    std::atomic<bool> closing = false;
    std::atomic<bool> closed = false;
    std::thread closer([&] {
        closing = true;
        player.shutdown();
        closed = true;
    });
    QTRY_VERIFY(closing);
    QVERIFY(!closed); // Ctrl is still down: shut-down cannot be over
    gate->release();
    closer.join();

    const QString events = log->joined();
    QCOMPARE(events, QStringLiteral("+29 ~ +30 ~ -30 ~ -29 ~ "
                                    "+56 ~ +31 ~ -31 ~ -56 ~ "
                                    "+42 ~ +32 ~ -32 ~ -42 ~"));
    QCOMPARE(keysLeftDown(events), QStringList());
    // Every sink call came from one thread, the player's own.
    QCOMPARE(log->threads.size(), std::size_t(1));
    QVERIFY(*log->threads.begin() != std::this_thread::get_id());

    // Once shut down, strokes are refused and a second shut-down returns.
    QVERIFY(!player.play(33, true, true, true, 0));
    player.shutdown();
    QCOMPARE(log->joined(), events);
}

void TestStrokePlayer::destructor_withStrokesQueued_playsAndReleasesThem()
{
    auto log = std::make_shared<SinkLog>();
    {
        // With a hold, the later strokes are still queued when the injector goes.
        std::unique_ptr<Injector> injector = std::make_unique<StrokeInjector>(
            QStringLiteral("test"), std::make_unique<RecordingKeySink>(log), 5ms);
        injector->PressCombo(30, -1, 0, 0, 0);
        injector->PressCombo(31, 0, 0, -1, 0);
        injector->PressCombo(32, 0, -1, 0, 0);
    }
    const QString events = log->joined();
    QCOMPARE(events, QStringLiteral("+56 ~ +30 ~ -30 ~ -56 ~ "
                                    "+42 ~ +31 ~ -31 ~ -42 ~ "
                                    "+29 ~ +32 ~ -32 ~ -29 ~"));
}

QTEST_GUILESS_MAIN(TestStrokePlayer)
#include "tst_strokeplayer.moc"
