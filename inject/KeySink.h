#pragma once

#include "inject/Injector.h"
#include "inject/KeyConstads.h"

#include <chrono>

namespace vanterel::inject {

// The low-level half of a backend: puts single key transitions on the wire.
// The stroke player makes sure that one thread at a time sends transitions
// (keyDown, keyUp, send); flush() and activate() come from the player's own
// thread only and may overlap another thread's transitions, which the sinks
// allow (Xlib is initialised for threads; the others keep no shared state).
class KeySink {
public:
    virtual ~KeySink();

    // One key goes down or up; false when the transition could not even be
    // handed over. The entry carries both the target's code (what Windows
    // wants as a scan code) and the Linux input code (what X and uinput want):
    // the Japanese keys share Linux codes with US keys, so neither code can be
    // derived from the other.
    virtual bool keyDown(const KeyConstads::KeyInfo &key) = 0;
    virtual bool keyUp(const KeyConstads::KeyInfo &key) = 0;

    // Makes the transitions so far leave now, without waiting for anything
    // (an X flush of the output buffer, a uinput SYN_REPORT). Called after
    // every transition, so that each key is a report of its own.
    virtual bool send() = 0;

    // Waits until what was sent took effect and says whether all of it worked
    // since the last flush (an X round trip that collects errors). Called
    // after each burst of transitions, before a hold starts.
    virtual bool flush() = 0;

    // Brings a window to the front and gives it the keyboard focus.
    virtual bool activate(WindowHandle window) = 0;

    // From when on the sink can take keys (a new virtual keyboard is not seen
    // by its readers at once). Nothing is sent before.
    virtual std::chrono::steady_clock::time_point readyAt() const { return {}; }
};

} // namespace vanterel::inject
