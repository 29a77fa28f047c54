#pragma once

#include "inject/Injector.h"
#include "inject/KeySink.h"

#include <chrono>
#include <condition_variable>
#include <deque>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

namespace vanterel::inject {

// How long a key stays down. Programs that poll the keyboard once per frame
// miss a shorter tap: at 30 frames a second a frame lasts 33 ms.
inline constexpr std::chrono::milliseconds DefaultHold{50};

// Plays strokes through a key sink on a thread of its own, in the order they
// were queued, so that the caller (the user-interface thread) never waits for
// a hold. A stroke: the flagged modifiers go down (left Shift, left Ctrl, left
// Alt, in this order), the key goes down, is held, comes up, and the modifiers
// come up in reverse order. Whatever went down comes up again, also when a
// sink call fails and at shut-down.
class StrokePlayer {
public:
    explicit StrokePlayer(std::unique_ptr<KeySink> sink,
                          std::chrono::milliseconds hold = DefaultHold);
    ~StrokePlayer(); // shuts down
    StrokePlayer(const StrokePlayer &) = delete;
    StrokePlayer &operator=(const StrokePlayer &) = delete;

    // Queues a stroke and returns at once. Returns false, and queues nothing,
    // for a code that names no key (0 "NONE", negative, not in the table) and
    // once shut down.
    bool play(qint32 keyCode, bool alt, bool ctrl, bool shift, WindowHandle window);

    // Plays the strokes still queued, waits for the thread to end and returns
    // with no key of ours down. Later calls return at once.
    void shutdown();

private:
    struct Stroke {
        const KeyConstads::KeyInfo *key;
        bool alt;
        bool ctrl;
        bool shift;
        WindowHandle window;
    };

    void run();
    void playStroke(const Stroke &stroke);
    // One key up and the flush after it; false when either failed.
    bool release(const KeyConstads::KeyInfo &key);
    // Tries once more to release every key whose release failed.
    void releaseStuckKeys();

    std::unique_ptr<KeySink> m_sink; // used by the thread only
    // Keys whose up (or the flush after it) failed, so that they may still be
    // down. A backend can fail for a moment (a full device queue, a busy
    // server); the key then stays held until someone releases it. They are
    // released again before the next stroke and at shut-down. Thread only.
    std::vector<const KeyConstads::KeyInfo *> m_stuck;
    const std::chrono::milliseconds m_hold;

    std::mutex m_mutex; // guards m_queue and m_stopping
    std::condition_variable m_wake;
    std::deque<Stroke> m_queue;
    bool m_stopping = false;

    std::mutex m_shutdownMutex; // makes a second shutdown() wait for the first
    std::thread m_thread;
};

// An injector made of a stroke player over a key sink. The backends build on
// it and add their window look-up; tests use it with a sink of their own.
class StrokeInjector : public Injector {
public:
    StrokeInjector(QString name, std::unique_ptr<KeySink> sink,
                   std::chrono::milliseconds hold = DefaultHold);
    ~StrokeInjector() override; // shuts down

    QString name() const override;
    void PressCombo(qint32 keyCode, qint32 alt, qint32 ctrl, qint32 shift,
                    WindowHandle window) override;
    // No window system to look in: always 0.
    WindowHandle FindWindow(const QString &title) override;
    void shutdown() override;

private:
    const QString m_name;
    StrokePlayer m_player;
};

} // namespace vanterel::inject
