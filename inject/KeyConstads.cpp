#include "inject/KeyConstads.h"

#include <algorithm>
#include <array>
#include <cctype>

namespace KeyConstads {

namespace {

// Below 84 the scan code and the Linux code are the same number; the extended
// keys and the Japanese/NEC keys need their own Linux codes. Keys that only
// existed on keyboards Linux has no code for (AX, the unlabelled key) are sent
// as F23/F24, which reach the target unchanged through X and uinput alike.
// clang-format off: one key a line, as the table is read
constexpr std::array<KeyInfo, 121> Table{{
    {0, "NONE", 0},
    {1, "ESCAPE", 1},
    {2, "1", 2},
    {3, "2", 3},
    {4, "3", 4},
    {5, "4", 5},
    {6, "5", 6},
    {7, "6", 7},
    {8, "7", 8},
    {9, "8", 9},
    {10, "9", 10},
    {11, "0", 11},
    {12, "-", 12},
    {13, "=", 13},
    {14, "BACKSPACE", 14},
    {15, "TAB", 15},
    {16, "Q", 16},
    {17, "W", 17},
    {18, "E", 18},
    {19, "R", 19},
    {20, "T", 20},
    {21, "Y", 21},
    {22, "U", 22},
    {23, "I", 23},
    {24, "O", 24},
    {25, "P", 25},
    {26, "[", 26},
    {27, "]", 27},
    {28, "ENTER", 28},
    {29, "LCTRL", 29},
    {30, "A", 30},
    {31, "S", 31},
    {32, "D", 32},
    {33, "F", 33},
    {34, "G", 34},
    {35, "H", 35},
    {36, "J", 36},
    {37, "K", 37},
    {38, "L", 38},
    {39, ":", 39},
    {40, "'", 40},
    {41, "`", 41},
    {42, "LSHIFT", 42},
    {43, "\\", 43},
    {44, "Z", 44},
    {45, "X", 45},
    {46, "C", 46},
    {47, "V", 47},
    {48, "B", 48},
    {49, "N", 49},
    {50, "M", 50},
    {51, ",", 51},
    {52, ".", 52},
    {53, "/", 53},
    {54, "RSHIFT", 54},
    {55, "NUMPADMULT", 55},
    {56, "LALT", 56},
    {57, "SPACE", 57},
    {58, "CAPSLOCK", 58},
    {59, "F1", 59},
    {60, "F2", 60},
    {61, "F3", 61},
    {62, "F4", 62},
    {63, "F5", 63},
    {64, "F6", 64},
    {65, "F7", 65},
    {66, "F8", 66},
    {67, "F9", 67},
    {68, "F10", 68},
    {69, "NUMLOCK", 69},
    {70, "SCROLLLOCK", 70},
    {71, "NUMPAD7", 71},
    {72, "NUMPAD8", 72},
    {73, "NUMPAD9", 73},
    {74, "NUMPADSUB", 74},
    {75, "NUMPAD4", 75},
    {76, "NUMPAD5", 76},
    {77, "NUMPAD6", 77},
    {78, "NUMPADADD", 78},
    {79, "NUMPAD1", 79},
    {80, "NUMPAD2", 80},
    {81, "NUMPAD3", 81},
    {82, "NUMPAD0", 82},
    {83, "NUMPADDOT", 83},
    {87, "F11", 87},
    {88, "F12", 88},
    {100, "F13", 183},
    {101, "F14", 184},
    {102, "F15", 185},
    {112, "KANA", 93},          // KEY_KATAKANAHIRAGANA
    {121, "CONVERT", 92},       // KEY_HENKAN
    {123, "NOCONVERT", 94},     // KEY_MUHENKAN
    {125, "YEN", 124},          // KEY_YEN
    {141, "NUMPADEQUALS", 117}, // KEY_KPEQUAL
    {144, "CIRCUMFLEX", 13},    // the ^ key of a Japanese layout sits where '=' is
    {145, "AT", 26},            // '@' of a Japanese layout sits where '[' is
    {146, "COLON", 40},         // ':' of a Japanese layout sits where '\'' is
    {147, "UNDERLINE", 89},     // KEY_RO
    {148, "KANJI", 85},         // KEY_ZENKAKUHANKAKU
    {149, "STOP", 128},         // KEY_STOP
    {150, "AX", 193},           // KEY_F23
    {151, "UNLABELED", 194},    // KEY_F24
    {156, "NUMPADENTER", 96},   // KEY_KPENTER
    {157, "RCTRL", 97},         // KEY_RIGHTCTRL
    {179, "NUMPADDOT", 121},    // KEY_KPCOMMA
    {181, "NUMPADDIV", 98},     // KEY_KPSLASH
    {183, "PRINTSCREEN", 99},   // KEY_SYSRQ
    {184, "RALT", 100},         // KEY_RIGHTALT
    {199, "HOME", 102},
    {200, "UP", 103},
    {201, "PGUP", 104},
    {203, "LEFT", 105},
    {205, "RIGHT", 106},
    {207, "END", 107},
    {208, "DOWN", 108},
    {209, "PGDN", 109},
    {210, "INSERT", 110},
    {211, "DELETE", 111},
    {219, "LWIN", 125},    // KEY_LEFTMETA
    {220, "RWIN", 126},    // KEY_RIGHTMETA
    {221, "APPSKEY", 127}, // KEY_COMPOSE
}};
// clang-format on

constexpr bool sortedByCode()
{
    for (std::size_t i = 1; i < Table.size(); ++i)
        if (Table[i - 1].code >= Table[i].code)
            return false;
    return true;
}
static_assert(sortedByCode(), "FindKey searches the table by halves");

} // namespace

std::span<const KeyInfo> AllKeys()
{
    return Table;
}

const KeyInfo *FindKey(std::int32_t code)
{
    const auto it = std::lower_bound(Table.begin(), Table.end(), code,
                                     [](const KeyInfo &k, std::int32_t c) { return k.code < c; });
    return (it != Table.end() && it->code == code) ? &*it : nullptr;
}

bool SameLetters(std::string_view a, std::string_view b)
{
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
               return std::toupper(static_cast<unsigned char>(x))
                   == std::toupper(static_cast<unsigned char>(y));
           });
}

const KeyInfo *FindKeyByName(std::string_view name)
{
    const auto it = std::find_if(Table.begin(), Table.end(),
                                 [name](const KeyInfo &key) { return SameLetters(key.name, name); });
    return it != Table.end() ? &*it : nullptr;
}

} // namespace KeyConstads
