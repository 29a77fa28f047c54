// The Windows key check, run under Wine by keycheck.sh: starts the recording
// window, presses every named key of the table through vanterel-keys (mask
// i % 8 for the i-th key, found by the tool's window look-up), and compares
// what the window got, one row per key: scan code, extended flag, modifiers
// down before and up after, and nothing left down.
//   keycheck KEYTARGET.EXE VANTEREL-KEYS.EXE RECORD-FILE
#include "inject/KeyConstads.h"

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <string>
#include <utility>
#include <vector>

#include <windows.h>

namespace {

// Starts a command line; waits for it when asked. Returns its exit status,
// or -1 when it could not start or did not end in time.
long run(std::string commandLine, HANDLE *process = nullptr)
{
    STARTUPINFOA startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION info{};
    if (!CreateProcessA(nullptr, commandLine.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr, &startup, &info))
        return -1;
    CloseHandle(info.hThread);
    if (process) {
        *process = info.hProcess;
        return 0;
    }
    DWORD status = 0;
    const bool ended = WaitForSingleObject(info.hProcess, 60000) == WAIT_OBJECT_0
                       && GetExitCodeProcess(info.hProcess, &status);
    CloseHandle(info.hProcess);
    return ended ? static_cast<long>(status) : -1;
}

// One key message as keytarget records it; "*" where the modifiers are not
// compared (the modifiers' own messages).
std::string event(bool down, std::int32_t code, const std::string &modifiers)
{
    char text[32];
    std::snprintf(text, sizeof text, "%s %X %d %s", down ? "down" : "up", static_cast<unsigned>(code & 0x7F),
                  code >= 128 ? 1 : 0, modifiers.c_str());
    return text;
}

int ownModifier(std::int32_t code)
{
    switch (code) {
    case 42: case 54: return 1;   // LSHIFT, RSHIFT
    case 29: case 157: return 2;  // LCTRL, RCTRL
    case 56: case 184: return 4;  // LALT, RALT
    default: return 0;
    }
}

} // namespace

int main(int argc, char **argv)
{
    if (argc != 4) {
        std::fprintf(stderr, "usage: keycheck KEYTARGET.EXE VANTEREL-KEYS.EXE RECORD-FILE\n");
        return 2;
    }
    const std::string target = argv[1], tool = argv[2], recordPath = argv[3];
    const std::string quote = "\"";

    const std::string readyName = "VanterelKeyTargetReady" + std::to_string(GetCurrentProcessId());
    const HANDLE ready = CreateEventA(nullptr, TRUE, FALSE, readyName.c_str());
    HANDLE window = nullptr;
    if (run(quote + target + "\" \"" + recordPath + "\" " + readyName, &window) != 0
        || WaitForSingleObject(ready, 60000) != WAIT_OBJECT_0) {
        std::printf("keycheck: the recording window did not come up\n");
        return 1;
    }

    // A name the table lacks is refused before anything is pressed.
    const long refused = run(quote + tool + "\" Ctrl+NOSUCHKEY");
    std::printf("keycheck: vanterel-keys Ctrl+NOSUCHKEY exits with %ld (2 expected)\n", refused);

    // Every named key, by code (two keys share a name), modifiers spread.
    std::string command = quote + tool + "\" --window \"Vanterel key target\" --hold 5";
    std::vector<std::vector<std::string>> expected;
    std::vector<const KeyConstads::KeyInfo *> keys;
    std::vector<std::string> notes;
    for (const KeyConstads::KeyInfo &key : KeyConstads::AllKeys()) {
        if (key.linuxCode == 0)
            continue;
        const int mask = static_cast<int>(keys.size() % 8);
        keys.push_back(&key);
        char combo[40];
        std::snprintf(combo, sizeof combo, " %s%s%s0x%X", mask & 1 ? "Shift+" : "", mask & 2 ? "Ctrl+" : "",
                      mask & 4 ? "Alt+" : "", static_cast<unsigned>(key.code));
        command += combo;

        // Downs: Shift, Ctrl, Alt, the key, each once; ups in reverse.
        std::vector<std::int32_t> downs;
        for (const auto &[bit, code] : {std::pair{1, 42}, std::pair{2, 29}, std::pair{4, 56}})
            if (mask & bit)
                downs.push_back(code);
        const bool keyIsAModifier = std::find(downs.begin(), downs.end(), key.code) != downs.end();
        if (!keyIsAModifier)
            downs.push_back(key.code);
        std::vector<std::string> events;
        // At its up, the modifiers still down are those of the other keys.
        int stillDown = 0;
        for (const std::int32_t code : downs)
            stillDown |= code != key.code ? ownModifier(code) : 0;
        for (const std::int32_t code : downs)
            events.push_back(event(true, code, code == key.code ? std::to_string(mask | ownModifier(code)) : "*"));
        // Wine keeps one Shift in its key state: the right Shift going up
        // takes the left one with it. The messages are as sent; GetKeyState
        // alone is off, so the row says so instead of failing.
        const bool wineShift = key.code == 54 && (mask & 1);
        if (wineShift)
            stillDown &= ~1;
        for (auto it = downs.rbegin(); it != downs.rend(); ++it)
            events.push_back(event(false, *it, *it == key.code ? std::to_string(stillDown) : "*"));
        expected.push_back(events);
        notes.push_back(wineShift ? " (Wine: no Shift down after RSHIFT up, though LSHIFT is)" : "");
    }
    const long pressed = run(command);

    const HWND hwnd = FindWindowW(L"VanterelKeyTarget", nullptr);
    DWORD_PTR unused = 0;
    if (!hwnd || !SendMessageTimeoutW(hwnd, WM_APP, 0, 0, SMTO_NORMAL, 30000, &unused)
        || WaitForSingleObject(window, 60000) != WAIT_OBJECT_0) {
        std::printf("keycheck: the recording window did not finish\n");
        return 1;
    }

    std::vector<std::string> got;
    std::ifstream record(recordPath);
    for (std::string line; std::getline(record, line) && line != "end";)
        got.push_back(line);

    // One row per key; the modifiers' own messages are compared without
    // their modifier state, which they change themselves.
    std::size_t at = 0;
    int good = 0;
    std::printf("%5s %-13s %4s  %s\n", "code", "name", "mask", "result");
    for (std::size_t i = 0; i < keys.size(); ++i) {
        std::string want, have;
        bool same = true;
        for (const std::string &e : expected[i]) {
            const std::string g = at < got.size() ? got[at++] : "-";
            const bool match = e.back() == '*' ? g.compare(0, e.size() - 1, e, 0, e.size() - 1) == 0 : g == e;
            same = same && match;
            want += " [" + e + "]";
            have += " [" + g + "]";
        }
        good += same ? 1 : 0;
        std::printf("%5d %-13s %4zu  %s\n", static_cast<int>(keys[i]->code), keys[i]->name, i % 8,
                    same ? ("ok" + notes[i]).c_str() : ("expected" + want + ", got" + have).c_str());
    }
    const bool extra = at < got.size();
    for (; at < got.size(); ++at)
        std::printf("      unexpected: [%s]\n", got[at].c_str());
    std::printf("keycheck: %d of %zu keys as expected; vanterel-keys exited with %ld\n", good, keys.size(), pressed);
    return refused == 2 && pressed == 0 && good == static_cast<int>(keys.size()) && !extra ? 0 : 1;
}
