#pragma once

#include "inject/Injector.h"
#include "inject/KeySink.h"
#include "inject/StrokePlayer.h"

#include <chrono>
#include <functional>
#include <memory>
#include <string>

// Constructors of the single backends, for the factory and for tests that want
// one backend whatever the machine offers. Each returns the injector with the
// event-log line that names it, or a null injector with the reason it cannot
// be used (a phrase such as "no X display (DISPLAY is not set)"), which the
// factory joins into its "No key presses: ..." line. A backend left out of the
// build says so as its reason.
namespace vanterel::inject {

// XTest on the named X display; an empty name means the display of $DISPLAY.
InjectorChoice CreateXTestInjector(const std::string &displayName,
                                   std::chrono::milliseconds hold = DefaultHold);

// A virtual keyboard through /dev/uinput. It has no window look-up: FindWindow
// gives 0 and the keys go to whatever has the focus.
InjectorChoice CreateUinputInjector(std::chrono::milliseconds hold = DefaultHold);

// SendInput; only Windows builds have it.
InjectorChoice CreateSendInputInjector(std::chrono::milliseconds hold = DefaultHold);

// The uinput backend's key sink over an event writer of the caller's, so that
// the event stream can be checked without a device. The writer gets
// (type, code, value) as for libevdev_uinput_write_event and says whether it
// worked. The sink takes no keys until settle has passed since its creation.
// Only in builds with the uinput backend.
using InputEventWriter = std::function<bool(std::uint16_t type, std::uint16_t code, std::int32_t value)>;
std::unique_ptr<KeySink> CreateUinputKeySink(InputEventWriter write, std::chrono::milliseconds settle);

} // namespace vanterel::inject
