// Key presses through SendInput on Windows, as scan codes: the target reads
// the keyboard by scan code, so virtual-key codes would be translated back
// through the keyboard layout and could land on another key.
#include "inject/Backends.h"
#include "inject/StrokePlayer.h"

#include <cstdint>
#include <string>
#include <windows.h>
// windows.h renames FindWindow to FindWindowA/W; our method keeps its name.
#undef FindWindow

namespace vanterel::inject {

namespace {

HWND toHwnd(WindowHandle window)
{
    return reinterpret_cast<HWND>(static_cast<std::uintptr_t>(window));
}

class SendInputKeySink final : public KeySink {
public:
    bool keyDown(const KeyConstads::KeyInfo &key) override { return sendKey(key, false); }
    bool keyUp(const KeyConstads::KeyInfo &key) override { return sendKey(key, true); }
    // SendInput hands each event to the system before it returns, and says
    // whether it could: nothing is buffered, nothing is left to wait for.
    bool send() override { return true; }
    bool flush() override { return true; }

    bool activate(WindowHandle window) override
    {
        const HWND hwnd = toHwnd(window);
        if (!IsWindow(hwnd))
            return false;
        if (IsIconic(hwnd))
            ShowWindow(hwnd, SW_RESTORE);
        return SetForegroundWindow(hwnd) != 0;
    }

private:
    static bool sendKey(const KeyConstads::KeyInfo &key, bool up)
    {
        // Codes of 128 and more are the keys that send the E0 prefix, with
        // 128 added; the scan code proper is the code less 128.
        const bool extended = key.code >= 128;
        const UINT scan = static_cast<UINT>(extended ? key.code - 128 : key.code);
        INPUT input{};
        input.type = INPUT_KEYBOARD;
        input.ki.wScan = static_cast<WORD>(scan);
        // Windows ignores the virtual key of a scan-code event and derives
        // it from the scan code; Wine takes it as given and, when it is 0,
        // leaves the key state alone, so that GetKeyState never sees Shift,
        // Ctrl or Alt go down. The layout's own mapping serves both.
        input.ki.wVk = static_cast<WORD>(MapVirtualKeyW(extended ? 0xE000 | scan : scan, MAPVK_VSC_TO_VK_EX));
        DWORD flags = KEYEVENTF_SCANCODE;
        if (extended)
            flags |= KEYEVENTF_EXTENDEDKEY;
        if (up)
            flags |= KEYEVENTF_KEYUP;
        input.ki.dwFlags = flags;
        return SendInput(1, &input, sizeof(INPUT)) == 1;
    }
};

std::wstring wide(const std::string &utf8)
{
    const int length
        = MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), nullptr, 0);
    std::wstring text(static_cast<std::size_t>(length), L'\0');
    MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), text.data(), length);
    return text;
}

struct WindowSearch {
    std::wstring title;
    HWND found = nullptr;
};

BOOL CALLBACK matchTitle(HWND hwnd, LPARAM param)
{
    auto *search = reinterpret_cast<WindowSearch *>(param);
    // The length may be over-estimated, never under: a buffer of it fits.
    const int length = GetWindowTextLengthW(hwnd);
    std::wstring text(static_cast<std::size_t>(length) + 1, L'\0');
    const int copied = GetWindowTextW(hwnd, text.data(), length + 1);
    if (CompareStringOrdinal(text.data(), copied, search->title.data(),
                             static_cast<int>(search->title.size()), TRUE)
        != CSTR_EQUAL)
        return TRUE;
    search->found = hwnd;
    return FALSE; // stop: first match in Z order, as FindWindow itself answers
}

class SendInputInjector final : public StrokeInjector {
public:
    explicit SendInputInjector(std::chrono::milliseconds hold)
        : StrokeInjector("SendInput", std::make_unique<SendInputKeySink>(), hold)
    {
    }

    // Top-level windows through EnumWindows rather than FindWindowA, so that
    // titles outside the 8-bit code page compare too.
    WindowHandle FindWindow(const std::string &title) override
    {
        if (title.empty())
            return 0;
        WindowSearch search{wide(title)};
        EnumWindows(matchTitle, reinterpret_cast<LPARAM>(&search));
        return static_cast<WindowHandle>(reinterpret_cast<std::uintptr_t>(search.found));
    }
};

} // namespace

InjectorChoice CreateSendInputInjector(std::chrono::milliseconds hold)
{
    return {std::make_unique<SendInputInjector>(hold), "Key presses through SendInput"};
}

} // namespace vanterel::inject
