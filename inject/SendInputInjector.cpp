// Key presses through SendInput on Windows, as scan codes: the target reads
// the keyboard by scan code, so virtual-key codes would be translated back
// through the keyboard layout and could land on another key.
#include "inject/Backends.h"
#include "inject/StrokePlayer.h"

#include <QString>

#include <string>

#include <windows.h>
// windows.h renames FindWindow to FindWindowA/W; our method keeps its name.
#undef FindWindow

namespace vanterel::inject {

namespace {

HWND toHwnd(WindowHandle window) { return reinterpret_cast<HWND>(static_cast<quintptr>(window)); }

class SendInputKeySink final : public KeySink {
public:
    bool keyDown(const KeyConstads::KeyInfo &key) override { return send(key, false); }
    bool keyUp(const KeyConstads::KeyInfo &key) override { return send(key, true); }
    bool flush() override { return true; } // SendInput hands each event over at once

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
    static bool send(const KeyConstads::KeyInfo &key, bool up)
    {
        // Codes of 128 and more are the keys that send the E0 prefix, with
        // 128 added; the scan code proper is the code less 128.
        const bool extended = key.code >= 128;
        INPUT input{};
        input.type = INPUT_KEYBOARD;
        input.ki.wScan = static_cast<WORD>(extended ? key.code - 128 : key.code);
        DWORD flags = KEYEVENTF_SCANCODE;
        if (extended)
            flags |= KEYEVENTF_EXTENDEDKEY;
        if (up)
            flags |= KEYEVENTF_KEYUP;
        input.ki.dwFlags = flags;
        return SendInput(1, &input, sizeof(INPUT)) == 1;
    }
};

struct WindowSearch {
    QString title;
    HWND found = nullptr;
};

BOOL CALLBACK matchTitle(HWND hwnd, LPARAM param)
{
    auto *search = reinterpret_cast<WindowSearch *>(param);
    // The length may be over-estimated, never under: a buffer of it fits.
    const int length = GetWindowTextLengthW(hwnd);
    std::wstring text(static_cast<size_t>(length) + 1, L'\0');
    const int copied = GetWindowTextW(hwnd, text.data(), length + 1);
    text.resize(static_cast<size_t>(copied));
    if (QString::fromStdWString(text).compare(search->title, Qt::CaseInsensitive) != 0)
        return TRUE;
    search->found = hwnd;
    return FALSE; // stop: first match in Z order, as FindWindow itself answers
}

class SendInputInjector final : public StrokeInjector {
public:
    explicit SendInputInjector(std::chrono::milliseconds hold)
        : StrokeInjector(QStringLiteral("SendInput"), std::make_unique<SendInputKeySink>(), hold)
    {
    }

    // Top-level windows through EnumWindows rather than FindWindowA, so that
    // titles outside the 8-bit code page compare too.
    WindowHandle FindWindow(const QString &title) override
    {
        if (title.isEmpty())
            return 0;
        WindowSearch search{title};
        EnumWindows(matchTitle, reinterpret_cast<LPARAM>(&search));
        return static_cast<WindowHandle>(reinterpret_cast<quintptr>(search.found));
    }
};

} // namespace

InjectorChoice CreateSendInputInjector(std::chrono::milliseconds hold)
{
    return {std::make_unique<SendInputInjector>(hold),
            QStringLiteral("Key presses through SendInput")};
}

} // namespace vanterel::inject
