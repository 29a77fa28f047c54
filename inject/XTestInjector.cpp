// Key presses through the XTEST extension of the X server, and the window
// look-up through the EWMH client list. Qt headers come first: Xlib defines
// macros (None, Bool, Status, KeyPress) that clash with Qt's names.
#include "inject/Backends.h"
#include "inject/StrokePlayer.h"

#include <QByteArray>
#include <QHash>
#include <QList>
#include <QString>

#include <mutex>
#include <utility>

#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <X11/extensions/XTest.h>

namespace vanterel::inject {

namespace {

// Xlib reports protocol errors through one handler per process, and its
// default handler ends the process. A window can close between its look-up
// and its activation, so our connections must survive BadWindow and BadMatch:
// errors on our displays are noted here and read back after an XSync; errors
// on anyone else's display go on to the handler that was there before.
std::mutex trapMutex;
QHash<Display *, int> trappedErrors; // our displays -> first error code since last read
XErrorHandler previousHandler = nullptr;

int trapError(Display *display, XErrorEvent *event)
{
    {
        std::lock_guard lock(trapMutex);
        const auto it = trappedErrors.find(display);
        if (it != trappedErrors.end()) {
            if (*it == Success)
                *it = event->error_code;
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
            trappedErrors.remove(display);
        }
        XCloseDisplay(display);
    }
};
using DisplayPtr = std::unique_ptr<Display, DisplayCloser>;

DisplayPtr openDisplay(const QByteArray &name)
{
    Display *display = XOpenDisplay(name.isEmpty() ? nullptr : name.constData());
    if (display) {
        std::lock_guard lock(trapMutex);
        trappedErrors.insert(display, Success);
    }
    return DisplayPtr(display);
}

// Keys through XTEST. Lives on the player's thread; its connection is its own
// (the look-up has another), so no Xlib connection is ever shared between
// threads.
class XTestKeySink final : public KeySink {
public:
    explicit XTestKeySink(DisplayPtr display)
        : m_display(std::move(display)),
          m_activeWindow(XInternAtom(m_display.get(), "_NET_ACTIVE_WINDOW", False))
    {
    }

    bool keyDown(const KeyConstads::KeyInfo &key) override { return fake(key, True); }
    bool keyUp(const KeyConstads::KeyInfo &key) override { return fake(key, False); }
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
    bool fake(const KeyConstads::KeyInfo &key, Bool down)
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
        : StrokeInjector(QStringLiteral("XTest"), std::make_unique<XTestKeySink>(std::move(keys)),
                         hold),
          m_display(std::move(lookUp)),
          m_clientList(XInternAtom(m_display.get(), "_NET_CLIENT_LIST", False)),
          m_wmName(XInternAtom(m_display.get(), "_NET_WM_NAME", False)),
          m_utf8(XInternAtom(m_display.get(), "UTF8_STRING", False))
    {
    }

    WindowHandle FindWindow(const QString &title) override
    {
        // An empty title would match any untitled window: it names none.
        if (title.isEmpty())
            return 0;
        std::lock_guard lock(m_mutex);
        QList<Window> windows = clientList();
        if (windows.isEmpty())
            windows = treeTopLevels();
        WindowHandle found = 0;
        for (const Window window : std::as_const(windows)) {
            if (titleOf(window).compare(title, Qt::CaseInsensitive) == 0) {
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
    QList<Window> clientList()
    {
        QList<Window> windows;
        Atom type = 0;
        int format = 0;
        unsigned long count = 0;
        unsigned long remaining = 0;
        unsigned char *data = nullptr;
        if (XGetWindowProperty(m_display.get(), DefaultRootWindow(m_display.get()), m_clientList,
                               0, 16384, False, XA_WINDOW, &type, &format, &count, &remaining,
                               &data) == Success
            && data) {
            if (type == XA_WINDOW && format == 32) {
                // Format-32 data comes as an array of long, whatever its size.
                const auto *ids = reinterpret_cast<const unsigned long *>(data);
                for (unsigned long i = 0; i < count; ++i)
                    windows.append(ids[i]);
            }
            XFree(data);
        }
        return windows;
    }

    // Without an EWMH manager: the children of the root, topmost first, each
    // followed by its own children, which is where a reparenting manager
    // keeps the application's window inside its frame.
    QList<Window> treeTopLevels()
    {
        QList<Window> windows;
        const QList<Window> frames = childrenTopmostFirst(DefaultRootWindow(m_display.get()));
        for (const Window frame : frames) {
            windows.append(frame);
            windows.append(childrenTopmostFirst(frame));
        }
        return windows;
    }

    QList<Window> childrenTopmostFirst(Window parent)
    {
        QList<Window> windows;
        Window root = 0;
        Window parentOfParent = 0;
        Window *children = nullptr;
        unsigned count = 0;
        if (XQueryTree(m_display.get(), parent, &root, &parentOfParent, &children, &count)) {
            for (unsigned i = count; i > 0; --i) // the server lists bottom first
                windows.append(children[i - 1]);
            if (children)
                XFree(children);
        }
        return windows;
    }

    // The title: _NET_WM_NAME (UTF-8) where the client set it, else WM_NAME.
    QString titleOf(Window window)
    {
        Atom type = 0;
        int format = 0;
        unsigned long count = 0;
        unsigned long remaining = 0;
        unsigned char *data = nullptr;
        if (XGetWindowProperty(m_display.get(), window, m_wmName, 0, 1024, False, m_utf8, &type,
                               &format, &count, &remaining, &data) == Success
            && data) {
            const bool utf8 = type == m_utf8 && format == 8;
            const QString title = utf8 ? QString::fromUtf8(reinterpret_cast<const char *>(data),
                                                           static_cast<qsizetype>(count))
                                       : QString();
            XFree(data);
            if (utf8)
                return title;
        }

        XTextProperty text{};
        if (!XGetWMName(m_display.get(), window, &text) || !text.value)
            return {};
        const auto *bytes = reinterpret_cast<const char *>(text.value);
        const auto size = static_cast<qsizetype>(text.nitems);
        QString title;
        if (text.encoding == m_utf8) {
            title = QString::fromUtf8(bytes, size);
        } else if (text.encoding == XA_STRING || text.format != 8) {
            title = QString::fromLatin1(bytes, size);
        } else {
            // COMPOUND_TEXT and the like: let Xlib convert.
            char **list = nullptr;
            int pieces = 0;
            if (Xutf8TextPropertyToTextList(m_display.get(), &text, &list, &pieces) >= Success
                && list) {
                for (int i = 0; i < pieces; ++i)
                    title += QString::fromUtf8(list[i]);
                XFreeStringList(list);
            } else {
                title = QString::fromLatin1(bytes, size);
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

InjectorChoice CreateXTestInjector(const QString &displayName, std::chrono::milliseconds hold)
{
    const QByteArray name = displayName.toLocal8Bit();
    if (name.isEmpty() && qEnvironmentVariableIsEmpty("DISPLAY"))
        return {nullptr, QStringLiteral("no X display (DISPLAY is not set)")};
    const QString shownName = name.isEmpty() ? qEnvironmentVariable("DISPLAY") : displayName;

    installErrorTrap();
    // One connection for the look-up on the caller's thread and one for the
    // player's thread: Xlib connections are not to be shared between threads.
    DisplayPtr lookUp = openDisplay(name);
    DisplayPtr keys;
    if (lookUp)
        keys = openDisplay(name);
    if (!lookUp || !keys)
        return {nullptr, QStringLiteral("no X display (cannot connect to %1)").arg(shownName)};

    int eventBase = 0;
    int errorBase = 0;
    int major = 0;
    int minor = 0;
    if (!XTestQueryExtension(lookUp.get(), &eventBase, &errorBase, &major, &minor))
        return {nullptr,
                QStringLiteral("the X display %1 has no XTEST extension").arg(shownName)};

    const QString line = QStringLiteral("Key presses through XTest on display %1")
                             .arg(QString::fromLocal8Bit(DisplayString(lookUp.get())));
    return {std::make_unique<XTestInjector>(std::move(lookUp), std::move(keys), hold), line};
}

} // namespace vanterel::inject
