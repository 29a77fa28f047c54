#pragma once

#include "inject/Injector.h"

#include <functional>
#include <map>
#include <mutex>

namespace vanterel::inject {

// Backend for tests: remembers every tap, hold and release in call order and
// presses nothing. Calls may come from any thread.
class RecordingInjector final : public Injector {
public:
    enum class Kind { Tap, Hold, Release, ReleaseAll, Leftovers };
    // A tap fills the first five fields and the hold it was given; a hold
    // the window, id, combos and timeout; a release the id.
    struct Call {
        std::int32_t keyCode = 0;
        std::int32_t alt = 0;
        std::int32_t ctrl = 0;
        std::int32_t shift = 0;
        WindowHandle window = 0;
        Kind kind = Kind::Tap;
        std::string id{};
        std::vector<Combo> combos{};
        std::chrono::milliseconds timeout{0};
        std::optional<std::chrono::milliseconds> hold{};
        friend bool operator==(const Call &, const Call &) = default;
    };

    std::string name() const override;
    using Injector::PressCombo;
    void PressCombo(std::int32_t keyCode, std::int32_t alt, std::int32_t ctrl, std::int32_t shift,
                    WindowHandle window, std::optional<std::chrono::milliseconds> hold) override;
    void Hold(const std::string &id, std::vector<Combo> combos, WindowHandle window,
              std::chrono::milliseconds timeout) override;
    void Release(const std::string &id) override;
    void ReleaseAll() override;
    WindowHandle FindWindow(const std::string &title) override;
    void shutdown() override;

    // Presses nothing, so it never holds a key down to tell of.
    void watchHeldKeys(HeldKeysObserver observer) override;
    // Recorded with the codes as the combos' keys, without modifiers.
    void releaseLeftovers(const std::vector<std::int32_t> &keyCodes) override;

    // Windows the look-up can find: title (compared without regard to ASCII
    // case) to handle.
    void addWindow(const std::string &title, WindowHandle handle);
    // Runs fn once, on the calling thread, when the next Hold comes in, before
    // it is recorded: a test puts there what another thread may do between a
    // command's look-up and its hold.
    void beforeNextHold(std::function<void()> fn);

    std::vector<Call> calls() const;
    std::vector<std::string> lookUps() const;
    bool shutDown() const;

private:
    void record(Call call);

    mutable std::mutex m_mutex;
    std::vector<Call> m_calls;
    std::vector<std::string> m_lookUps;
    bool m_shutDown = false;
    std::map<std::string, WindowHandle> m_windows;
    std::function<void()> m_beforeHold;
};

} // namespace vanterel::inject
