// Picks the one backend the program uses, once, at start-up. Which backends
// exist is decided by the build (VANTEREL_HAVE_* from CMake); which one is
// used, by what the machine offers.
#include "inject/Backends.h"

#include <QStringList>

namespace vanterel::inject {

#ifndef VANTEREL_HAVE_XTEST
InjectorChoice CreateXTestInjector(const QString &, std::chrono::milliseconds)
{
    return {nullptr, QStringLiteral("this build has no XTest support")};
}
#endif

#ifndef VANTEREL_HAVE_UINPUT
InjectorChoice CreateUinputInjector(std::chrono::milliseconds)
{
    return {nullptr, QStringLiteral("this build has no uinput support")};
}
#endif

#ifndef VANTEREL_HAVE_SENDINPUT
InjectorChoice CreateSendInputInjector(std::chrono::milliseconds)
{
    return {nullptr, QStringLiteral("this build has no SendInput support")};
}
#endif

InjectorChoice CreateInjector()
{
#ifdef VANTEREL_HAVE_SENDINPUT
    return CreateSendInputInjector();
#else
    // XTest first: it can also bring the target window to the front. uinput
    // serves where there is no X display (Wayland, the console).
    QStringList reasons;
    for (auto create : {+[] { return CreateXTestInjector({}); },
                        +[] { return CreateUinputInjector(); }}) {
        InjectorChoice choice = create();
        if (choice.injector)
            return choice;
        reasons.append(choice.logLine);
    }
    return {nullptr, QStringLiteral("No key presses: %1").arg(reasons.join(QStringLiteral(" and ")))};
#endif
}

} // namespace vanterel::inject
