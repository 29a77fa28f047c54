#pragma once

#include "common/Settings.h"
#include "inject/Injector.h"
#include "keys/KeyBindings.h"

#include <QString>

namespace vanterel::keys {

// The key commands' one state: the binding table and the modifier flags that
// the dispatch and the binding texts share, with the injector that presses the
// keys. The main window builds one and hands it by reference to the server and
// the options window; a test builds its own.
class KeyCommands {
public:
    // The injector may be null (no backend on this machine): commands are then
    // still looked up but nothing is pressed. Both references must outlive this.
    KeyCommands(const Settings &settings, inject::Injector *injector);
    KeyCommands(const KeyCommands &) = delete;
    KeyCommands &operator=(const KeyCommands &) = delete;

    KeyBindings &bindings() { return m_bindings; }
    const KeyBindings &bindings() const { return m_bindings; }
    ModifierFlags &flags() { return m_flags; }
    const ModifierFlags &flags() const { return m_flags; }
    inject::Injector *injector() const { return m_injector; }
    void setInjector(inject::Injector *injector) { m_injector = injector; }

    // Presses the keys bound to the command: the first key, then the second,
    // each with its own modifiers, each only when its code is above 0. With
    // lookUp the target window is looked up by its title first, also when no
    // binding matches; without it the keys go to window 0. Reports nothing.
    void PressCommandKeys(const QString &commandName, bool lookUp);

    // The key's name with its held modifiers in front, always in the order
    // "Alt+", "Ctrl+", "Shift+". Leaves the shared flags set for the mask, so a
    // mask outside 0..7 shows the modifiers of the previous call.
    QString BindingText(qint32 keyCode, ModifierMask mask);

private:
    void pressKey(qint32 keyCode, ModifierMask mask, inject::WindowHandle window);

    const Settings &m_settings;
    inject::Injector *m_injector;
    KeyBindings m_bindings;
    ModifierFlags m_flags;
};

// The key's display name, or "???(" code ")" for a code without one.
QString KeyName(qint32 keyCode);

} // namespace vanterel::keys
