#include "TestXClient.h"

#include <X11/Xlib.h>
#include <chrono>
#include <poll.h>

namespace vanterel::inject::test {

static void setProperty(Display *display, Window window, const char *name, const char *type, int format,
                        const void *data, qsizetype count)
{
    XChangeProperty(display, window, XInternAtom(display, name, False), XInternAtom(display, type, False),
                    format, PropModeReplace, static_cast<const unsigned char *>(data), int(count));
}

TestXClient::TestXClient(const QByteArray &displayName)
    : m_display(XOpenDisplay(displayName.constData()))
{
}

TestXClient::~TestXClient()
{
    if (!m_display)
        return;
    destroyWindow(0);
    XCloseDisplay(m_display);
}

quint64 TestXClient::createWindow(const QByteArray &wmName, const QByteArray &netWmName)
{
    const Window window = XCreateSimpleWindow(m_display, DefaultRootWindow(m_display), 0, 0, 64, 64, 0, 0, 0);
    m_windows.append(window);
    if (!wmName.isNull())
        setProperty(m_display, window, "WM_NAME", "STRING", 8, wmName.constData(), wmName.size());
    if (!netWmName.isNull())
        setProperty(m_display, window, "_NET_WM_NAME", "UTF8_STRING", 8, netWmName.constData(),
                    netWmName.size());
    XSelectInput(m_display, window, KeyPressMask | KeyReleaseMask);
    XMapWindow(m_display, window);
    XWindowAttributes attributes{}; // without a window manager the server maps it at once
    return XGetWindowAttributes(m_display, window, &attributes) && attributes.map_state == IsViewable ? window
                                                                                                      : 0;
}

void TestXClient::destroyWindow(quint64 window)
{
    for (const quint64 w : window ? QList<quint64>{window} : std::exchange(m_windows, {}))
        XDestroyWindow(m_display, static_cast<Window>(w));
    m_windows.removeOne(window);
    XSync(m_display, window == 0); // all gone: their events still queued go too
}

void TestXClient::focus(quint64 window)
{
    XSetInputFocus(m_display, static_cast<Window>(window), RevertToParent, CurrentTime);
    XSync(m_display, False);
}

void TestXClient::setClientList(const QList<quint64> &windows)
{
    const QList<unsigned long> ids(windows.begin(), windows.end()); // format 32 travels as long
    setProperty(m_display, DefaultRootWindow(m_display), "_NET_CLIENT_LIST", "WINDOW", 32, ids.data(),
                ids.size());
    XSync(m_display, False);
}

QList<TestXClient::KeyEvent> TestXClient::keyEvents(int count, int timeoutMs)
{
    QList<KeyEvent> events;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    for (XEvent event; events.size() < count;) {
        if (XPending(m_display) == 0) {
            const auto left
                = std::chrono::ceil<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
            pollfd readable{ConnectionNumber(m_display), POLLIN, 0};
            if (left.count() <= 0 || poll(&readable, 1, int(left.count())) < 0)
                break;
            continue;
        }
        XNextEvent(m_display, &event);
        if (event.type != KeyPress && event.type != KeyRelease)
            continue;
        QString text
            = QLatin1String(event.type == KeyPress ? "down " : "up ") + QString::number(event.xkey.keycode);
        for (const auto &[mask, name] :
             {std::pair{ShiftMask, " Shift"}, {ControlMask, " Ctrl"}, {Mod1Mask, " Alt"}})
            text += event.xkey.state & mask ? QLatin1String(name) : QLatin1String();
        events.append(KeyEvent{event.xkey.window, text, event.xkey.time});
    }
    return events;
}

} // namespace vanterel::inject::test
