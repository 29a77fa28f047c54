// Reports the keys that reach a focused window of its own on the X server of $DISPLAY: "ready" once it has
// the focus, then a line per key event, the X server's time in milliseconds and "down|up <key code> [Shift]
// [Ctrl] [Alt]".
#include "tests/support/TestXClient.h"

#include <cstdio>

int main()
{
    vanterel::inject::test::TestXClient client(qgetenv("DISPLAY"));
    if (!client.isOpen())
        return 1;
    client.focus(client.createWindow("Marlek ORS"));
    std::setvbuf(stdout, nullptr, _IOLBF, 0); // each line goes out at once
    std::puts("ready");
    for (;;)
        for (const auto &event : client.keyEvents(1, 60000))
            std::printf("%llu %s\n", static_cast<unsigned long long>(event.time), qPrintable(event.text));
}
