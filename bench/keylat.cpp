// Command latency as the target application sees it: a real X client (this
// program) owns a focused window on the X display of $DISPLAY and times each
// command from the moment its request goes out to the moment the window
// receives the bound key going down.
//
//   keylat http --port P --count N [--path "/?FIRE"] [--status 303]
//          [--keycode 38] [--timeout-ms 3000] [--latencies FILE]
//       one connection per command: connect, send the GET, read the
//       response until the server closes it. The clock starts before the
//       connect. The next command goes out only once every key of the
//       previous stroke is up again, because the program plays strokes one
//       after another and holds each key down for a while.
//   keylat xdotool --count N [--keys ctrl+a] [--keycode 38] ...
//       the same window and timing for `xdotool key ctrl+a`, spawned once
//       per command: the clock starts before the spawn.
//   keylat xtest --count N [--keycode 38]
//       the floor: this process fakes Ctrl+A through XTEST on a second
//       connection of its own and times until its window sees the key go
//       down. What the X server and the machine's scheduling cost alone.
//       With http, --floor 1 [--floor-latencies FILE] plays one such stroke
//       after each command, so that both meet the same conditions.
//
// Prints one "key=value ..." line; for http also the time from the request to
// the first byte of the response (the command runs before the response goes
// out, so a late key with an early response was late after the hand-over).
// --latencies writes one line per command, in order: key-down time and, for
// http, the response time and the start (CLOCK_MONOTONIC seconds, as perf and
// ftrace stamp their events). Loopback only.
#include "bench/support/BenchSupport.h"

#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <X11/extensions/XTest.h>
#include <algorithm>
#include <arpa/inet.h>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iomanip>
#include <netinet/in.h>
#include <poll.h>
#include <spawn.h>
#include <string>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

extern char **environ;

namespace {

using namespace vanterel::bench;

// The window that receives the keys, and what it has seen.
class Target {
public:
    Target()
    {
        m_display = XOpenDisplay(nullptr);
        if (!m_display)
            fail("cannot open the X display of $DISPLAY");
        m_window = XCreateSimpleWindow(m_display, DefaultRootWindow(m_display), 0, 0, 64, 64, 0, 0, 0);
        XStoreName(m_display, m_window, "Marlek ORS");
        XSelectInput(m_display, m_window,
                     KeyPressMask | KeyReleaseMask | StructureNotifyMask | FocusChangeMask);
        XMapWindow(m_display, m_window);
        XEvent event;
        do
            XWindowEvent(m_display, m_window, StructureNotifyMask, &event);
        while (event.type != MapNotify);
        takeFocus();
    }
    ~Target()
    {
        XDestroyWindow(m_display, m_window);
        XCloseDisplay(m_display);
    }

    int fd() const { return ConnectionNumber(m_display); }

    // Gives the window the focus again should anything have taken it, and
    // forgets every event still queued.
    void takeFocus()
    {
        Window focused = 0;
        int revert = 0;
        XGetInputFocus(m_display, &focused, &revert);
        if (focused != m_window) {
            XSetInputFocus(m_display, m_window, RevertToParent, CurrentTime);
            ++m_refocused;
        }
        XSync(m_display, True);
        m_down.clear();
    }

    // Handles the events that have arrived. Returns true when the watched key
    // went down in them.
    bool readEvents(unsigned keycode, bool *keyDown)
    {
        bool sawDown = false;
        while (XPending(m_display) > 0) {
            XEvent event;
            XNextEvent(m_display, &event);
            if (event.type == KeyPress) {
                if (event.xkey.keycode == keycode && !sawDown && !*keyDown) {
                    sawDown = true;
                    *keyDown = true;
                }
                if (std::find(m_down.begin(), m_down.end(), event.xkey.keycode) == m_down.end())
                    m_down.push_back(event.xkey.keycode);
            } else if (event.type == KeyRelease) {
                m_down.erase(std::remove(m_down.begin(), m_down.end(), event.xkey.keycode), m_down.end());
            } else if (event.type == FocusOut) {
                ++m_focusLost;
            }
        }
        return sawDown;
    }

    bool allKeysUp() const { return m_down.empty(); }
    int refocused() const { return m_refocused - 1; } // the first focus is not a loss
    int focusLost() const { return m_focusLost; }

private:
    Display *m_display = nullptr;
    Window m_window = 0;
    std::vector<unsigned> m_down;
    int m_refocused = 0;
    int m_focusLost = 0;
};

enum class Outcome { Ok, Connect, Http, NoKey, KeyStuck };

// One command over HTTP. The socket and the X connection are watched
// together until the key went down, the keys are up again and the server has
// closed the connection.
Outcome httpCommand(Target &target, const sockaddr_in &addr, const std::string &request, int status,
                    unsigned keycode, int timeoutMs, double *latencyMs, double *responseMs,
                    Clock::time_point *started)
{
    const Clock::time_point start = Clock::now();
    *started = start;
    const Clock::time_point deadline = start + std::chrono::milliseconds(timeoutMs);
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0 || connect(fd, reinterpret_cast<const sockaddr *>(&addr), sizeof addr) != 0
        || send(fd, request.data(), request.size(), MSG_NOSIGNAL) != static_cast<ssize_t>(request.size())) {
        if (fd >= 0)
            close(fd);
        return Outcome::Connect;
    }
    bool keyDown = false;
    bool closed = false;
    bool resetOrBad = false;
    std::string response;
    char buffer[4096];
    while (!(keyDown && closed && target.allKeysUp())) {
        const long long left
            = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
        if (left <= 0 || stopRequested)
            break;
        if (target.readEvents(keycode, &keyDown)) {
            *latencyMs = msSince(start, Clock::now());
            continue;
        }
        pollfd fds[2] = {{target.fd(), POLLIN, 0}, {fd, POLLIN, 0}};
        const int n = poll(fds, closed ? 1 : 2, static_cast<int>(std::min(left, 100LL)));
        const Clock::time_point woke = Clock::now();
        if (n <= 0)
            continue;
        if (fds[0].revents != 0 && target.readEvents(keycode, &keyDown))
            *latencyMs = msSince(start, woke);
        if (!closed && fds[1].revents != 0) {
            const ssize_t got = recv(fd, buffer, sizeof buffer, 0);
            if (got > 0) {
                if (response.empty())
                    *responseMs = msSince(start, woke);
                response.append(buffer, static_cast<std::size_t>(got));
            } else if (got == 0) {
                closed = true;
            } else if (errno != EINTR && errno != EAGAIN) {
                closed = true;
                resetOrBad = true;
            }
        }
    }
    close(fd);
    const std::string statusText = "HTTP/1.1 " + std::to_string(status) + " ";
    if (closed && (resetOrBad || response.rfind(statusText, 0) != 0))
        return Outcome::Http;
    if (!keyDown)
        return Outcome::NoKey;
    if (!closed)
        return Outcome::Http;
    if (!target.allKeysUp())
        return Outcome::KeyStuck;
    return Outcome::Ok;
}

// One command through xdotool, spawned for it.
Outcome xdotoolCommand(Target &target, const std::string &keys, unsigned keycode, int timeoutMs,
                       double *latencyMs)
{
    const Clock::time_point start = Clock::now();
    const Clock::time_point deadline = start + std::chrono::milliseconds(timeoutMs);
    std::string program = "xdotool";
    std::string verb = "key";
    std::string arg = keys;
    char *argv[] = {program.data(), verb.data(), arg.data(), nullptr};
    pid_t pid = 0;
    if (posix_spawnp(&pid, "xdotool", nullptr, nullptr, argv, environ) != 0)
        return Outcome::Connect;
    bool keyDown = false;
    bool exited = false;
    int status = 0;
    while (!(keyDown && exited && target.allKeysUp())) {
        const long long left
            = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
        if (left <= 0 || stopRequested)
            break;
        if (!exited && waitpid(pid, &status, WNOHANG) == pid) {
            exited = true;
            continue;
        }
        if (target.readEvents(keycode, &keyDown)) {
            *latencyMs = msSince(start, Clock::now());
            continue;
        }
        pollfd fds{target.fd(), POLLIN, 0};
        const int n = poll(&fds, 1, exited ? static_cast<int>(std::min(left, 100LL)) : 1);
        const Clock::time_point woke = Clock::now();
        if (n > 0 && target.readEvents(keycode, &keyDown))
            *latencyMs = msSince(start, woke);
    }
    if (!exited) {
        kill(pid, SIGKILL);
        waitpid(pid, &status, 0);
        return keyDown ? Outcome::Http : Outcome::NoKey;
    }
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0)
        return Outcome::Http;
    if (!keyDown)
        return Outcome::NoKey;
    if (!target.allKeysUp())
        return Outcome::KeyStuck;
    return Outcome::Ok;
}

// One stroke faked by this process itself on its own second connection:
// Ctrl down, A down (each flushed and synced, as the program does), then up.
Outcome xtestCommand(Target &target, Display *faker, unsigned keycode, int timeoutMs, double *latencyMs)
{
    const unsigned ctrl = 37;
    const Clock::time_point start = Clock::now();
    const Clock::time_point deadline = start + std::chrono::milliseconds(timeoutMs);
    XTestFakeKeyEvent(faker, ctrl, True, CurrentTime);
    XSync(faker, False);
    XTestFakeKeyEvent(faker, keycode, True, CurrentTime);
    XSync(faker, False);
    bool keyDown = false;
    while (!keyDown) {
        const long long left
            = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
        if (left <= 0 || stopRequested)
            break;
        if (target.readEvents(keycode, &keyDown)) {
            *latencyMs = msSince(start, Clock::now());
            break;
        }
        pollfd fds{target.fd(), POLLIN, 0};
        const int n = poll(&fds, 1, static_cast<int>(std::min(left, 100LL)));
        const Clock::time_point woke = Clock::now();
        if (n > 0 && target.readEvents(keycode, &keyDown))
            *latencyMs = msSince(start, woke);
    }
    XTestFakeKeyEvent(faker, keycode, False, CurrentTime);
    XTestFakeKeyEvent(faker, ctrl, False, CurrentTime);
    XSync(faker, False);
    while (!target.allKeysUp() && Clock::now() < deadline) {
        pollfd fds{target.fd(), POLLIN, 0};
        if (target.readEvents(keycode, &keyDown))
            continue;
        poll(&fds, 1, 1);
    }
    if (!keyDown)
        return Outcome::NoKey;
    return target.allKeysUp() ? Outcome::Ok : Outcome::KeyStuck;
}

} // namespace

int main(int argc, char **argv)
{
    if (argc < 2)
        fail("usage: keylat http --port P --count N ... | keylat xdotool --count N ...");
    catchStopSignals();
    const Options opt = Options::parse(argc, argv, 2);
    const std::string mode = argv[1];
    const bool viaHttp = mode == "http";
    const bool viaXTest = mode == "xtest";
    if (!viaHttp && !viaXTest && mode != "xdotool")
        fail("the mode is http, xdotool or xtest");

    const long long count = opt.number("--count", 2000);
    const auto keycode = static_cast<unsigned>(opt.number("--keycode", 38)); // X key code of A
    const int timeoutMs = static_cast<int>(opt.number("--timeout-ms", 3000));
    const long long port = opt.number("--port", 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(static_cast<uint16_t>(port));
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (viaHttp && (port < 1 || port > 65535))
        fail("http needs --port");
    const std::string request = "GET " + opt.text("--path", "/?FIRE") + " HTTP/1.1\r\nHost: 127.0.0.1:"
        + std::to_string(port) + "\r\nUser-Agent: vanterel-keylat\r\nAccept: */*\r\n\r\n";
    const int status = static_cast<int>(opt.number("--status", 303));
    const std::string keys = opt.text("--keys", "ctrl+a");

    Target target;
    // --floor 1 with http: after each command, one stroke faked by the bench
    // itself, so that the floor is measured under the same conditions.
    const bool withFloor = viaHttp && opt.number("--floor", 0) != 0;
    Display *faker = viaXTest || withFloor ? XOpenDisplay(nullptr) : nullptr;
    if ((viaXTest || withFloor) && !faker)
        fail("cannot open a second connection to the X display");
    std::vector<double> floors;
    std::vector<double> latencies;
    std::vector<double> responses; // request sent -> first byte of the response
    std::vector<double> starts;    // CLOCK_MONOTONIC seconds, to line commands up with traces
    long long errors[5] = {};
    const Clock::time_point begin = Clock::now();
    for (long long i = 0; i < count && !stopRequested; ++i) {
        target.takeFocus();
        double latency = -1;
        double response = -1;
        Clock::time_point started = Clock::now();
        const Outcome outcome = viaHttp
            ? httpCommand(target, addr, request, status, keycode, timeoutMs, &latency, &response, &started)
            : viaXTest ? xtestCommand(target, faker, keycode, timeoutMs, &latency)
                       : xdotoolCommand(target, keys, keycode, timeoutMs, &latency);
        if (outcome == Outcome::Ok)
            latencies.push_back(latency);
        if (withFloor) {
            target.takeFocus();
            double floor = -1;
            if (xtestCommand(target, faker, keycode, timeoutMs, &floor) == Outcome::Ok)
                floors.push_back(floor);
        }
        if (outcome == Outcome::Ok && viaHttp) {
            responses.push_back(response);
            starts.push_back(std::chrono::duration<double>(started.time_since_epoch()).count());
        } else
            ++errors[static_cast<int>(outcome)];
    }
    const double seconds = msSince(begin, Clock::now()) / 1000.0;

    const std::string file = opt.text("--latencies", "");
    if (!file.empty()) {
        // In command order, with the response time beside it where there is one.
        std::ofstream out(file);
        for (std::size_t i = 0; i < latencies.size(); ++i) {
            out << latencies[i];
            if (i < responses.size())
                out << ' ' << responses[i] << ' ' << std::fixed << std::setprecision(6) << starts[i]
                    << std::defaultfloat;
            out << '\n';
        }
    }
    std::sort(latencies.begin(), latencies.end());
    std::sort(responses.begin(), responses.end());
    std::sort(floors.begin(), floors.end());
    const long long errorCount = errors[1] + errors[2] + errors[3] + errors[4];
    std::printf("commands=%zu ok=%zu errors=%lld err_connect=%lld err_http=%lld err_nokey=%lld"
                " err_keystuck=%lld refocused=%d seconds=%.3f p50_ms=%.3f p90_ms=%.3f p99_ms=%.3f"
                " max_ms=%.3f min_ms=%.3f response_p50_ms=%.3f response_p99_ms=%.3f",
                latencies.size() + static_cast<std::size_t>(errorCount), latencies.size(), errorCount,
                errors[1], errors[2], errors[3], errors[4], target.refocused(), seconds,
                percentile(latencies, 50), percentile(latencies, 90), percentile(latencies, 99),
                latencies.empty() ? 0.0 : latencies.back(), latencies.empty() ? 0.0 : latencies.front(),
                percentile(responses, 50), percentile(responses, 99));
    if (withFloor)
        std::printf(" floor_strokes=%zu floor_p50_ms=%.3f floor_p99_ms=%.3f", floors.size(),
                    percentile(floors, 50), percentile(floors, 99));
    std::printf("\n");
    const std::string floorFile = opt.text("--floor-latencies", "");
    if (!floorFile.empty()) {
        std::ofstream out(floorFile);
        for (double ms : floors)
            out << ms << '\n';
    }
    if (faker)
        XCloseDisplay(faker);
    return 0;
}
