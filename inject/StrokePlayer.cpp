#include "inject/StrokePlayer.h"
#include "inject/InjectLog.h"

#include <QVarLengthArray>

#include <algorithm>

namespace vanterel::inject {

namespace {

// How often shut-down tries to release a key that would not come up before
// it gives up on it; each try costs a key up and a flush.
constexpr int ShutdownReleaseTries = 100;

const KeyConstads::KeyInfo &modifier(quint16 linuxCode)
{
    // The left modifiers are named keys of the table (their codes equal their
    // Linux codes), so the sinks get them like any other key.
    const KeyConstads::KeyInfo *key = KeyConstads::FindKey(linuxCode);
    Q_ASSERT(key && key->linuxCode == linuxCode);
    return *key;
}

} // namespace

StrokePlayer::StrokePlayer(std::unique_ptr<KeySink> sink, std::chrono::milliseconds hold)
    : m_sink(std::move(sink)), m_hold(hold)
{
    Q_ASSERT(m_sink);
    m_thread = std::thread([this] { run(); });
}

StrokePlayer::~StrokePlayer() { shutdown(); }

bool StrokePlayer::play(qint32 keyCode, bool alt, bool ctrl, bool shift, WindowHandle window)
{
    const KeyConstads::KeyInfo *key = KeyConstads::FindKey(keyCode);
    if (!key || key->linuxCode == 0) {
        qCWarning(lcInject, "Key code %d names no key; nothing pressed", keyCode);
        return false;
    }
    {
        std::lock_guard lock(m_mutex);
        if (m_stopping) {
            qCWarning(lcInject, "Key code %d (%s) came after shut-down; nothing pressed", keyCode,
                      key->name);
            return false;
        }
        m_queue.push_back(Stroke{key, alt, ctrl, shift, window});
    }
    m_wake.notify_one();
    return true;
}

void StrokePlayer::shutdown()
{
    std::lock_guard shutdownLock(m_shutdownMutex);
    {
        std::lock_guard lock(m_mutex);
        m_stopping = true;
    }
    m_wake.notify_one();
    if (m_thread.joinable())
        m_thread.join();
}

void StrokePlayer::run()
{
    for (;;) {
        Stroke stroke{};
        {
            std::unique_lock lock(m_mutex);
            m_wake.wait(lock, [this] { return m_stopping || !m_queue.empty(); });
            // Strokes queued before shut-down are still played: each was
            // promised to a command, and each is over within one hold.
            if (m_queue.empty())
                break;
            stroke = m_queue.front();
            m_queue.pop_front();
        }
        playStroke(stroke);
    }
    for (int i = 0; i < ShutdownReleaseTries && !m_stuck.empty(); ++i)
        releaseStuckKeys();
    for (const KeyConstads::KeyInfo *key : m_stuck)
        qCWarning(lcInject, "Could not release %s; it may still be held down", key->name);
}

bool StrokePlayer::release(const KeyConstads::KeyInfo &key)
{
    // Flushed even after a failed up, so that the ups before it take effect.
    const bool released = m_sink->keyUp(key);
    const bool flushed = m_sink->flush();
    return released && flushed;
}

void StrokePlayer::releaseStuckKeys()
{
    std::erase_if(m_stuck, [this](const KeyConstads::KeyInfo *key) { return release(*key); });
}

void StrokePlayer::playStroke(const Stroke &stroke)
{
    m_sink->waitUntilReady();
    releaseStuckKeys();

    if (stroke.window != 0 && !m_sink->activate(stroke.window))
        qCWarning(lcInject, "Could not activate window 0x%llx; key %s goes to the focused window",
                  static_cast<unsigned long long>(stroke.window), stroke.key->name);

    // Every key whose down was attempted, in order. A failed down may still
    // have reached the device, so it gets its up like the others; an up for a
    // key that is not down is dropped by X and by the kernel alike.
    QVarLengthArray<const KeyConstads::KeyInfo *, 4> pressed;
    auto press = [&](const KeyConstads::KeyInfo &key) {
        pressed.append(&key);
        if (m_sink->keyDown(key) && m_sink->flush())
            return true;
        qCWarning(lcInject, "Could not press %s; stroke of %s abandoned", key.name,
                  stroke.key->name);
        return false;
    };

    const bool down = (!stroke.shift || press(modifier(KeyConstads::LinuxLeftShift)))
                      && (!stroke.ctrl || press(modifier(KeyConstads::LinuxLeftCtrl)))
                      && (!stroke.alt || press(modifier(KeyConstads::LinuxLeftAlt)))
                      && press(*stroke.key);
    if (down && m_hold.count() > 0)
        std::this_thread::sleep_for(m_hold);

    while (!pressed.isEmpty()) {
        const KeyConstads::KeyInfo *key = pressed.last();
        pressed.removeLast();
        const bool released = release(*key);
        const auto stuck = std::find(m_stuck.begin(), m_stuck.end(), key);
        if (released && stuck != m_stuck.end()) {
            m_stuck.erase(stuck);
        } else if (!released) {
            qCWarning(lcInject, "Could not release %s; trying again later", key->name);
            if (stuck == m_stuck.end())
                m_stuck.push_back(key);
        }
    }
}

StrokeInjector::StrokeInjector(QString name, std::unique_ptr<KeySink> sink,
                               std::chrono::milliseconds hold)
    : m_name(std::move(name)), m_player(std::move(sink), hold)
{
}

StrokeInjector::~StrokeInjector() { StrokeInjector::shutdown(); }

QString StrokeInjector::name() const { return m_name; }

void StrokeInjector::PressCombo(qint32 keyCode, qint32 alt, qint32 ctrl, qint32 shift,
                                WindowHandle window)
{
    m_player.play(keyCode, alt != 0, ctrl != 0, shift != 0, window);
}

WindowHandle StrokeInjector::FindWindow(const QString &) { return 0; }

void StrokeInjector::shutdown() { m_player.shutdown(); }

} // namespace vanterel::inject
