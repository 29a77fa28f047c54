#pragma once

#include "inject/Injector.h"
#include "inject/KeyConstads.h"

namespace vanterel::inject {

// The low-level half of a backend: puts single key transitions on the wire.
// The stroke player calls it on its own thread only, one call at a time, so a
// sink needs no locking of its own. Every call says whether it worked; the
// player decides what to release when one did not.
class KeySink {
public:
    virtual ~KeySink();

    // One key goes down or up. The entry carries both the target's code (what
    // Windows wants as a scan code) and the Linux input code (what X and uinput
    // want): the Japanese keys share Linux codes with US keys, so neither code
    // can be derived from the other.
    virtual bool keyDown(const KeyConstads::KeyInfo &key) = 0;
    virtual bool keyUp(const KeyConstads::KeyInfo &key) = 0;

    // Makes the transitions sent so far take effect before the player goes on
    // (an X round trip, a uinput SYN_REPORT). Called after every transition, so
    // that the hold starts once the key is really down.
    virtual bool flush() = 0;

    // Brings a window to the front and gives it the keyboard focus.
    virtual bool activate(WindowHandle window) = 0;

    // Called before every stroke; returns once the sink can take keys (a new
    // virtual keyboard is not seen by its readers at once).
    virtual void waitUntilReady() {}
};

} // namespace vanterel::inject
