#pragma once

#include "inject/Injector.h"
#include "inject/KeySink.h"

#include <chrono>
#include <condition_variable>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace vanterel::inject {

// Plays taps, holds and releases through a key sink on a thread of its own,
// in the order they were called, so that no caller waits for a hold. A tap:
// the flagged modifiers go down (left Shift, left Ctrl, left Alt, in this
// order), the key goes down, is held, comes up, and the modifiers come up in
// reverse order. Keys are counted across taps and holds, and whatever went
// down comes up again, also when a sink call fails and at shut-down.
//
// When the player is idle (nothing queued, no tap playing; keys of holds do
// not count) and no window is to be activated, the calling thread sends the
// downs itself and hands the rest to the player: the first key event then
// costs no thread wake-up. The sink has one owner at a time, taken under the
// mutex only for a burst of transitions, never while sleeping or waiting for
// the window system's reply.
class StrokePlayer {
public:
    explicit StrokePlayer(std::unique_ptr<KeySink> sink, std::chrono::milliseconds hold = DefaultHold);
    ~StrokePlayer(); // shuts down
    StrokePlayer(const StrokePlayer &) = delete;
    StrokePlayer &operator=(const StrokePlayer &) = delete;

    // A tap, its key held for `hold`, or for the player's own hold without
    // one. Returns false, and plays nothing, for a code that names no key
    // (0 "NONE", negative, not in the table) and once shut down.
    bool play(std::int32_t keyCode, bool alt, bool ctrl, bool shift, WindowHandle window,
              std::optional<std::chrono::milliseconds> hold = std::nullopt);
    // As Injector::Hold; false once shut down.
    bool hold(const std::string &id, const std::vector<Combo> &combos, WindowHandle window,
              std::chrono::milliseconds timeout);
    void release(const std::string &id);
    void releaseAll();
    // As Injector::watchHeldKeys and Injector::releaseLeftovers.
    void watchHeldKeys(Injector::HeldKeysObserver observer);
    void releaseLeftovers(const std::vector<std::int32_t> &keyCodes);

    // Returns once nothing is queued and no tap is playing; holds may still
    // be down.
    void waitUntilIdle();

    // Plays what is still queued, releases every hold, waits for the thread
    // to end and returns with no key of ours down. Later calls return at once.
    void shutdown();

private:
    using Key = const KeyConstads::KeyInfo *;
    using Clock = std::chrono::steady_clock;
    using Lock = std::unique_lock<std::mutex>;

    enum class Kind { Tap, Hold, Release, ReleaseAll, Leftovers };
    struct Op {
        Kind kind;
        std::vector<Key> keys{}; // Tap, Hold: the downs in order
        WindowHandle window = 0;
        std::string id{};                 // Hold, Release
        Clock::time_point deadline{};     // Hold: when it lapses unless renewed
        std::int32_t keyCode = 0;         // Tap: for the warnings
        bool downsSent = false;           // the caller's thread sent the downs
        bool downsOk = true;              // ...and each of them was handed over
        std::chrono::milliseconds hold{}; // Tap: how long its key stays down
    };
    struct HeldKeys {
        std::string id;
        std::vector<Key> keys;
        Clock::time_point deadline;
    };
    struct PlayingTap {
        std::vector<Key> keys;
        Clock::time_point upAt;
    };
    enum class Owner { Nobody, Player, Caller };

    bool submit(const std::shared_ptr<Op> &op);
    bool idle() const;
    void run();
    void playOp(Lock &lock, Op &op);
    void pressOp(Lock &lock, Op &op);
    std::vector<HeldKeys>::iterator findHold(const std::string &id);
    std::vector<HeldKeys>::iterator nextToLapse();
    // Takes a hold off the list and releases its keys; all of them, newest first.
    void letGo(Lock &lock, std::vector<HeldKeys>::iterator held);
    void letGoOfAll(Lock &lock);
    // Counts the keys up and sends the downs of those that were not down;
    // stops at the first that fails. Only while owning the sink.
    bool pressKeys(std::vector<Key> &keys);
    // Counts the keys down (in reverse) and sends the ups of those that
    // nobody uses any more; a failed one is kept to be released again.
    void releaseKeys(Lock &lock, const std::vector<Key> &keys);
    void retryStuckKeys(Lock &lock);
    // Tells the observer the held keys when they changed since it was last told.
    void reportHeldKeys(Lock &lock);
    // Sends the ups of keys as one burst and flushes; keeps failed ones.
    void sendUps(Lock &lock, const std::vector<Key> &ups);
    void takeSink(Lock &lock);
    void giveSinkBack(Lock &lock);

    const std::unique_ptr<KeySink> m_sink;
    const std::chrono::milliseconds m_hold;
    const Clock::time_point m_readyAt;

    // Users of each key of the table, by its index there. Only the sink's
    // owner reads or writes it.
    std::vector<int> m_users;

    std::mutex m_mutex;             // guards everything below
    std::condition_variable m_wake; // the player's thread is the one waiter
    std::condition_variable m_idle; // for waitUntilIdle()
    Owner m_owner = Owner::Nobody;
    std::deque<std::shared_ptr<Op>> m_queue;
    std::map<std::string, int> m_queuedHolds; // ids with a Hold still queued
    bool m_busy = false;                      // an op taken from the queue is not over yet
    std::optional<PlayingTap> m_tap;
    std::vector<HeldKeys> m_holds; // in the order they were pressed
    bool m_holdsChanged = false;   // since the observer was last told
    Injector::HeldKeysObserver m_heldKeysObserver;
    // Keys whose up (or the flush after it) failed, so that they may still be
    // down. A backend can fail for a moment (a full device queue, a busy
    // server); they are released again before the next op and at shut-down.
    // Written by the player's thread only.
    std::vector<Key> m_stuck;
    bool m_stopping = false;

    std::mutex m_shutdownMutex; // makes a second shutdown() wait for the first
    std::thread m_thread;
};

// An injector made of a stroke player over a key sink. The backends build on
// it and add their window look-up; tests use it with a sink of their own.
class StrokeInjector : public Injector {
public:
    StrokeInjector(std::string name, std::unique_ptr<KeySink> sink,
                   std::chrono::milliseconds hold = DefaultHold);
    ~StrokeInjector() override; // shuts down

    std::string name() const override;
    using Injector::PressCombo;
    void PressCombo(std::int32_t keyCode, std::int32_t alt, std::int32_t ctrl, std::int32_t shift,
                    WindowHandle window, std::optional<std::chrono::milliseconds> hold) override;
    void Hold(const std::string &id, std::vector<Combo> combos, WindowHandle window,
              std::chrono::milliseconds timeout) override;
    void Release(const std::string &id) override;
    void ReleaseAll() override;
    void watchHeldKeys(HeldKeysObserver observer) override;
    void releaseLeftovers(const std::vector<std::int32_t> &keyCodes) override;
    // No window system to look in: always 0.
    WindowHandle FindWindow(const std::string &title) override;
    void shutdown() override;

private:
    const std::string m_name;
    StrokePlayer m_player;
};

} // namespace vanterel::inject
