#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace vanterel::inject {

// A top-level window of the desktop; 0 means "no window".
using WindowHandle = std::uint64_t;

// How long a tapped key stays down. Programs that poll the keyboard once per
// frame miss a shorter tap: at 30 frames a second a frame lasts 33 ms.
inline constexpr std::chrono::milliseconds DefaultHold{50};

// Where the library's warnings go (dropped strokes, failed backend calls), one
// line each, UTF-8. Set once, before the first injector is made; until then,
// and with an empty function, they go to standard error. The call may come
// from any thread, the key thread's own included.
using Diagnostics = std::function<void(std::string_view)>;
void SetDiagnostics(Diagnostics diagnostics);

// One key with the modifiers held around it.
struct Combo {
    std::int32_t keyCode;
    bool alt;
    bool ctrl;
    bool shift;
    friend bool operator==(const Combo &, const Combo &) = default;
};

// Delivers key strokes to the desktop. Speaks only in the target application's
// key codes (PC scan codes, 128 added for the extended set) and modifier flags;
// knows nothing of HTTP or configuration. Every backend shuts down in its
// destructor, so that no key of ours stays down when the injector goes.
//
// Taps, holds and releases take effect in call order, from any thread. Keys
// are counted across them: a key already down is not sent down again, and it
// goes up only when the last tap or hold that uses it lets go.
class Injector {
public:
    virtual ~Injector();

    // Short name of the backend for the event log ("XTest", "uinput", ...).
    virtual std::string name() const = 0;

    // A tap; returns at once: the flagged modifiers go down, the key goes
    // down, is held for `hold` (without one, for the hold the injector was
    // made with), comes up, the modifiers come up. Flags are true when
    // non-zero (callers pass -1 or 0). With a window given it is brought to
    // the front first; with 0 the keys go to whichever window has the focus.
    virtual void PressCombo(std::int32_t keyCode, std::int32_t alt, std::int32_t ctrl, std::int32_t shift,
                            WindowHandle window, std::optional<std::chrono::milliseconds> hold)
        = 0;
    // A tap held for the injector's own hold.
    void PressCombo(std::int32_t keyCode, std::int32_t alt, std::int32_t ctrl, std::int32_t shift,
                    WindowHandle window)
    {
        PressCombo(keyCode, alt, ctrl, shift, window, std::nullopt);
    }

    // Holds the combos' keys down, in order (for each combo its modifiers, Shift, Ctrl, Alt, then its key),
    // until Release(id), ReleaseAll(), shutdown(), or until `timeout` passes without another Hold with the
    // same id. A Hold with an id already held only renews its deadline: no key event. Codes that name no key
    // are skipped.
    virtual void Hold(const std::string &id, std::vector<Combo> combos, WindowHandle window,
                      std::chrono::milliseconds timeout)
        = 0;
    // Releases what Hold(id) pressed: in the reverse order of the downs (each key first, then its modifiers).
    // Nothing when id is not held.
    virtual void Release(const std::string &id) = 0;
    // Releases every hold (the program calls it when its binding table is replaced).
    virtual void ReleaseAll() = 0;

    // The codes of the keys that holds keep down, each once, in the order they went down; empty once none.
    using HeldKeysObserver = std::function<void(const std::vector<std::int32_t> &keyCodes)>;
    // Told on the key thread whenever those keys change, so that a program that dies while it holds a
    // key can let it go at its next start (the X server keeps a key of a client that is gone down).
    // Set before the first Hold.
    virtual void watchHeldKeys(HeldKeysObserver observer) = 0;
    // Sends the ups of keys that an earlier run left down, in call order with the rest; a key that a tap
    // or hold of this run has down stays down.
    virtual void releaseLeftovers(const std::vector<std::int32_t> &keyCodes) = 0;

    // A top-level window whose title (UTF-8) equals the given one without
    // regard to case, or 0 when there is none (an empty title names none).
    // Blocks for a few round trips to the window system, never for a stroke.
    virtual WindowHandle FindWindow(const std::string &title) = 0;

    // Plays what is still queued, releases every hold and returns once no key
    // or modifier of ours is down. Called at shut-down; later calls do
    // nothing, and taps or holds after it are refused.
    virtual void shutdown() = 0;
};

// What the factory chose, with the event-log line that says so (or says why
// nothing could be used; then injector is null and key presses are dropped).
struct InjectorChoice {
    std::unique_ptr<Injector> injector;
    std::string logLine;
};

// Picks the backend for this machine: XTest when an X display is reachable,
// uinput when /dev/uinput is writable, SendInput on Windows. The single
// backends can be made directly through inject/Backends.h. hold: how long a
// tap keeps its key down.
InjectorChoice CreateInjector(std::chrono::milliseconds hold = DefaultHold);

} // namespace vanterel::inject
