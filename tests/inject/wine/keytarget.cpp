// The window the Windows key check presses keys into. Records every key
// message as "down|up SCAN EXTENDED MODIFIERS" (hexadecimal scan code from
// lParam bits 16-23, bit 24, then 1 Shift + 2 Ctrl + 4 Alt as GetKeyState
// has them for that message) to the file named first; signals the event
// named second once it has the focus. WM_APP makes it write "end" and quit
// once the key messages queued before it are recorded.
#include <cstdio>

#include <windows.h>

namespace {

FILE *record = nullptr;
bool ending = false;

void endOnceDrained(HWND hwnd)
{
    if (ending && HIWORD(GetQueueStatus(QS_INPUT)) == 0) {
        std::fputs("end\n", record);
        std::fclose(record);
        DestroyWindow(hwnd);
    }
}

LRESULT CALLBACK windowProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam)
{
    switch (message) {
    case WM_KEYDOWN:
    case WM_SYSKEYDOWN:
    case WM_KEYUP:
    case WM_SYSKEYUP: {
        const bool down = message == WM_KEYDOWN || message == WM_SYSKEYDOWN;
        // Each side asked for itself: a modifier is down while either of
        // its keys is.
        const auto isDown = [](int left, int right) { return GetKeyState(left) < 0 || GetKeyState(right) < 0; };
        const int modifiers = (isDown(VK_LSHIFT, VK_RSHIFT) ? 1 : 0) | (isDown(VK_LCONTROL, VK_RCONTROL) ? 2 : 0)
                              | (isDown(VK_LMENU, VK_RMENU) ? 4 : 0);
        const auto bits = static_cast<unsigned long>(lParam);
        std::fprintf(record, "%s %lX %lu %d\n", down ? "down" : "up", (bits >> 16) & 0xFF, (bits >> 24) & 1,
                     modifiers);
        endOnceDrained(hwnd);
        // Never to DefWindowProc: Alt or F10 would start the menu loop,
        // Alt+F4 close the window, Alt+Space open the system menu.
        return 0;
    }
    case WM_APP:
        ending = true;
        endOnceDrained(hwnd);
        return 0;
    case WM_DESTROY:
        PostQuitMessage(0);
        return 0;
    default:
        return DefWindowProcW(hwnd, message, wParam, lParam);
    }
}

} // namespace

int main(int argc, char **argv)
{
    if (argc != 3 || !(record = std::fopen(argv[1], "w")))
        return 2;
    WNDCLASSW windowClass{};
    windowClass.lpfnWndProc = windowProc;
    windowClass.hInstance = GetModuleHandleW(nullptr);
    windowClass.lpszClassName = L"VanterelKeyTarget";
    RegisterClassW(&windowClass);
    const HWND hwnd = CreateWindowExW(0, windowClass.lpszClassName, L"Vanterel key target",
                                      WS_OVERLAPPEDWINDOW | WS_VISIBLE, 0, 0, 240, 120, nullptr, nullptr,
                                      windowClass.hInstance, nullptr);
    if (!hwnd)
        return 2;
    SetForegroundWindow(hwnd);
    SetFocus(hwnd);
    const HANDLE ready = OpenEventA(EVENT_MODIFY_STATE, FALSE, argv[2]);
    if (!ready || !SetEvent(ready))
        return 2;
    MSG message;
    while (GetMessageW(&message, nullptr, 0, 0) > 0)
        DispatchMessageW(&message);
    return 0;
}
