#pragma once

#include <QList>
#include <QString>
#include <QtGlobal>

namespace vanterel::keys {

// Held modifiers of one key: the sum of ShiftMask, CtrlMask and AltMask (0 to 7).
// Other values occur in files and mean "leave the modifiers as they were".
using ModifierMask = qint32;
inline constexpr ModifierMask ShiftMask = 1;
inline constexpr ModifierMask CtrlMask = 2;
inline constexpr ModifierMask AltMask = 4;

// How long a tap may keep its key down, in milliseconds: long enough for a
// program that polls the keyboard a few times a second, short enough that a
// tap stays a tap.
inline constexpr qint32 MinHoldMs = 10;
inline constexpr qint32 MaxHoldMs = 1000;

// One command's keys. A key code of 0 or less means there is no such key.
struct KeyBinding {
    qint32 FirstKey = 0;
    ModifierMask FirstModifiers = 0;
    qint32 SecondKey = 0;
    ModifierMask SecondModifiers = 0;
    QString Callback;
    // How long each of its taps keeps the key down (MinHoldMs to MaxHoldMs);
    // 0 when it has no hold of its own and taps as every other binding does.
    qint32 HoldMs = 0;

    friend bool operator==(const KeyBinding &, const KeyBinding &) = default;
};

// The binding table. Index 0 is a placeholder that is never filled, found or
// written, so the bindings sit at 1..upperBound() in the order they were added
// and the upper bound is also their number.
class KeyBindings {
public:
    KeyBindings();

    // Back to the placeholder alone.
    void reset();

    // Grows the table by one element holding the given binding and returns it,
    // so that a reader can fill the new element field by field.
    KeyBinding &append(const KeyBinding &binding = {});

    qint32 upperBound() const { return static_cast<qint32>(m_items.size() - 1); }

    // Valid for 0..upperBound().
    const KeyBinding &at(qint32 index) const { return m_items.at(index); }
    KeyBinding &at(qint32 index) { return m_items[index]; }

    // Index of the first binding whose Callback equals the name once both are
    // upper-cased (exact comparison of the upper-cased copies), or 0 for none.
    // The placeholder never matches, not even an empty name.
    qint32 find(const QString &commandName) const;

private:
    QList<KeyBinding> m_items;
};

// The three modifier flags. SetModifierFlags fills them from a mask and the
// code right after it reads them: the dispatch to pass them on with a key,
// BindingText to write the "Alt+" prefixes. A mask outside 0..7 leaves them as
// the previous call set them, so such a key inherits the earlier modifiers.
struct ModifierFlags {
    bool AltFlag = false;
    bool CtrlFlag = false;
    bool ShiftFlag = false;

    void SetModifierFlags(ModifierMask mask);
};

// A flag as the injector takes it: -1 held, 0 not held.
constexpr qint32 FlagArgument(bool flag)
{
    return flag ? -1 : 0;
}

} // namespace vanterel::keys
