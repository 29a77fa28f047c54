#pragma once

// What every benchmark program needs alike: "--name value" options, the exit
// on a wrong call, a stop on SIGTERM/SIGINT, the clock and its percentiles,
// and the figures of a running process that /proc gives. Linux only, as the
// benchmarks are.
#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <dirent.h>
#include <fstream>
#include <iterator>
#include <map>
#include <string>
#include <string_view>
#include <unistd.h>
#include <vector>

namespace vanterel::bench {

using Clock = std::chrono::steady_clock;

inline double msSince(Clock::time_point start, Clock::time_point now = Clock::now())
{
    return std::chrono::duration<double, std::milli>(now - start).count();
}

// Percentile by nearest rank over sorted values; 0 for none.
inline double percentile(const std::vector<double> &sorted, double p)
{
    if (sorted.empty())
        return 0;
    const auto rank = static_cast<std::size_t>(p / 100.0 * static_cast<double>(sorted.size()) + 0.999999);
    return sorted[std::min(sorted.size(), std::max<std::size_t>(rank, 1)) - 1];
}

// Says what was wrong, after the program's name, and exits with status 2.
[[noreturn]] inline void fail(const char *what)
{
    std::fprintf(stderr, "%s: %s\n", program_invocation_short_name, what);
    std::exit(2);
}

// Set by SIGTERM or SIGINT once catchStopSignals() ran: a run then ends early
// and still prints its figures.
inline volatile std::sig_atomic_t stopRequested = 0;

inline void onStopSignal(int)
{
    stopRequested = 1;
}

// A peer that closes early costs a failed write, never the process (SIGPIPE).
inline void catchStopSignals()
{
    std::signal(SIGPIPE, SIG_IGN);
    struct sigaction sa { };
    sa.sa_handler = onStopSignal;
    sigaction(SIGTERM, &sa, nullptr);
    sigaction(SIGINT, &sa, nullptr);
}

// "--name value" pairs from the command line; a name without its value is
// ignored, a later value wins.
struct Options {
    std::map<std::string, std::string> values;

    // The pairs from argv[first] on.
    static Options parse(int argc, char **argv, int first)
    {
        Options options;
        for (int i = first; i + 1 < argc; i += 2)
            options.values[argv[i]] = argv[i + 1];
        return options;
    }
    std::string text(const std::string &key, const std::string &fallback) const
    {
        const auto it = values.find(key);
        return it == values.end() ? fallback : it->second;
    }
    long long number(const std::string &key, long long fallback) const
    {
        const auto it = values.find(key);
        return it == values.end() ? fallback : std::atoll(it->second.c_str());
    }
    bool has(const std::string &key) const { return values.count(key) != 0; }
};

// A "Vm...:" line of /proc/PID/status, in KiB; -1 when the process is gone.
inline long long statusKiB(long long pid, const std::string &key)
{
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    for (std::string line; std::getline(status, line);)
        if (line.rfind(key, 0) == 0)
            return std::atoll(line.c_str() + key.size());
    return -1;
}

inline long long residentKiB(long long pid)
{
    return statusKiB(pid, "VmRSS:");
}

// The process's sockets and open files; -1 when it is gone. The event
// descriptors that threads of its pools bring and take with them are not
// counted.
inline long long openDescriptors(long long pid)
{
    const std::string folder = "/proc/" + std::to_string(pid) + "/fd/";
    DIR *dir = opendir(folder.c_str());
    if (!dir)
        return -1;
    long long n = 0;
    char target[256];
    while (const dirent *entry = readdir(dir)) {
        const ssize_t length = readlink((folder + entry->d_name).c_str(), target, sizeof target - 1);
        n += length > 0 && std::string_view(target, std::size_t(length)).rfind("anon_inode:", 0) != 0;
    }
    closedir(dir);
    return n;
}

// User and system time of every thread of the process, in seconds.
inline double cpuSeconds(long long pid)
{
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string text((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
    const std::size_t close = text.rfind(')'); // the name may hold blanks
    if (close == std::string::npos)
        return 0;
    std::vector<std::string> fields;
    for (std::size_t pos = close + 2, end; pos < text.size(); pos = end + 1) {
        end = std::min(text.find(' ', pos), text.size());
        fields.push_back(text.substr(pos, end - pos));
    }
    // utime and stime: fields 14 and 15 of the line, 12 and 13 after the name
    return fields.size() > 12 ? (std::atof(fields[11].c_str()) + std::atof(fields[12].c_str()))
            / static_cast<double>(sysconf(_SC_CLK_TCK))
                              : 0;
}

} // namespace vanterel::bench
