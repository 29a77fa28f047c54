#pragma once

#include "common/Settings.h"
#include "inject/Injector.h"
#include "keys/KeyBindings.h"

#include <QString>

#include <atomic>
#include <chrono>
#include <memory>
#include <optional>

namespace vanterel::keys {

// The key commands' one state: the binding table and the modifier flags that
// the dispatch and the binding texts share, with the injector that presses the
// keys. The main window builds one and hands it by reference to the server and
// the options window; a test builds its own.
//
// Commands arrive on the network thread and from the window at once: the table
// is an immutable snapshot that a replacement swaps whole, the flags one
// atomic value changed in one step, and the injector takes calls from any
// thread. The injector is made before this object and outlives it, so it is
// fixed for its lifetime.
class KeyCommands {
public:
    // The injector may be null (no backend on this machine): commands are then
    // still looked up but nothing is pressed. Settings and injector must
    // outlive this. The first table lets go of nothing: nothing is held yet.
    KeyCommands(const Settings &settings, inject::Injector *injector, KeyBindings table = {});
    KeyCommands(const KeyCommands &) = delete;
    KeyCommands &operator=(const KeyCommands &) = delete;

    // The table as it is now; a later replacement leaves this one as it is.
    std::shared_ptr<const KeyBindings> bindings() const { return m_bindings.load(); }
    // Puts a whole new table in place: a reader sees the old one or the new
    // one, never one half built. Every held key is let go, also that of a
    // "+NAME" looked up in the old table and not yet held when this runs.
    void replaceBindings(KeyBindings table);

    // A hold that is not renewed by a repeated "+NAME" within this time is
    // let go: a page that was closed or lost its network cannot leave a key
    // down for ever.
    static constexpr std::chrono::milliseconds HoldTimeout{10000};

    // Presses the keys bound to the command: the first key, then the second,
    // each with its own modifiers, each only when its code is above 0, each
    // held for the binding's own hold, else for the settings' TapHoldMs, else
    // for the injector's own. With lookUp the target window is looked up by
    // its title first, also when no binding matches; without it the keys go
    // to window 0. Reports nothing.
    //
    // When no binding has the whole name, "+NAME" holds NAME's keys down
    // (modifiers first, then the key) until "-NAME", and "-NAME" releases
    // them (the key first, then the modifiers).
    void PressCommandKeys(const QString &commandName, bool lookUp);

    // The key's name with its held modifiers in front, always in the order
    // "Alt+", "Ctrl+", "Shift+". Leaves the shared flags set for the mask, so a
    // mask outside 0..7 shows the modifiers of the previous call.
    QString BindingText(qint32 keyCode, ModifierMask mask);

private:
    void pressKey(qint32 keyCode, ModifierMask mask, inject::WindowHandle window,
                  std::optional<std::chrono::milliseconds> hold);
    void holdOrRelease(const KeyBindings &table, const QString &name, bool hold, inject::WindowHandle window);
    // SetModifierFlags on the shared flags; returns the flags it left.
    ModifierFlags applyMask(ModifierMask mask);

    const Settings &m_settings;
    inject::Injector *const m_injector;
    std::atomic<std::shared_ptr<const KeyBindings>> m_bindings;
    // The three flags as a mask (0..7).
    std::atomic<int> m_flags{0};
};

// The key's display name, or "???(" code ")" for a code without one.
QString KeyName(qint32 keyCode);

} // namespace vanterel::keys
