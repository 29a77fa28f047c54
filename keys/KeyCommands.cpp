#include "keys/KeyCommands.h"

#include "inject/KeyConstads.h"

namespace vanterel::keys {

KeyCommands::KeyCommands(const Settings &settings, inject::Injector *injector)
    : m_settings(settings), m_injector(injector)
{
}

void KeyCommands::PressCommandKeys(const QString &commandName, bool lookUp)
{
    inject::WindowHandle window = 0;
    if (lookUp && m_injector)
        window = m_injector->FindWindow(m_settings.TargetWindowTitle.toStdString());

    const qint32 index = m_bindings.find(commandName);
    if (index == 0)
        return;
    // Copied: the injector is outside our control and the table must not be
    // read through a reference across calls into it.
    const KeyBinding binding = m_bindings.at(index);
    if (binding.FirstKey > 0)
        pressKey(binding.FirstKey, binding.FirstModifiers, window);
    if (binding.SecondKey > 0)
        pressKey(binding.SecondKey, binding.SecondModifiers, window);
}

void KeyCommands::pressKey(qint32 keyCode, ModifierMask mask, inject::WindowHandle window)
{
    // The flags change even without an injector, so that what a later key or
    // binding text inherits does not depend on the backend.
    m_flags.SetModifierFlags(mask);
    if (!m_injector)
        return;
    m_injector->PressCombo(keyCode, FlagArgument(m_flags.AltFlag), FlagArgument(m_flags.CtrlFlag),
                           FlagArgument(m_flags.ShiftFlag), window);
}

QString KeyCommands::BindingText(qint32 keyCode, ModifierMask mask)
{
    m_flags.SetModifierFlags(mask);
    QString text;
    if (m_flags.AltFlag)
        text += u"Alt+";
    if (m_flags.CtrlFlag)
        text += u"Ctrl+";
    if (m_flags.ShiftFlag)
        text += u"Shift+";
    return text + KeyName(keyCode);
}

QString KeyName(qint32 keyCode)
{
    if (const KeyConstads::KeyInfo *key = KeyConstads::FindKey(keyCode))
        return QString::fromLatin1(key->name);
    // Written with escapes: "??(" is a trigraph to the compiler.
    return QStringLiteral("?\?\?(") + QString::number(keyCode) + u')';
}

} // namespace vanterel::keys
