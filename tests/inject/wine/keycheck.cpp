// The Windows key backend, checked under Wine by keycheck.sh: a window of our
// own, on a thread of its own, records every key message while vanterel-keys
// presses every named key of the table into it (--window; modifier mask i % 8
// for the i-th key). One row per key: each transition in order, with its scan
// code, extended flag and, at messages of other keys than modifiers, the
// Shift/Ctrl/Alt that GetKeyState then has.
//   keycheck VANTEREL-KEYS.EXE
#include "inject/KeyConstads.h"

#include <algorithm>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include <windows.h>

namespace {

std::vector<std::string> got; // the window's thread writes it
bool ending = false;

// "down 1E 0 3": scan code, extended flag, modifiers (1 Shift, 2 Ctrl, 4 Alt;
// "*" for a modifier's own messages, which change them).
std::string message(bool down, int code, int modifiers)
{
    const int scan = code & 0x7F;
    const bool modifier = scan == 0x2A || scan == 0x36 || scan == 0x1D || scan == 0x38;
    char text[32];
    std::snprintf(text, sizeof text, "%s %X %d %s", down ? "down" : "up", scan, code >= 128,
                  modifier ? "*" : std::to_string(modifiers).c_str());
    return text;
}

// Posted messages come before input: the window ends once no key message is
// left in its queue.
void endOnceDrained(HWND hwnd)
{
    if (ending && HIWORD(GetQueueStatus(QS_INPUT)) == 0)
        DestroyWindow(hwnd);
}

LRESULT CALLBACK windowProc(HWND hwnd, UINT type, WPARAM wParam, LPARAM lParam)
{
    const bool down = type == WM_KEYDOWN || type == WM_SYSKEYDOWN;
    if (down || type == WM_KEYUP || type == WM_SYSKEYUP) {
        const auto held = [](int left, int right) { return GetKeyState(left) < 0 || GetKeyState(right) < 0; };
        got.push_back(message(down, int(lParam >> 16 & 0xFF) + (lParam >> 24 & 1 ? 128 : 0),
                              held(VK_LSHIFT, VK_RSHIFT) | held(VK_LCONTROL, VK_RCONTROL) << 1
                                  | held(VK_LMENU, VK_RMENU) << 2));
        endOnceDrained(hwnd);
        return 0; // never DefWindowProc: Alt or F10 would open the menu, Alt+F4 close the window
    }
    if (type == WM_APP) {
        ending = true;
        endOnceDrained(hwnd);
        return 0;
    }
    if (type == WM_DESTROY)
        PostQuitMessage(0);
    return DefWindowProcW(hwnd, type, wParam, lParam);
}

} // namespace

int main(int argc, char **argv)
{
    if (argc != 2)
        return 2;
    HWND hwnd = nullptr;
    const HANDLE ready = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    std::thread window([&] {
        WNDCLASSW windowClass{};
        windowClass.lpfnWndProc = windowProc;
        windowClass.hInstance = GetModuleHandleW(nullptr);
        windowClass.lpszClassName = L"VanterelKeyTarget";
        RegisterClassW(&windowClass);
        hwnd = CreateWindowExW(0, windowClass.lpszClassName, L"Vanterel key target", WS_OVERLAPPEDWINDOW | WS_VISIBLE,
                               0, 0, 240, 120, nullptr, nullptr, windowClass.hInstance, nullptr);
        SetEvent(ready);
        for (MSG m; hwnd && GetMessageW(&m, nullptr, 0, 0) > 0;)
            DispatchMessageW(&m);
    });
    WaitForSingleObject(ready, INFINITE);

    // Every named key by code (two share a name); Shift, Ctrl, Alt and the key
    // go down once each, in this order, and up in reverse.
    std::string command = "\"" + std::string(argv[1]) + "\" --window \"Vanterel key target\" --hold 5";
    std::vector<const KeyConstads::KeyInfo *> keys;
    std::vector<std::string> expected;
    for (const KeyConstads::KeyInfo &key : KeyConstads::AllKeys()) {
        const int mask = int(keys.size() % 8);
        if (key.linuxCode == 0)
            continue;
        keys.push_back(&key);
        char combo[32];
        std::snprintf(combo, sizeof combo, " %s%s%s0x%X", mask & 1 ? "Shift+" : "", mask & 2 ? "Ctrl+" : "",
                      mask & 4 ? "Alt+" : "", unsigned(key.code));
        command += combo;
        std::vector<int> downs;
        for (const auto &[bit, code] : {std::pair{1, 42}, {2, 29}, {4, 56}})
            if ((mask & bit) && code != key.code)
                downs.push_back(code);
        downs.push_back(key.code);
        std::string events;
        for (const int code : downs)
            events += " [" + message(true, code, mask) + "]";
        for (auto it = downs.rbegin(); it != downs.rend(); ++it)
            events += " [" + message(false, *it, mask) + "]";
        expected.push_back(events);
    }
    STARTUPINFOA startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process{};
    DWORD status = 1;
    if (CreateProcessA(nullptr, command.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr, &startup, &process)) {
        WaitForSingleObject(process.hProcess, 120000);
        GetExitCodeProcess(process.hProcess, &status);
    }
    PostMessageW(hwnd, WM_APP, 0, 0);
    window.join();

    std::size_t at = 0;
    std::size_t good = 0;
    for (std::size_t i = 0; i < keys.size(); ++i) {
        std::string have;
        for (auto n = std::count(expected[i].begin(), expected[i].end(), '['); n > 0; --n)
            have += " [" + (at < got.size() ? got[at++] : std::string("-")) + "]";
        good += have == expected[i];
        std::printf("%5d %-13s mask %zu  %s\n", int(keys[i]->code), keys[i]->name, i % 8,
                    have == expected[i] ? "ok" : ("expected" + expected[i] + ", got" + have).c_str());
    }
    const bool extra = at < got.size();
    for (; at < got.size(); ++at)
        std::printf("      unexpected: [%s]\n", got[at].c_str());
    std::printf("keycheck: %zu of %zu keys as expected; vanterel-keys exited with %lu\n", good, keys.size(), status);
    return status == 0 && good == keys.size() && !extra ? 0 : 1;
}
