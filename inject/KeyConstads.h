#pragma once

#include <cstdint>
#include <span>
#include <string_view>

// The one table of the target application's key codes: PC scan codes (set 1),
// with 128 added for the keys of the extended set. Every named code carries
// its display name and the Linux input code that presses it (X key codes are
// the Linux code plus 8). Key names, key-file import and every injection
// backend read this table; nothing keeps a private copy.
namespace KeyConstads {

struct KeyInfo {
    std::int32_t code;       // the target application's key code
    const char *name;        // display name (ASCII)
    std::uint16_t linuxCode; // linux/input-event-codes.h KEY_* value
};

// Every named code, in ascending order of code.
std::span<const KeyInfo> AllKeys();

// The entry for a code, or nullptr when the code has no name.
const KeyInfo *FindKey(std::int32_t code);

// The first entry of a name, compared without regard to ASCII case, or
// nullptr. Two codes share the name "NUMPADDOT"; the name finds the lower.
const KeyInfo *FindKeyByName(std::string_view name);

// Whether two names are the same without regard to ASCII case, as key names
// (and the modifiers written in front of them) are compared.
bool SameLetters(std::string_view a, std::string_view b);

// Linux input codes of the left modifiers used for the flags.
inline constexpr std::uint16_t LinuxLeftShift = 42;
inline constexpr std::uint16_t LinuxLeftCtrl = 29;
inline constexpr std::uint16_t LinuxLeftAlt = 56;

// X key codes are the Linux input code plus this offset.
inline constexpr int XKeycodeOffset = 8;

} // namespace KeyConstads
