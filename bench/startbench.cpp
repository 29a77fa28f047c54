// Start-up time of the program as a user meets it: from the moment the
// process is spawned to the moment it writes "Server listening on address"
// to standard error. Each run ends the program with SIGTERM and waits for it.
//
//   startbench --exe PATH [--runs 7] [--timeout-ms 20000]
//
// The program gets this process's environment (DISPLAY, QT_QPA_PLATFORM).
// Prints one "key=value ..." line: term_ignored counts SIGTERMs that had not
// ended the program 3 s later (it then gets a second one), killed the runs
// that only SIGKILL ended, exit_failures the other runs whose exit status
// was not 0.
#include "bench/support/BenchSupport.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <string>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

extern char **environ;

namespace {

using namespace vanterel::bench;

// Reads and drops what the child writes to standard error (so that it never
// blocks on a full pipe) until it ends or timeoutMs have passed.
bool drainUntilExit(pid_t pid, int fd, int timeoutMs, int *status)
{
    const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    while (Clock::now() < deadline) {
        char buffer[4096];
        while (read(fd, buffer, sizeof buffer) > 0) { }
        if (waitpid(pid, status, WNOHANG) == pid)
            return true;
        usleep(2000);
    }
    return false;
}

} // namespace

int main(int argc, char **argv)
{
    const Options opt = Options::parse(argc, argv, 1);
    if (!opt.has("--exe"))
        fail("usage: startbench --exe PATH [--runs N]");
    std::string exe = opt.text("--exe", "");
    const int runs = static_cast<int>(opt.number("--runs", 7));
    const int timeoutMs = static_cast<int>(opt.number("--timeout-ms", 20000));

    std::vector<double> times;
    int notListening = 0;
    int exitFailures = 0;
    int termIgnored = 0; // SIGTERMs after which the program was still there 3 s later
    int killedRuns = 0;  // runs that only SIGKILL ended
    for (int run = 0; run < runs; ++run) {
        int pipeFds[2];
        if (pipe2(pipeFds, O_CLOEXEC) != 0)
            fail("cannot make a pipe");
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, pipeFds[1], STDERR_FILENO);
        posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
        char *args[] = {exe.data(), nullptr};
        pid_t pid = 0;
        const Clock::time_point start = Clock::now();
        const int rc = posix_spawn(&pid, exe.c_str(), &actions, nullptr, args, environ);
        posix_spawn_file_actions_destroy(&actions);
        close(pipeFds[1]);
        if (rc != 0)
            fail("cannot start the program");

        std::string text;
        bool listening = false;
        double ms = 0;
        const Clock::time_point deadline = start + std::chrono::milliseconds(timeoutMs);
        while (!listening && Clock::now() < deadline) {
            pollfd readable{pipeFds[0], POLLIN, 0};
            if (poll(&readable, 1, 100) <= 0)
                continue;
            char buffer[4096];
            const ssize_t n = read(pipeFds[0], buffer, sizeof buffer);
            const Clock::time_point got = Clock::now();
            if (n <= 0)
                break;
            text.append(buffer, static_cast<std::size_t>(n));
            if (text.find("Server listening on address ") != std::string::npos) {
                listening = true;
                ms = std::chrono::duration<double, std::milli>(got - start).count();
            }
        }
        // SIGTERM as soon as the program listens, as a service manager
        // stopping it right after start would. A program that is still there
        // after a while gets a second SIGTERM, then SIGKILL; both are counted.
        const int fl = fcntl(pipeFds[0], F_GETFL);
        fcntl(pipeFds[0], F_SETFL, fl | O_NONBLOCK);
        int status = 0;
        bool killed = false;
        bool exited = false;
        for (int attempt = 0; attempt < 2 && !exited; ++attempt) {
            kill(pid, SIGTERM);
            exited = drainUntilExit(pid, pipeFds[0], 3000, &status);
            if (!exited)
                ++termIgnored;
        }
        if (!exited) {
            kill(pid, SIGKILL);
            waitpid(pid, &status, 0);
            killed = true;
        }
        close(pipeFds[0]);
        if (killed)
            ++killedRuns;
        else if (!WIFEXITED(status) || WEXITSTATUS(status) != 0)
            ++exitFailures;
        if (listening)
            times.push_back(ms);
        else
            ++notListening;
        std::fprintf(stderr, "startbench: run %d: %s %.1f ms\n", run + 1,
                     listening ? "listening after" : "NOT listening", ms);
    }

    std::vector<double> sorted = times;
    std::sort(sorted.begin(), sorted.end());
    const double median = sorted.empty() ? 0 : sorted[sorted.size() / 2];
    std::printf(
        "runs=%d listening=%zu not_listening=%d exit_failures=%d term_ignored=%d killed=%d median_ms=%.1f"
        " min_ms=%.1f max_ms=%.1f first_ms=%.1f\n",
        runs, times.size(), notListening, exitFailures, termIgnored, killedRuns, median,
        sorted.empty() ? 0 : sorted.front(), sorted.empty() ? 0 : sorted.back(),
        times.empty() ? 0 : times.front());
    return 0;
}
