// Key presses through the XTEST extension of the X server, and the window
// look-up through the EWMH client list. Our headers come first: Xlib defines
// macros (None, Bool, Status, KeyPress) that clash with ordinary names.
#include "inject/Backends.h"
#include "inject/StrokePlayer.h"

#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <X11/extensions/XTest.h>
#include <cstdlib>
#include <cwctype>
#include <locale.h>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

namespace vanterel::inject {

namespace {

// Xlib reports protocol errors through one handler per process, and its
// default handler ends the process. A window can close between its look-up
// and its activation, so our connections must survive BadWindow and BadMatch:
// errors on our displays are noted here and read back after an XSync; errors
// on anyone else's display go on to the handler that was there before.
std::mutex trapMutex;
std::map<Display *, int> trappedErrors; // our displays -> first error code since last read
XErrorHandler previousHandler = nullptr;

int trapError(Display *display, XErrorEvent *event)
{
    {
        std::lock_guard lock(trapMutex);
        const auto it = trappedErrors.find(display);
        if (it != trappedErrors.end()) {
            if (it->second == Success)
                it->second = event->error_code;
            return 0;
        }
    }
    return previousHandler ? previousHandler(display, event) : 0;
}

void installErrorTrap()
{
    static std::once_flag once;
    std::call_once(once, [] { previousHandler = XSetErrorHandler(trapError); });
}

// Waits for the server to have handled every request sent so far and says
// whether one of them failed since the last call.
bool syncWithoutError(Display *display)
{
    XSync(display, False);
    std::lock_guard lock(trapMutex);
    return std::exchange(trappedErrors[display], Success) == Success;
}

struct DisplayCloser {
    void operator()(Display *display) const
    {
        {
            std::lock_guard lock(trapMutex);
            trappedErrors.erase(display);
        }
        XCloseDisplay(display);
    }
};
using DisplayPtr = std::unique_ptr<Display, DisplayCloser>;

DisplayPtr openDisplay(const std::string &name)
{
    Display *display = XOpenDisplay(name.empty() ? nullptr : name.c_str());
    if (display) {
        std::lock_guard lock(trapMutex);
        trappedErrors[display] = Success;
    }
    return DisplayPtr(display);
}

struct XFreer {
    void operator()(unsigned char *data) const { XFree(data); }
};

// A window property as the server holds it: its type, its format (bits an
// item: 8, 16 or 32) and its items. No data when the window has no such
// property or the request failed.
struct Property {
    Atom type = 0;
    int format = 0;
    unsigned long count = 0;
    std::unique_ptr<unsigned char, XFreer> data;
};

// At most maxItems 32-bit units of the property, from its start, of the
// wanted type (a property of another type comes with its type but no items).
Property readProperty(Display *display, Window window, Atom name, long maxItems, Atom wantedType)
{
    Property property;
    unsigned long remaining = 0;
    unsigned char *data = nullptr;
    if (XGetWindowProperty(display, window, name, 0, maxItems, False, wantedType, &property.type,
                           &property.format, &property.count, &remaining, &data)
        != Success)
        return {};
    property.data.reset(data);
    return property;
}

// Titles are compared as text, without regard to case: decoded to code
// points, each lowered by the C library's Unicode tables.
std::u32string decodeUtf8(std::string_view bytes)
{
    std::u32string text;
    for (std::size_t i = 0; i < bytes.size();) {
        const auto lead = static_cast<unsigned char>(bytes[i]);
        const int length = lead < 0x80 ? 1 : lead >= 0xF0 ? 4 : lead >= 0xE0 ? 3 : lead >= 0xC0 ? 2 : 0;
        char32_t c = length == 1 ? lead : lead & (0x7F >> length);
        bool valid = length != 0 && i + static_cast<std::size_t>(length) <= bytes.size();
        for (int k = 1; valid && k < length; ++k) {
            const auto next = static_cast<unsigned char>(bytes[i + static_cast<std::size_t>(k)]);
            valid = (next & 0xC0) == 0x80;
            c = (c << 6) | (next & 0x3F);
        }
        text += valid ? c : U'\uFFFD';
        i += valid ? static_cast<std::size_t>(length) : 1;
    }
    return text;
}

std::u32string latin1(std::string_view bytes)
{
    std::u32string text;
    for (const char byte : bytes)
        text += static_cast<char32_t>(static_cast<unsigned char>(byte));
    return text;
}

std::u32string folded(std::u32string text)
{
    static const locale_t utf8 = newlocale(LC_CTYPE_MASK, "C.UTF-8", nullptr);
    for (char32_t &c : text)
        c = static_cast<char32_t>(utf8 ? towlower_l(static_cast<wint_t>(c), utf8)
                                       : std::towlower(static_cast<wint_t>(c)));
    return text;
}

// Keys through XTEST, on a connection of their own (the look-up has another).
// Transitions are buffered by Xlib and leave with send(); flush() waits for
// the server to have taken them.
class XTestKeySink final : public KeySink {
public:
    explicit XTestKeySink(DisplayPtr display)
        : m_display(std::move(display))
        , m_activeWindow(XInternAtom(m_display.get(), "_NET_ACTIVE_WINDOW", False))
    {
    }

    bool keyDown(const KeyConstads::KeyInfo &key) override { return fake(key, True); }
    bool keyUp(const KeyConstads::KeyInfo &key) override { return fake(key, False); }
    bool send() override { return XFlush(m_display.get()) != 0; }
    bool flush() override { return syncWithoutError(m_display.get()); }

    bool activate(WindowHandle handle) override
    {
        Display *display = m_display.get();
        const auto window = static_cast<Window>(handle);

        // Ask the window manager first, as a pager would (source 2): managers
        // honour that over their focus-stealing prevention, and it also brings
        // back a minimised window. Raise and focus ourselves as well, for
        // desktops without a manager and for the keys that follow at once.
        XEvent event{};
        event.xclient.type = ClientMessage;
        event.xclient.window = window;
        event.xclient.message_type = m_activeWindow;
        event.xclient.format = 32;
        event.xclient.data.l[0] = 2;
        event.xclient.data.l[1] = CurrentTime;
        XSendEvent(display, DefaultRootWindow(display), False,
                   SubstructureRedirectMask | SubstructureNotifyMask, &event);
        XRaiseWindow(display, window);
        XSetInputFocus(display, window, RevertToParent, CurrentTime);
        return syncWithoutError(display);
    }

private:
    bool fake(const KeyConstads::KeyInfo &key, Bool down) const
    {
        const unsigned keycode = key.linuxCode + KeyConstads::XKeycodeOffset;
        return XTestFakeKeyEvent(m_display.get(), keycode, down, CurrentTime) != 0;
    }

    DisplayPtr m_display;
    const Atom m_activeWindow;
};

class XTestInjector final : public StrokeInjector {
public:
    XTestInjector(DisplayPtr lookUp, DisplayPtr keys, std::chrono::milliseconds hold)
        : StrokeInjector("XTest", std::make_unique<XTestKeySink>(std::move(keys)), hold)
        , m_display(std::move(lookUp))
        , m_clientList(XInternAtom(m_display.get(), "_NET_CLIENT_LIST", False))
        , m_wmName(XInternAtom(m_display.get(), "_NET_WM_NAME", False))
        , m_utf8(XInternAtom(m_display.get(), "UTF8_STRING", False))
    {
    }

    WindowHandle FindWindow(const std::string &title) override
    {
        // An empty title would match any untitled window: it names none.
        if (title.empty())
            return 0;
        const std::u32string wanted = folded(decodeUtf8(title));
        std::lock_guard lock(m_mutex);
        std::vector<Window> windows = clientList();
        if (windows.empty())
            windows = treeTopLevels();
        WindowHandle found = 0;
        for (const Window window : windows) {
            if (folded(titleOf(window)) == wanted) {
                found = window;
                break;
            }
        }
        // A window may have closed while we read its title; drop its error.
        syncWithoutError(m_display.get());
        return found;
    }

private:
    // The managed top-level windows, as an EWMH window manager lists them.
    std::vector<Window> clientList()
    {
        const Property list = readProperty(m_display.get(), DefaultRootWindow(m_display.get()), m_clientList,
                                           16384, XA_WINDOW);
        if (!list.data || list.type != XA_WINDOW || list.format != 32)
            return {};
        // Format-32 data comes as an array of long, whatever its size.
        const auto *ids = reinterpret_cast<const unsigned long *>(list.data.get());
        return std::vector<Window>(ids, ids + list.count);
    }

    // Without an EWMH manager: the children of the root, topmost first, each
    // followed by its own children, which is where a reparenting manager
    // keeps the application's window inside its frame.
    std::vector<Window> treeTopLevels()
    {
        std::vector<Window> windows;
        const std::vector<Window> frames = childrenTopmostFirst(DefaultRootWindow(m_display.get()));
        for (const Window frame : frames) {
            windows.push_back(frame);
            const std::vector<Window> children = childrenTopmostFirst(frame);
            windows.insert(windows.end(), children.begin(), children.end());
        }
        return windows;
    }

    std::vector<Window> childrenTopmostFirst(Window parent)
    {
        std::vector<Window> windows;
        Window root = 0;
        Window parentOfParent = 0;
        Window *children = nullptr;
        unsigned count = 0;
        if (XQueryTree(m_display.get(), parent, &root, &parentOfParent, &children, &count)) {
            for (unsigned i = count; i > 0; --i) // the server lists bottom first
                windows.push_back(children[i - 1]);
            if (children)
                XFree(children);
        }
        return windows;
    }

    // The title: _NET_WM_NAME (UTF-8) where the client set it, else WM_NAME.
    std::u32string titleOf(Window window)
    {
        const Property name = readProperty(m_display.get(), window, m_wmName, 1024, m_utf8);
        if (name.data && name.type == m_utf8 && name.format == 8)
            return decodeUtf8({reinterpret_cast<const char *>(name.data.get()), name.count});

        XTextProperty text{};
        if (!XGetWMName(m_display.get(), window, &text) || !text.value)
            return {};
        const std::string_view bytes(reinterpret_cast<const char *>(text.value), text.nitems);
        std::u32string title;
        if (text.encoding == m_utf8) {
            title = decodeUtf8(bytes);
        } else if (text.encoding == XA_STRING || text.format != 8) {
            title = latin1(bytes);
        } else {
            // COMPOUND_TEXT and the like: let Xlib convert.
            char **list = nullptr;
            int pieces = 0;
            if (Xutf8TextPropertyToTextList(m_display.get(), &text, &list, &pieces) >= Success && list) {
                for (int i = 0; i < pieces; ++i)
                    title += decodeUtf8(list[i]);
                XFreeStringList(list);
            } else {
                title = latin1(bytes);
            }
        }
        XFree(text.value);
        return title;
    }

    std::mutex m_mutex; // FindWindow may come from more than one thread
    DisplayPtr m_display;
    const Atom m_clientList;
    const Atom m_wmName;
    const Atom m_utf8;
};

} // namespace

InjectorChoice CreateXTestInjector(const std::string &displayName, std::chrono::milliseconds hold)
{
    const char *environment = std::getenv("DISPLAY");
    if (displayName.empty() && (!environment || !*environment))
        return {nullptr, "no X display (DISPLAY is not set)"};
    const std::string shownName = displayName.empty() ? environment : displayName;

    // A tap's first keys leave from the caller's thread while the player's
    // thread may be waiting for a reply on the same connection: Xlib must
    // lock its connections. Current Xlib does so by itself; older ones need
    // this before any other call (the program's toolkit makes it first).
    XInitThreads();
    installErrorTrap();
    // One connection for the look-up on the caller's thread and one for the
    // keys: a look-up never waits behind a stroke.
    DisplayPtr lookUp = openDisplay(displayName);
    DisplayPtr keys;
    if (lookUp)
        keys = openDisplay(displayName);
    if (!lookUp || !keys)
        return {nullptr, "no X display (cannot connect to " + shownName + ")"};

    int eventBase = 0;
    int errorBase = 0;
    int major = 0;
    int minor = 0;
    if (!XTestQueryExtension(lookUp.get(), &eventBase, &errorBase, &major, &minor))
        return {nullptr, "the X display " + shownName + " has no XTEST extension"};

    std::string line = std::string("Key presses through XTest on display ") + DisplayString(lookUp.get());
    return {std::make_unique<XTestInjector>(std::move(lookUp), std::move(keys), hold), std::move(line)};
}

} // namespace vanterel::inject
