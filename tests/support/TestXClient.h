#pragma once

// A small X client of the tests' own, on the private X server: it makes
// titled top-level windows, gives them the focus and reads the key events
// they receive. Xlib stays in the .cpp, as everywhere in the program.

#include <QByteArray>
#include <QList>
#include <QString>

struct _XDisplay;

namespace vanterel::inject::test {

class TestXClient {
public:
    explicit TestXClient(const QByteArray &displayName);
    ~TestXClient();
    TestXClient(const TestXClient &) = delete;
    TestXClient &operator=(const TestXClient &) = delete;

    bool isOpen() const { return m_display != nullptr; }

    // A mapped top-level window selected for key events; returns once it is
    // mapped. wmName goes into WM_NAME as Latin-1 text, netWmName into
    // _NET_WM_NAME as UTF-8; a null array leaves the property unset.
    quint64 createWindow(const QByteArray &wmName, const QByteArray &netWmName = {});
    void destroyWindow(quint64 window);
    // Destroys every window made so far and drops the events still queued.
    void destroyWindows();

    void focus(quint64 window);
    quint64 focusedWindow();

    // Acts as an EWMH window manager would: lists the managed windows on the root.
    void setClientList(const QList<quint64> &windows);
    void removeClientList();

    struct KeyEvent {
        quint64 window;
        QString text; // "down 38 Ctrl": X key code and the modifiers held before
        quint64 time; // the X server's time of the event, in milliseconds
    };
    // The next count key events, or fewer when none came for timeoutMs.
    QList<KeyEvent> keyEvents(int count, int timeoutMs = 5000);

private:
    _XDisplay *m_display;
    QList<quint64> m_windows;
};

} // namespace vanterel::inject::test
