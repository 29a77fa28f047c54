// Picks the one backend the program uses, once, at start-up. Which backends
// exist is decided by the build (VANTEREL_HAVE_* from CMake); which one is
// used, by what the machine offers.
#include "inject/Backends.h"

namespace vanterel::inject {

#ifndef VANTEREL_HAVE_XTEST
InjectorChoice CreateXTestInjector(const std::string &, std::chrono::milliseconds)
{
    return {nullptr, "this build has no XTest support"};
}
#endif

#ifndef VANTEREL_HAVE_UINPUT
InjectorChoice CreateUinputInjector(std::chrono::milliseconds)
{
    return {nullptr, "this build has no uinput support"};
}
#endif

#ifndef VANTEREL_HAVE_SENDINPUT
InjectorChoice CreateSendInputInjector(std::chrono::milliseconds)
{
    return {nullptr, "this build has no SendInput support"};
}
#endif

InjectorChoice CreateInjector(std::chrono::milliseconds hold)
{
#ifdef VANTEREL_HAVE_SENDINPUT
    return CreateSendInputInjector(hold);
#else
    // XTest first: it can also bring the target window to the front. uinput
    // serves where there is no X display (Wayland, the console).
    std::string reasons;
    for (auto create : {+[](std::chrono::milliseconds h) { return CreateXTestInjector({}, h); },
                        +[](std::chrono::milliseconds h) { return CreateUinputInjector(h); }}) {
        InjectorChoice choice = create(hold);
        if (choice.injector)
            return choice;
        reasons += (reasons.empty() ? "" : " and ") + choice.logLine;
    }
    return {nullptr, "No key presses: " + reasons};
#endif
}

} // namespace vanterel::inject
