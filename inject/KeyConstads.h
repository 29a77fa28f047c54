#pragma once

#include <QtGlobal>

#include <span>

// The one table of the target application's key codes: PC scan codes (set 1),
// with 128 added for the keys of the extended set. Every named code carries
// its display name and the Linux input code that presses it (X key codes are
// the Linux code plus 8). Key names, key-file import and every injection
// backend read this table; nothing keeps a private copy.
namespace KeyConstads {

struct KeyInfo {
    qint32 code;        // the target application's key code
    const char *name;   // display name (ASCII)
    quint16 linuxCode;  // linux/input-event-codes.h KEY_* value
};

// Every named code, in ascending order of code.
std::span<const KeyInfo> AllKeys();

// The entry for a code, or nullptr when the code has no name.
const KeyInfo *FindKey(qint32 code);

// Linux input codes of the left modifiers used for the flags.
inline constexpr quint16 LinuxLeftShift = 42;
inline constexpr quint16 LinuxLeftCtrl = 29;
inline constexpr quint16 LinuxLeftAlt = 56;

// X key codes are the Linux input code plus this offset.
inline constexpr int XKeycodeOffset = 8;

} // namespace KeyConstads
