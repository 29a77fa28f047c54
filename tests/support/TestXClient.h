#pragma once

// A small X client of the tests' own, for the private X server: titled
// windows that read the key events they get. Xlib stays in the .cpp.

#include <QByteArray>
#include <QList>
#include <QString>

struct _XDisplay;

namespace vanterel::inject::test {

class TestXClient {
public:
    explicit TestXClient(const QByteArray &displayName);
    ~TestXClient();
    Q_DISABLE_COPY(TestXClient)

    bool isOpen() const { return m_display != nullptr; }
    // A mapped top-level window with WM_NAME (Latin-1) and _NET_WM_NAME (UTF-8)
    // where they are not null, or 0.
    quint64 createWindow(const QByteArray &wmName, const QByteArray &netWmName = {});
    void destroyWindow(quint64 window); // 0: every window made so far, and their events queued
    void focus(quint64 window);
    void setClientList(const QList<quint64> &windows); // as an EWMH window manager would

    struct KeyEvent {
        quint64 window;
        QString text; // "down 38 Ctrl": X key code and the modifiers held before
        quint64 time; // the X server's, in milliseconds
    };
    // The next count key events, or fewer when none came for timeoutMs.
    QList<KeyEvent> keyEvents(int count, int timeoutMs = 5000);

private:
    _XDisplay *m_display;
    QList<quint64> m_windows;
};

} // namespace vanterel::inject::test
