#pragma once

#include <QString>
#include <QtGlobal>

#include <memory>

namespace vanterel::inject {

// A top-level window of the desktop; 0 means "no window".
using WindowHandle = quint64;

// Delivers key strokes to the desktop. Speaks only in the target application's
// key codes (PC scan codes, 128 added for the extended set) and modifier flags;
// knows nothing of HTTP or configuration. Every backend shuts down in its
// destructor, so that no key of ours stays down when the injector goes.
class Injector {
public:
    virtual ~Injector();

    // Short name of the backend for the event log ("XTest", "uinput", ...).
    virtual QString name() const = 0;

    // Queues one stroke and returns at once: the flagged modifiers go down, the
    // key goes down, is held, comes up, the modifiers come up. Flags are true
    // when non-zero (callers pass -1 or 0). Strokes play in call order. With a
    // window given it is brought to the front first; with 0 the keys go to
    // whichever window has the focus.
    virtual void PressCombo(qint32 keyCode, qint32 alt, qint32 ctrl, qint32 shift,
                            WindowHandle window) = 0;

    // A top-level window whose title equals the given one without regard to
    // case, or 0 when there is none (an empty title names none). Blocks for a
    // few round trips to the window system, never for a stroke.
    virtual WindowHandle FindWindow(const QString &title) = 0;

    // Plays or releases whatever is still queued and returns once no key or
    // modifier of ours is down. Called at shut-down; later calls do nothing.
    virtual void shutdown() = 0;
};

// What the factory chose, with the event-log line that says so (or says why
// nothing could be used; then injector is null and key presses are dropped).
struct InjectorChoice {
    std::unique_ptr<Injector> injector;
    QString logLine;
};

// Picks the backend for this machine: XTest when an X display is reachable,
// uinput when /dev/uinput is writable, SendInput on Windows. The single
// backends can be made directly through inject/Backends.h.
InjectorChoice CreateInjector();

} // namespace vanterel::inject
