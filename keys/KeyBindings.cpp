#include "keys/KeyBindings.h"

namespace vanterel::keys {

KeyBindings::KeyBindings()
{
    reset();
}

void KeyBindings::reset()
{
    m_items.clear();
    m_items.append(KeyBinding{});
}

KeyBinding &KeyBindings::append(const KeyBinding &binding)
{
    m_items.append(binding);
    return m_items.last();
}

qint32 KeyBindings::find(const QString &commandName) const
{
    // toUpper is Qt's locale-independent Unicode mapping, so the same name
    // finds the same binding whatever the user's language settings are.
    const QString wanted = commandName.toUpper();
    for (qint32 i = 1; i <= upperBound(); ++i) {
        if (m_items.at(i).Callback.toUpper() == wanted)
            return i;
    }
    return 0;
}

void ModifierFlags::SetModifierFlags(ModifierMask mask)
{
    if (mask < 0 || mask > (ShiftMask | CtrlMask | AltMask))
        return;
    ShiftFlag = (mask & ShiftMask) != 0;
    CtrlFlag = (mask & CtrlMask) != 0;
    AltFlag = (mask & AltMask) != 0;
}

} // namespace vanterel::keys
