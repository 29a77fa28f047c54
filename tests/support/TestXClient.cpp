#include "TestXClient.h"

#include <chrono>

#include <poll.h>

#include <X11/Xatom.h>
#include <X11/Xlib.h>

namespace vanterel::inject::test {

namespace {

// The next event, waiting on the connection until the deadline.
bool nextEvent(Display *display, XEvent *event, std::chrono::steady_clock::time_point deadline)
{
    while (XPending(display) == 0) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0)
            return false;
        pollfd fd{ConnectionNumber(display), POLLIN, 0};
        poll(&fd, 1, static_cast<int>(left.count()));
    }
    XNextEvent(display, event);
    return true;
}

Atom atom(Display *display, const char *name) { return XInternAtom(display, name, False); }

void setText(Display *display, Window window, Atom property, Atom type, const QByteArray &text)
{
    XChangeProperty(display, window, property, type, 8, PropModeReplace,
                    reinterpret_cast<const unsigned char *>(text.constData()),
                    static_cast<int>(text.size()));
}

} // namespace

TestXClient::TestXClient(const QByteArray &displayName)
    : m_display(XOpenDisplay(displayName.constData()))
{
}

TestXClient::~TestXClient()
{
    if (m_display) {
        destroyWindows();
        XCloseDisplay(m_display);
    }
}

quint64 TestXClient::createWindow(const QByteArray &wmName, const QByteArray &netWmName)
{
    Display *display = m_display;
    const Window window =
        XCreateSimpleWindow(display, DefaultRootWindow(display), 0, 0, 64, 64, 0, 0, 0);
    m_windows.append(window);
    if (!wmName.isNull())
        setText(display, window, XA_WM_NAME, XA_STRING, wmName);
    if (!netWmName.isNull())
        setText(display, window, atom(display, "_NET_WM_NAME"), atom(display, "UTF8_STRING"),
                netWmName);
    XSelectInput(display, window, KeyPressMask | KeyReleaseMask | StructureNotifyMask);
    XMapWindow(display, window);

    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    XEvent event;
    while (nextEvent(display, &event, deadline))
        if (event.type == MapNotify && event.xmap.window == window)
            return window;
    return 0;
}

void TestXClient::destroyWindow(quint64 window)
{
    XDestroyWindow(m_display, static_cast<Window>(window));
    m_windows.removeOne(window);
    XSync(m_display, False);
}

void TestXClient::destroyWindows()
{
    for (const quint64 window : std::as_const(m_windows))
        XDestroyWindow(m_display, static_cast<Window>(window));
    m_windows.clear();
    XSync(m_display, True); // True: drop what is still queued
}

void TestXClient::focus(quint64 window)
{
    XSetInputFocus(m_display, static_cast<Window>(window), RevertToParent, CurrentTime);
    XSync(m_display, False);
}

quint64 TestXClient::focusedWindow()
{
    Window window = 0;
    int revertTo = 0;
    XGetInputFocus(m_display, &window, &revertTo);
    return window;
}

void TestXClient::setClientList(const QList<quint64> &windows)
{
    QList<unsigned long> ids(windows.begin(), windows.end()); // format 32 travels as long
    XChangeProperty(m_display, DefaultRootWindow(m_display), atom(m_display, "_NET_CLIENT_LIST"),
                    XA_WINDOW, 32, PropModeReplace,
                    reinterpret_cast<const unsigned char *>(ids.constData()),
                    static_cast<int>(ids.size()));
    XSync(m_display, False);
}

void TestXClient::removeClientList()
{
    XDeleteProperty(m_display, DefaultRootWindow(m_display), atom(m_display, "_NET_CLIENT_LIST"));
    XSync(m_display, False);
}

QList<TestXClient::KeyEvent> TestXClient::keyEvents(int count, int timeoutMs)
{
    QList<KeyEvent> events;
    const auto deadline =
        std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    XEvent event;
    while (events.size() < count && nextEvent(m_display, &event, deadline)) {
        if (event.type != KeyPress && event.type != KeyRelease)
            continue;
        QString text = QStringLiteral("%1 %2")
                           .arg(event.type == KeyPress ? QStringLiteral("down")
                                                       : QStringLiteral("up"))
                           .arg(event.xkey.keycode);
        if (event.xkey.state & ShiftMask)
            text += QStringLiteral(" Shift");
        if (event.xkey.state & ControlMask)
            text += QStringLiteral(" Ctrl");
        if (event.xkey.state & Mod1Mask)
            text += QStringLiteral(" Alt");
        events.append(KeyEvent{event.xkey.window, text, event.xkey.time});
    }
    return events;
}

} // namespace vanterel::inject::test
