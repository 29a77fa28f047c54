// The stroke player through a recording key sink: which transitions reach the
// sink, in which order, from which thread, and that nothing stays down.

#include "inject/StrokePlayer.h"

#include <QTest>

#include <mutex>
#include <thread>

using namespace std::chrono;
using namespace Qt::StringLiterals;
using namespace vanterel::inject;

namespace {

// Writes each call as a token: "+29" key down (Linux code), "-29" key up, "~"
// flush, "@7" activate window 7; send() writes none. A call made to fail gets
// "!", one made on the test's own thread "^". `failing` names the tokens whose
// next call fails, once each; "~+30" is the flush right after "+30".
class RecordingSink final : public KeySink {
public:
    bool keyDown(const KeyConstads::KeyInfo &key) override { return record(u"+%1"_s.arg(key.linuxCode)); }
    bool keyUp(const KeyConstads::KeyInfo &key) override { return record(u"-%1"_s.arg(key.linuxCode)); }
    bool send() override { return true; }
    bool flush() override { return record(u"~"_s); }
    bool activate(WindowHandle window) override { return record(u"@%1"_s.arg(window)); }

    std::mutex mutex;
    QStringList tokens, failing;
    QStringList down; // keys that went down, or may have, and not up since
    steady_clock::time_point lastUp;

private:
    bool record(const QString &token)
    {
        std::lock_guard lock(mutex);
        QString last = tokens.isEmpty() ? QString() : tokens.constLast();
        const bool fail = failing.removeOne(token == u"~" ? token + last.remove(u'^').remove(u'!') : token);
        const bool ours = std::this_thread::get_id() == m_test;
        tokens.append(token + (fail ? u"!"_s : QString()) + (ours ? u"^"_s : QString()));
        if (token.startsWith(u'+') && !down.contains(token.mid(1))) {
            down.append(token.mid(1));
        } else if (token.startsWith(u'-') && !fail) {
            down.removeOne(token.mid(1));
            lastUp = steady_clock::now();
        }
        return !fail;
    }
    const std::thread::id m_test = std::this_thread::get_id();
};

// "30SCA": key 30 with Shift, Ctrl and Alt.
Combo combo(QString text)
{
    const bool alt = text.contains(u'A'), ctrl = text.contains(u'C'), shift = text.contains(u'S');
    return {text.remove(u'A').remove(u'C').remove(u'S').toInt(), alt, ctrl, shift};
}

} // namespace

class TestStrokePlayer : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void script_data()
    {
        QTest::addColumn<int>("tapMs"); // how long a tap holds its key
        // Steps, each begun once the player is idle unless it says "now": "tap 30SC [HOLD-MSms] @7", "hold ID
        // 30C,31 [LAPSE-MS] [@7]", "release ID", "all" (release all), "stop" (shut down), "fail TOKEN" (its
        // next call), "left 30,31" (release leftovers), "watch" (held keys are told as "=29,30").
        QTest::addColumn<QString>("script");
        QTest::addColumn<QString>("expected");
        QTest::addColumn<int>("lastUpMs"); // the last up comes no sooner after the start

        // Linux codes: Shift 42, Ctrl 29, Alt 56; A 30, S 31, D 32, C 46, RCTRL 97.
        QTest::addRow("tap: Shift, Ctrl, Alt, key down from the caller; up in reverse from the player")
            << 0 << u"tap 30SCA"_s << u"+42^ +29^ +56^ +30^ ~ -30 -56 -29 -42 ~"_s << 0;
        QTest::addRow("taps behind a tap still held play in call order; a window is activated first")
            << 100 << u"tap 29; now tap 46A; now tap 157S @7; tap 30"_s
            << u"+29^ ~ -29 ~ +56 +46 ~ -46 -56 ~ @7 +42 +97 ~ -97 -42 ~ +30^ ~ -30 ~"_s << 400;
        QTest::addRow("a tap with a hold of its own keeps its key down that long, not the player's")
            << 0 << u"tap 30S 300ms"_s << u"+42^ +30^ ~ -30 -42 ~"_s << 300;
        QTest::addRow("codes that name no key are refused; the next tap is unaffected")
            << 0 << u"tap 0SCA; tap -1; tap 84; tap 222; tap 30"_s << u"+30^ ~ -30 ~"_s << 0;
        QTest::addRow("hold: each combo's modifiers then its key (none naming no key); release in reverse")
            << 0 << u"hold h 30SC,84C,31A; release h"_s
            << u"+42^ +29^ +30^ +56^ +31^ ~ -31 -56 -30 -29 -42 ~"_s << 0;
        QTest::addRow("a tap beside a hold sends, from the caller, only what is not down")
            << 0 << u"hold h 29; tap 30C; release h"_s << u"+29^ ~ +30^ ~ -30 ~ -29 ~"_s << 0;
        QTest::addRow("release all, newest first; then taps go on")
            << 0 << u"hold a 30; hold b 31 @7; all; tap 32"_s << u"+30^ ~ @7 +31 ~ -31 ~ -30 ~ +32^ ~ -32 ~"_s
            << 0;
        QTest::addRow("shut-down releases holds and refuses what comes after")
            << 0 << u"hold h 30C; stop; tap 31; hold g 32"_s << u"+29^ +30^ ~ -30 -29 ~"_s << 0;
        QTest::addRow("a renewal, with no key event, sets when the hold lapses, sooner or later")
            << 0 << u"hold h 30; hold h 30 250"_s << u"+30^ ~ -30 ~"_s << 250;
        QTest::addRow("a renewal queued behind a tap keeps the hold past its first time")
            << 300 << u"hold h 30 100; tap 31; now hold h 30 400"_s << u"+30^ ~ +31^ ~ -31 ~ -30 ~"_s << 400;
        QTest::addRow("holds lapse in the order of their times; one under a tap leaves it their shared Ctrl")
            << 400 << u"hold a 32 300; hold h 30C 100; tap 31C"_s
            << u"+32^ ~ +29^ +30^ ~ +31^ ~ -30 ~ -32 ~ -31 -29 ~"_s << 400;
        // Failures: every key whose down was tried comes up; a failed up is tried
        // again, by the player, before the next step and at shut-down.
        QTest::addRow("Alt down fails: nothing more goes down, the three modifiers come up")
            << 0 << u"fail +56; tap 30SCA; tap 31"_s << u"+42^ +29^ +56!^ ~ -56 -29 -42 ~ +31^ ~ -31 ~"_s
            << 0;
        QTest::addRow("flush after a hold's downs fails: all come up, nothing held")
            << 0 << u"fail ~+30; hold h 30SC; tap 31; stop"_s
            << u"+42^ +29^ +30^ ~! -30 -29 -42 ~ +31^ ~ -31 ~"_s << 0;
        QTest::addRow("key up fails: the rest come up, the key again before the next tap")
            << 0 << u"fail -30; tap 30C; tap 31"_s << u"+29^ +30^ ~ -30! -29 ~ -30 ~ +31 ~ -31 ~"_s << 0;
        QTest::addRow("a key stuck down that went down again belongs to its new user")
            << 0 << u"fail -30; tap 30; fail -30; hold h 30; tap 31; release h"_s
            << u"+30^ ~ -30! ~ -30! ~ +30 ~ +31 ~ -31 ~ -30 ~"_s << 0;
        QTest::addRow("flush after the ups fails: each of them again")
            << 0 << u"fail ~-29; tap 30C; tap 31"_s << u"+29^ +30^ ~ -30 -29 ~! -30 -29 ~ +31 ~ -31 ~"_s << 0;
        QTest::addRow("an up failing at shut-down is tried again")
            << 0 << u"fail -30; hold h 30; stop"_s << u"+30^ ~ -30! ~ -30 ~"_s << 0;
        QTest::addRow("activation fails: the tap goes to the focused window")
            << 0 << u"fail @9; tap 30 @9"_s << u"@9! +30 ~ -30 ~"_s << 0;
        QTest::addRow("held keys are told as they change; leftovers come up unless in use")
            << 0 << u"watch; hold h 30C; left 31,30,0,46,31; release h"_s
            << u"+29^ +30^ ~ =29,30 -31 -46 ~ -30 -29 ~ ="_s << 0;
        QTest::addRow("a hold whose down failed is not held: the next hold presses")
            << 0 << u"fail +30; hold h 30C; hold h 31; stop"_s << u"+29^ +30!^ ~ -30 -29 ~ +31^ ~ -31 ~"_s
            << 0;
    }

    void script()
    {
        QFETCH(int, tapMs);
        QFETCH(QString, script);
        QFETCH(QString, expected);
        QFETCH(int, lastUpMs);

        auto sink = std::make_unique<RecordingSink>();
        RecordingSink &log = *sink; // the player owns it, and outlives what follows
        StrokePlayer player(std::move(sink), milliseconds(tapMs));
        const auto start = steady_clock::now();
        for (const QString &step : script.split(u"; "_s)) {
            QStringList words = step.split(u' ');
            if (words[0] == u"fail") {
                std::lock_guard lock(log.mutex);
                log.failing.append(words[1]);
                continue;
            }
            if (words[0] == u"watch") {
                player.watchHeldKeys([&log](const std::vector<std::int32_t> &codes) {
                    QStringList held;
                    for (const std::int32_t code : codes)
                        held.append(QString::number(code));
                    std::lock_guard lock(log.mutex);
                    log.tokens.append(u'=' + held.join(u','));
                });
                continue;
            }
            if (words[0] == u"now")
                words.removeFirst();
            else
                player.waitUntilIdle();
            const WindowHandle window
                = words.last().startsWith(u'@') ? words.takeLast().mid(1).toULongLong() : 0;
            if (words[0] == u"tap") {
                const Combo c = combo(words[1]);
                std::optional<milliseconds> hold;
                if (words.last().endsWith(u"ms"))
                    hold = milliseconds(words.takeLast().chopped(2).toInt());
                player.play(c.keyCode, c.alt, c.ctrl, c.shift, window, hold);
            } else if (words[0] == u"hold") {
                std::vector<Combo> combos;
                for (const QString &part : words[2].split(u','))
                    combos.push_back(combo(part));
                const milliseconds lapse(words.value(3, u"3600000"_s).toInt());
                player.hold(words[1].toStdString(), combos, window, lapse);
            } else if (words[0] == u"release") {
                player.release(words[1].toStdString());
            } else if (words[0] == u"all") {
                player.releaseAll();
            } else if (words[0] == u"left") {
                std::vector<std::int32_t> codes;
                for (const QString &code : words[1].split(u','))
                    codes.push_back(code.toInt());
                player.releaseLeftovers(codes);
            } else {
                QCOMPARE(words[0], u"stop"_s);
                player.shutdown();
            }
        }
        const auto tokens = [&] {
            std::lock_guard lock(log.mutex);
            return log.tokens.join(u' ');
        };
        // Taps and lapses end on the player's thread; shut-down may add nothing.
        QTRY_COMPARE_WITH_TIMEOUT(tokens(), expected, 5000);
        player.shutdown();
        QCOMPARE(tokens(), expected);
        QCOMPARE(log.down, QStringList());
        QVERIFY(log.lastUp - start >= milliseconds(lastUpMs));
    }
};

QTEST_GUILESS_MAIN(TestStrokePlayer)
#include "tst_strokeplayer.moc"
