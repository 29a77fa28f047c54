#include "keys/KeyCommands.h"

#include "inject/KeyConstads.h"

namespace vanterel::keys {

namespace {

int maskOf(const ModifierFlags &flags)
{
    return (flags.ShiftFlag ? ShiftMask : 0) | (flags.CtrlFlag ? CtrlMask : 0)
        | (flags.AltFlag ? AltMask : 0);
}

ModifierFlags flagsOf(int mask)
{
    ModifierFlags flags;
    flags.SetModifierFlags(mask);
    return flags;
}

} // namespace

KeyCommands::KeyCommands(const Settings &settings, inject::Injector *injector, KeyBindings table)
    : m_settings(settings)
    , m_injector(injector)
    , m_bindings(std::make_shared<const KeyBindings>(std::move(table)))
{
}

void KeyCommands::replaceBindings(KeyBindings table)
{
    m_bindings.store(std::make_shared<const KeyBindings>(std::move(table)));
    // A held key belongs to a binding that may be gone now: let go of all.
    // A hold looked up in the old table but queued after this is let go by
    // holdOrRelease, which sees the new table once it has queued its hold.
    if (m_injector)
        m_injector->ReleaseAll();
}

ModifierFlags KeyCommands::applyMask(ModifierMask mask)
{
    // A mask outside 0..7 leaves the flags of the previous conversion, made
    // for whatever key, binding or list row came last. Read and written in
    // one step: a conversion on another thread in between is neither lost
    // nor overwritten with the flags read before it.
    int old = m_flags.load();
    ModifierFlags flags;
    do {
        flags = flagsOf(old);
        flags.SetModifierFlags(mask);
    } while (!m_flags.compare_exchange_weak(old, maskOf(flags)));
    return flags;
}

void KeyCommands::PressCommandKeys(const QString &commandName, bool lookUp)
{
    inject::WindowHandle window = 0;
    if (lookUp && m_injector)
        window = m_injector->FindWindow(m_settings.TargetWindowTitle.toStdString());

    // The snapshot stays whole for as long as it is held, whatever an import
    // does meanwhile.
    const std::shared_ptr<const KeyBindings> table = m_bindings.load();
    const qint32 index = table->find(commandName);
    if (index == 0) {
        // "+NAME" holds NAME's keys down and "-NAME" lets them go; only
        // looked at when no binding has the whole name, so a binding whose
        // own name begins with "+" or "-" is pressed as it always was.
        const QChar sign = commandName.isEmpty() ? QChar() : commandName.front();
        if (sign == u'+' || sign == u'-')
            holdOrRelease(*table, commandName.mid(1), sign == u'+', window);
        return;
    }
    const KeyBinding &binding = table->at(index);
    const qint32 holdMs = binding.HoldMs > 0 ? binding.HoldMs : m_settings.TapHoldMs;
    const auto hold = holdMs > 0 ? std::optional(std::chrono::milliseconds(holdMs)) : std::nullopt;
    if (binding.FirstKey > 0)
        pressKey(binding.FirstKey, binding.FirstModifiers, window, hold);
    if (binding.SecondKey > 0)
        pressKey(binding.SecondKey, binding.SecondModifiers, window, hold);
}

void KeyCommands::holdOrRelease(const KeyBindings &table, const QString &name, bool hold,
                                inject::WindowHandle window)
{
    // Names are found without regard to case: "+brakes" and "-BRAKES" are one hold.
    const std::string id = name.toUpper().toStdString();
    if (!hold) {
        if (m_injector)
            m_injector->Release(id);
        return;
    }
    const qint32 index = table.find(name);
    if (index == 0)
        return;
    const KeyBinding &binding = table.at(index);
    std::vector<inject::Combo> combos;
    for (const auto &[key, mask] : {std::pair{binding.FirstKey, binding.FirstModifiers},
                                    std::pair{binding.SecondKey, binding.SecondModifiers}}) {
        if (key <= 0)
            continue;
        const ModifierFlags flags = applyMask(mask);
        combos.push_back(inject::Combo{key, flags.AltFlag, flags.CtrlFlag, flags.ShiftFlag});
    }
    if (!m_injector || combos.empty())
        return;
    m_injector->Hold(id, std::move(combos), window, HoldTimeout);
    // An import may have replaced the table since it was read here, its
    // ReleaseAll queued before this hold and so letting go of nothing: the
    // hold then belongs to a table that is gone, and is let go behind itself.
    // An import that comes later queues its ReleaseAll behind the hold.
    if (m_bindings.load().get() != &table)
        m_injector->Release(id);
}

void KeyCommands::pressKey(qint32 keyCode, ModifierMask mask, inject::WindowHandle window,
                           std::optional<std::chrono::milliseconds> hold)
{
    // The flags change even without an injector, so that what a later key or
    // binding text inherits does not depend on the backend.
    const ModifierFlags flags = applyMask(mask);
    if (!m_injector)
        return;
    m_injector->PressCombo(keyCode, FlagArgument(flags.AltFlag), FlagArgument(flags.CtrlFlag),
                           FlagArgument(flags.ShiftFlag), window, hold);
}

QString KeyCommands::BindingText(qint32 keyCode, ModifierMask mask)
{
    const ModifierFlags flags = applyMask(mask);
    QString text;
    if (flags.AltFlag)
        text += u"Alt+";
    if (flags.CtrlFlag)
        text += u"Ctrl+";
    if (flags.ShiftFlag)
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
