// Ten thousand strokes through a backend that fails at random: whatever
// failed, no modifier and no key may be left down once the player is done.
#include "inject/KeyConstads.h"
#include "inject/StrokePlayer.h"

#include <QTest>

#include <chrono>
#include <map>
#include <mutex>
#include <random>
#include <set>

using namespace std::chrono_literals;
using namespace vanterel::inject;

namespace {

constexpr int Strokes = 10000;

// The keyboard as the system sees it, kept by the sink below.
struct Device {
    std::mutex mutex;
    // Keys down on the device, by Linux code.
    std::set<quint16> down;
    std::map<QByteArray, int> failures;
    int calls = 0;
};

// A backend whose calls fail at random (seeded). A failure is taken at its
// worst for the keyboard: a failed down may still have gone through, a failed
// up did not, and a failed send or flush loses ups (they never took effect).
class FlakySink final : public KeySink {
public:
    FlakySink(std::shared_ptr<Device> device, quint32 seed, double failureRate)
        : m_device(std::move(device)), m_random(seed), m_fail(failureRate)
    {
    }

    bool keyDown(const KeyConstads::KeyInfo &key) override
    {
        std::lock_guard lock(m_device->mutex);
        const bool ok = !failNow("keyDown");
        if (ok || m_coin(m_random))
            m_device->down.insert(key.linuxCode);
        return ok;
    }
    bool keyUp(const KeyConstads::KeyInfo &key) override
    {
        std::lock_guard lock(m_device->mutex);
        m_unsent = 0;
        if (failNow("keyUp"))
            return false;
        if (m_device->down.erase(key.linuxCode))
            m_unflushedUps.push_back(m_unsent = key.linuxCode);
        return true;
    }
    // A failed send loses the transition it was to send; a failed flush the
    // ups since the last flush that worked.
    bool send() override
    {
        std::lock_guard lock(m_device->mutex);
        const bool ok = !failNow("send");
        if (!ok && m_unsent != 0) {
            m_device->down.insert(m_unsent);
            m_unflushedUps.pop_back();
        }
        m_unsent = 0;
        return ok;
    }
    bool flush() override
    {
        std::lock_guard lock(m_device->mutex);
        const bool ok = !failNow("flush");
        if (!ok)
            m_device->down.insert(m_unflushedUps.begin(), m_unflushedUps.end());
        m_unflushedUps.clear();
        return ok;
    }
    bool activate(WindowHandle) override
    {
        std::lock_guard lock(m_device->mutex);
        return !failNow("activate");
    }

private:
    bool failNow(const char *call)
    {
        ++m_device->calls;
        const bool fail = m_fail(m_random);
        if (fail)
            ++m_device->failures[call];
        return fail;
    }

    std::shared_ptr<Device> m_device;
    std::mt19937 m_random;
    std::bernoulli_distribution m_fail;
    std::bernoulli_distribution m_coin{0.5};
    std::vector<quint16> m_unflushedUps;
    quint16 m_unsent = 0; // the up the next send hands over
};

QByteArray names(const std::set<quint16> &codes)
{
    QByteArray out;
    for (const quint16 code : codes)
        out += QByteArray::number(code) + ' ';
    return out;
}

} // namespace

class TestKeyFailures : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void randomFailures_leaveNothingDown_data()
    {
        QTest::addColumn<quint32>("seed");
        QTest::addColumn<double>("failureRate");
        QTest::addRow("one call in 50 fails") << 1u << 0.02;
        QTest::addRow("one call in 5 fails") << 2u << 0.2;
        QTest::addRow("half the calls fail") << 3u << 0.5;
    }

    void randomFailures_leaveNothingDown()
    {
        QFETCH(quint32, seed);
        QFETCH(double, failureRate);

        // Every key of the table that presses something, modifiers included.
        std::vector<qint32> codes;
        for (const KeyConstads::KeyInfo &key : KeyConstads::AllKeys()) {
            if (key.linuxCode != 0)
                codes.push_back(key.code);
        }
        QVERIFY(codes.size() > 50);

        auto device = std::make_shared<Device>();
        std::mt19937 random(seed);
        {
            StrokePlayer player(std::make_unique<FlakySink>(device, seed * 7919u, failureRate), 0ms);
            std::uniform_int_distribution<std::size_t> pick(0, codes.size() - 1);
            std::bernoulli_distribution flag(0.4);
            std::uniform_int_distribution<int> window(0, 3);
            for (int i = 0; i < Strokes; ++i)
                QVERIFY(player.play(codes[pick(random)], flag(random), flag(random), flag(random),
                                    WindowHandle(window(random))));
            player.shutdown();
        }

        std::lock_guard lock(device->mutex);
        QVERIFY2(device->failures["keyUp"] > 0 && device->failures["flush"] > 0,
                 "no release ever failed: nothing was tested");
        QVERIFY2(device->down.empty(), "still down: " + names(device->down));
    }
};

QTEST_GUILESS_MAIN(TestKeyFailures)
#include "tst_keyfailures.moc"
