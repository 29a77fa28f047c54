// The Windows key backend, checked under Wine by keycheck.sh: a window of our
// own records the key messages that vanterel-keys sends it while pressing every named key of the table
// (--window; modifier mask i % 8 for the i-th key). One row per key: each transition in order, with its scan
// code, extended flag and, at messages of keys other than the modifiers, the Shift/Ctrl/Alt that GetKeyState
// then has.
//   keycheck VANTEREL-KEYS.EXE
// Or, for keys that another program sends (the server's "?FIRE"): the window
// takes the foreground, writes "ready" and waits up to 20 s for the messages
// given, in that form ("down 1D 0 *" ...), then prints what it got.
//   keycheck --expect MESSAGE...
#include "inject/KeyConstads.h"

#include <cstdio>
#include <string>
#include <vector>
#include <windows.h>

namespace {

std::vector<std::string> got;

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

LRESULT CALLBACK windowProc(HWND hwnd, UINT type, WPARAM wParam, LPARAM lParam)
{
    const bool down = type == WM_KEYDOWN || type == WM_SYSKEYDOWN;
    if (!down && type != WM_KEYUP && type != WM_SYSKEYUP)
        return DefWindowProcW(hwnd, type, wParam, lParam);
    const auto held = [](int left, int right) { return GetKeyState(left) < 0 || GetKeyState(right) < 0; };
    got.push_back(message(down, int(lParam >> 16 & 0xFF) + (lParam >> 24 & 1 ? 128 : 0),
                          held(VK_LSHIFT, VK_RSHIFT) | held(VK_LCONTROL, VK_RCONTROL) << 1
                              | held(VK_LMENU, VK_RMENU) << 2));
    return 0; // never DefWindowProc: Alt or F10 would open the menu, Alt+F4 close the window
}

HWND makeTarget()
{
    WNDCLASSW windowClass{};
    windowClass.lpfnWndProc = windowProc;
    windowClass.hInstance = GetModuleHandleW(nullptr);
    windowClass.lpszClassName = L"VanterelKeyTarget";
    RegisterClassW(&windowClass);
    return CreateWindowExW(0, windowClass.lpszClassName, L"Vanterel key target",
                           WS_OVERLAPPEDWINDOW | WS_VISIBLE, 0, 0, 240, 120, nullptr, nullptr,
                           windowClass.hInstance, nullptr);
}

// Every message expected, or none for the given time.
void receive(std::size_t count, DWORD timeout)
{
    while (got.size() < count
           && MsgWaitForMultipleObjects(0, nullptr, FALSE, timeout, QS_ALLINPUT) == WAIT_OBJECT_0)
        for (MSG m; PeekMessageW(&m, nullptr, 0, 0, PM_REMOVE);)
            DispatchMessageW(&m);
}

int expectFromOutside(int count, char **messages)
{
    const HWND hwnd = makeTarget();
    if (!hwnd)
        return 1;
    SetForegroundWindow(hwnd);
    std::printf("ready\n");
    std::fflush(stdout);
    receive(std::size_t(count), 20000);
    bool same = got.size() == std::size_t(count);
    for (int i = 0; i < count || std::size_t(i) < got.size(); ++i) {
        const std::string want = i < count ? messages[i] : "-";
        const std::string have = std::size_t(i) < got.size() ? got[std::size_t(i)] : "-";
        same = same && want == have;
        std::printf("  [%s]%s\n", have.c_str(), want == have ? "" : (" expected [" + want + "]").c_str());
    }
    std::printf("keycheck: %s\n", same ? "the keys as expected" : "NOT the keys expected");
    return same ? 0 : 1;
}
} // namespace

int main(int argc, char **argv)
{
    if (argc > 1 && std::string(argv[1]) == "--expect")
        return expectFromOutside(argc - 2, argv + 2);
    // Every named key by code (two share a name); Shift, Ctrl, Alt and the key
    // go down once each, in this order, and up in reverse.
    std::string command
        = "\"" + std::string(argc > 1 ? argv[1] : "") + "\" --window \"Vanterel key target\" --hold 5";
    std::vector<const KeyConstads::KeyInfo *> keys;
    std::vector<std::vector<std::string>> expected;
    std::size_t count = 0;
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
        expected.emplace_back();
        for (const int code : downs)
            expected.back().push_back(message(true, code, mask));
        for (auto it = downs.rbegin(); it != downs.rend(); ++it)
            expected.back().push_back(message(false, *it, mask));
        count += expected.back().size();
    }

    const HWND hwnd = makeTarget();
    STARTUPINFOA startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process{};
    DWORD status = 1;
    if (hwnd
        && CreateProcessA(nullptr, command.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr, &startup,
                          &process)) {
        receive(count, 10000);
        WaitForSingleObject(process.hProcess, 120000);
        GetExitCodeProcess(process.hProcess, &status);
    }

    std::size_t at = 0, good = 0;
    for (std::size_t i = 0; i < keys.size(); ++i) {
        std::string want, have;
        for (const std::string &e : expected[i]) {
            want += " [" + e + "]";
            have += " [" + (at < got.size() ? got[at++] : "-") + "]";
        }
        good += want == have;
        std::printf("%5d %-13s mask %zu  %s\n", int(keys[i]->code), keys[i]->name, i % 8,
                    want == have ? "ok" : ("expected" + want + ", got" + have).c_str());
    }
    for (std::size_t i = at; i < got.size(); ++i)
        std::printf("      unexpected: [%s]\n", got[i].c_str());
    std::printf("keycheck: %zu of %zu keys as expected; vanterel-keys exited with %lu\n", good, keys.size(),
                status);
    return status == 0 && good == keys.size() && at == got.size() ? 0 : 1;
}
