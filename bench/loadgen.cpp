// Load generator for the file server, the way a browser meets it: one
// connection per request, the request sent at once, the response read until
// the server closes the connection (it sends no "Connection: close", so tools
// that wait for a keep-alive connection to be reused do not fit).
//
//   loadgen freeport
//       prints a TCP port on 127.0.0.1 that is free right now
//   loadgen http --port P --path /x [--clients 64] [--seconds 5] [--requests N]
//                [--status 200] [--length BYTES] [--timeout-ms 10000]
//                [--latencies FILE] [--host 127.0.0.1] [--cpu-pids PID,PID]
//       N clients, each doing requests one after another until the time or
//       the request count is spent (or SIGTERM/SIGINT). Every response is
//       checked: the status, and the body length against Content-Length (and
//       against --length when given). Prints one "key=value ..." line; rate
//       is the requests completed per second of the run's window (or of the
//       whole run when the request count ended it). With --cpu-pids it also
//       reports the CPU time those processes used during the run, and how
//       long the first one's main thread ran and waited for a CPU.
//   loadgen idle --port P --pid PID --connections 5000 [--batch 50]
//                [--settle-ms 1000] [--probes 20]
//       opens connections that send nothing and holds them, paced so that
//       the server's accept queue never overflows (it waits until the
//       server process holds a descriptor for each), and reports the
//       server's resident memory before, with them, and after they closed
//       (all at once), with its main thread's stack size before and after.
//       While they are held, it times --probes requests for a missing file,
//       one after another, each on a new connection.
//
// Loopback only: the address is parsed, and anything outside 127.0.0.0/8 is
// refused.
#include "bench/support/BenchSupport.h"

#include <algorithm>
#include <arpa/inet.h>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <netinet/in.h>
#include <string>
#include <string_view>
#include <sys/epoll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>
#include <utility>
#include <vector>

namespace {

using namespace vanterel::bench;

sockaddr_in loopbackAddress(const std::string &host, long long port)
{
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(static_cast<uint16_t>(port));
    if (inet_pton(AF_INET, host.c_str(), &addr.sin_addr) != 1)
        fail("the host must be an IPv4 address");
    // Traffic of a load test never leaves the machine.
    if ((ntohl(addr.sin_addr.s_addr) >> 24) != 127)
        fail("only loopback addresses (127.0.0.0/8) are allowed");
    if (port < 1 || port > 65535)
        fail("the port must be from 1 to 65535");
    return addr;
}

int freePort()
{
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in addr = loopbackAddress("127.0.0.1", 1);
    addr.sin_port = 0;
    if (fd < 0 || bind(fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr) != 0)
        fail("cannot bind a socket on 127.0.0.1");
    socklen_t len = sizeof addr;
    getsockname(fd, reinterpret_cast<sockaddr *>(&addr), &len);
    close(fd);
    std::printf("%d\n", ntohs(addr.sin_port));
    return 0;
}

// CPU time (user + system, all threads) of the listed processes, in seconds.
double cpuSeconds(const std::vector<long long> &pids)
{
    double seconds = 0;
    for (long long pid : pids)
        seconds += vanterel::bench::cpuSeconds(pid);
    return seconds;
}

// Time the process's main thread (the program's user-interface thread) spent
// running and waiting runnable for a CPU, in seconds, from /proc/PID/schedstat.
std::pair<double, double> mainThreadSchedule(long long pid)
{
    std::ifstream stat("/proc/" + std::to_string(pid) + "/schedstat");
    double runNs = 0;
    double waitNs = 0;
    stat >> runNs >> waitNs;
    return {runNs / 1e9, waitNs / 1e9};
}

std::vector<long long> pidList(const std::string &text)
{
    std::vector<long long> pids;
    std::size_t pos = 0;
    while (pos < text.size()) {
        const std::size_t end = text.find(',', pos);
        const long long pid = std::atoll(text.substr(pos, end - pos).c_str());
        if (pid > 0)
            pids.push_back(pid);
        if (end == std::string::npos)
            break;
        pos = end + 1;
    }
    return pids;
}

// ---------------------------------------------------------------- http mode

enum class Error { Connect, Reset, Short, Status, Length, Timeout, Count };
const char *const ErrorNames[]
    = {"err_connect", "err_reset", "err_short", "err_status", "err_length", "err_timeout"};

struct Conn {
    int fd = -1;
    bool sent = false;
    Clock::time_point start;
    std::string head; // the response up to the blank line
    bool headDone = false;
    int status = 0;
    long long contentLength = -1;
    long long body = 0;
    bool retry = false; // the last connect failed at once; start again soon
};

class HttpLoad {
public:
    explicit HttpLoad(const Options &opt)
        : m_addr(loopbackAddress(opt.text("--host", "127.0.0.1"), opt.number("--port", 0)))
        , m_clients(static_cast<int>(opt.number("--clients", 64)))
        , m_seconds(static_cast<double>(opt.number("--seconds-ms", opt.number("--seconds", 5) * 1000))
                    / 1000.0)
        , m_maxRequests(opt.number("--requests", -1))
        , m_status(static_cast<int>(opt.number("--status", 200)))
        , m_length(opt.number("--length", -1))
        , m_timeoutMs(static_cast<double>(opt.number("--timeout-ms", 10000)))
        , m_latencyFile(opt.text("--latencies", ""))
        , m_cpuPids(pidList(opt.text("--cpu-pids", "")))
    {
        const std::string path = opt.text("--path", "/");
        const std::string host
            = opt.text("--host", "127.0.0.1") + ":" + std::to_string(opt.number("--port", 0));
        m_request = "GET " + path + " HTTP/1.1\r\nHost: " + host
            + "\r\nUser-Agent: vanterel-loadgen\r\nAccept: */*\r\n\r\n";
        if (m_clients < 1)
            fail("--clients must be at least 1");
        m_epoll = epoll_create1(EPOLL_CLOEXEC);
        m_conns.resize(static_cast<std::size_t>(m_clients));
    }

    int run()
    {
        m_cpuAtStart = cpuSeconds(m_cpuPids);
        if (!m_cpuPids.empty())
            m_scheduleAtStart = mainThreadSchedule(m_cpuPids.front());
        m_begin = Clock::now();
        m_deadline
            = m_begin + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(m_seconds));
        m_active = m_clients;
        for (std::size_t i = 0; i < m_conns.size(); ++i)
            startNext(i);
        std::fprintf(stderr, "loadgen: %d clients running\n", m_clients);

        std::vector<epoll_event> events(256);
        Clock::time_point lastSweep = Clock::now();
        while (m_active > 0) {
            bool retrying = false;
            for (std::size_t i = 0; i < m_conns.size(); ++i) {
                if (m_conns[i].retry) {
                    retrying = true;
                    startNext(i);
                }
            }
            const int n
                = epoll_wait(m_epoll, events.data(), static_cast<int>(events.size()), retrying ? 2 : 50);
            const Clock::time_point now = Clock::now();
            if (stopRequested) {
                cancelAll();
                break;
            }
            for (int e = 0; e < n; ++e) {
                const std::size_t i = events[static_cast<std::size_t>(e)].data.u64;
                Conn &c = m_conns[i];
                if (c.fd < 0)
                    continue;
                if (!c.sent)
                    onWritable(i);
                else
                    onReadable(i);
            }
            if (msSince(lastSweep, now) >= 20) {
                lastSweep = now;
                for (std::size_t i = 0; i < m_conns.size(); ++i)
                    if (m_conns[i].fd >= 0 && msSince(m_conns[i].start, now) > m_timeoutMs)
                        finishWithError(i, Error::Timeout);
            }
        }
        const double seconds = msSince(m_begin, Clock::now()) / 1000.0;
        m_serverCpu = cpuSeconds(m_cpuPids) - m_cpuAtStart;
        if (!m_cpuPids.empty()) {
            const auto now = mainThreadSchedule(m_cpuPids.front());
            m_mainRun = now.first - m_scheduleAtStart.first;
            m_mainWait = now.second - m_scheduleAtStart.second;
        }
        // A run that the clock ended is rated over its window: the requests
        // still in flight at the deadline finish late, and one slow straggler
        // must not stretch the time that all the others are divided by.
        const bool timed = seconds >= m_seconds;
        report(seconds,
               timed ? static_cast<double>(m_okInWindow) / m_seconds : static_cast<double>(m_ok) / seconds);
        return 0;
    }

private:
    bool mayStart() const
    {
        if (stopRequested)
            return false;
        if (m_maxRequests >= 0 && m_started >= m_maxRequests)
            return false;
        // With a request count and no explicit time, the count alone bounds
        // the run (the timeout still bounds every request).
        return Clock::now() < m_deadline;
    }

    // Opens the client's next connection, or retires the client when the
    // run is over. A connect that fails at once is retried on a later turn
    // of the loop, so that a refused port does not become a busy loop.
    void startNext(std::size_t i)
    {
        Conn &c = m_conns[i];
        c = Conn{};
        if (!mayStart()) {
            --m_active;
            return;
        }
        ++m_started;
        c.start = Clock::now();
        c.fd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
        if (c.fd >= 0
            && (connect(c.fd, reinterpret_cast<const sockaddr *>(&m_addr), sizeof m_addr) == 0
                || errno == EINPROGRESS)) {
            epoll_event ev{};
            ev.events = EPOLLOUT;
            ev.data.u64 = i;
            epoll_ctl(m_epoll, EPOLL_CTL_ADD, c.fd, &ev);
            return;
        }
        if (c.fd >= 0)
            close(c.fd);
        c.fd = -1;
        c.retry = true;
        count(Error::Connect);
        if (++m_connectFailuresInARow > 1000)
            fail("a thousand connection failures in a row; is the server up?");
    }

    void onWritable(std::size_t i)
    {
        Conn &c = m_conns[i];
        int err = 0;
        socklen_t len = sizeof err;
        getsockopt(c.fd, SOL_SOCKET, SO_ERROR, &err, &len);
        if (err != 0) {
            finishWithError(i, Error::Connect);
            return;
        }
        m_connectFailuresInARow = 0;
        const ssize_t n = send(c.fd, m_request.data(), m_request.size(), MSG_NOSIGNAL);
        if (n != static_cast<ssize_t>(m_request.size())) {
            finishWithError(i, Error::Reset);
            return;
        }
        c.sent = true;
        epoll_event ev{};
        ev.events = EPOLLIN;
        ev.data.u64 = i;
        epoll_ctl(m_epoll, EPOLL_CTL_MOD, c.fd, &ev);
    }

    void onReadable(std::size_t i)
    {
        Conn &c = m_conns[i];
        for (int turn = 0; turn < 4; ++turn) {
            const ssize_t n = recv(c.fd, m_buffer, sizeof m_buffer, 0);
            if (n > 0) {
                m_bytes += n;
                take(c, std::string_view(m_buffer, static_cast<std::size_t>(n)));
                if (static_cast<std::size_t>(n) < sizeof m_buffer)
                    return;
                continue;
            }
            if (n == 0) {
                finish(i);
                return;
            }
            if (errno == EAGAIN || errno == EINTR)
                return;
            finishWithError(i, Error::Reset);
            return;
        }
    }

    static void take(Conn &c, std::string_view data)
    {
        if (c.headDone) {
            c.body += static_cast<long long>(data.size());
            return;
        }
        c.head.append(data);
        const std::size_t end = c.head.find("\r\n\r\n");
        if (end == std::string::npos) {
            if (c.head.size() > 65536) // no header is this long: count it as body
                c.headDone = true;
            return;
        }
        c.headDone = true;
        c.body = static_cast<long long>(c.head.size() - (end + 4));
        c.head.resize(end + 2);
        if (c.head.rfind("HTTP/1.", 0) == 0 && c.head.size() > 12)
            c.status = std::atoi(c.head.c_str() + 9);
        std::string lower = c.head;
        std::transform(lower.begin(), lower.end(), lower.begin(),
                       [](unsigned char ch) { return static_cast<char>(std::tolower(ch)); });
        const std::size_t cl = lower.find("\r\ncontent-length:");
        if (cl != std::string::npos)
            c.contentLength = std::atoll(lower.c_str() + cl + 17);
    }

    void finish(std::size_t i)
    {
        Conn &c = m_conns[i];
        if (!c.headDone) {
            finishWithError(i, Error::Short);
            return;
        }
        if (c.status != m_status) {
            finishWithError(i, Error::Status);
            return;
        }
        if (c.contentLength >= 0 && c.body < c.contentLength) {
            finishWithError(i, Error::Short);
            return;
        }
        if ((c.contentLength >= 0 && c.body > c.contentLength)
            || (m_length >= 0 && (c.contentLength != m_length || c.body != m_length))) {
            finishWithError(i, Error::Length);
            return;
        }
        const Clock::time_point now = Clock::now();
        m_latencies.push_back(msSince(c.start, now));
        ++m_ok;
        if (now <= m_deadline)
            ++m_okInWindow;
        m_bodyBytes += c.body;
        closeConn(c);
        startNext(i);
    }

    void finishWithError(std::size_t i, Error e)
    {
        count(e);
        closeConn(m_conns[i]);
        startNext(i);
    }

    void count(Error e) { ++m_errors[static_cast<int>(e)]; }

    void closeConn(Conn &c)
    {
        if (c.fd >= 0) {
            epoll_ctl(m_epoll, EPOLL_CTL_DEL, c.fd, nullptr);
            close(c.fd);
        }
        c.fd = -1;
    }

    void cancelAll()
    {
        for (Conn &c : m_conns) {
            if (c.fd >= 0) {
                ++m_cancelled;
                closeConn(c);
            }
            c.retry = false;
        }
        m_active = 0;
    }

    void report(double seconds, double rate)
    {
        std::sort(m_latencies.begin(), m_latencies.end());
        long long errors = 0;
        for (long long e : m_errors)
            errors += e;
        std::printf("requests=%lld ok=%lld errors=%lld", m_ok + errors, m_ok, errors);
        for (int e = 0; e < static_cast<int>(Error::Count); ++e)
            std::printf(" %s=%lld", ErrorNames[e], m_errors[e]);
        std::printf(" cancelled=%lld seconds=%.3f rate=%.1f bytes=%lld body_bytes=%lld mbytes_per_s=%.3f"
                    " p50_ms=%.3f p90_ms=%.3f p99_ms=%.3f max_ms=%.3f",
                    m_cancelled, seconds, rate, m_bytes, m_bodyBytes,
                    static_cast<double>(m_bytes) / seconds / 1e6, percentile(m_latencies, 50),
                    percentile(m_latencies, 90), percentile(m_latencies, 99),
                    m_latencies.empty() ? 0.0 : m_latencies.back());
        if (!m_cpuPids.empty())
            std::printf(" server_cpu_s=%.2f server_cpu_us_per_request=%.1f main_thread_run_s=%.2f"
                        " main_thread_runqueue_wait_s=%.2f",
                        m_serverCpu, m_ok > 0 ? m_serverCpu * 1e6 / static_cast<double>(m_ok) : 0.0,
                        m_mainRun, m_mainWait);
        std::printf("\n");
        if (!m_latencyFile.empty()) {
            std::ofstream out(m_latencyFile);
            for (double ms : m_latencies)
                out << ms << '\n';
        }
    }

    const sockaddr_in m_addr;
    const int m_clients;
    const double m_seconds;
    const long long m_maxRequests;
    const int m_status;
    const long long m_length;
    const double m_timeoutMs;
    const std::string m_latencyFile;
    const std::vector<long long> m_cpuPids;
    double m_cpuAtStart = 0;
    double m_serverCpu = 0;
    std::pair<double, double> m_scheduleAtStart{0, 0};
    double m_mainRun = 0;
    double m_mainWait = 0;
    std::string m_request;
    int m_epoll = -1;
    std::vector<Conn> m_conns;
    int m_active = 0;
    long long m_started = 0;
    long long m_ok = 0;
    long long m_okInWindow = 0;
    long long m_cancelled = 0;
    long long m_bytes = 0;
    long long m_bodyBytes = 0;
    long long m_errors[static_cast<int>(Error::Count)] = {};
    int m_connectFailuresInARow = 0;
    std::vector<double> m_latencies;
    Clock::time_point m_begin;
    Clock::time_point m_deadline;
    char m_buffer[65536];
};

// ---------------------------------------------------------------- idle mode

// Waits until the server holds at least `want` descriptors (or at most, when
// falling). Returns whether it got there before the time ran out.
bool waitForDescriptors(long long pid, long long want, bool rising, int timeoutMs)
{
    const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    while (Clock::now() < deadline && !stopRequested) {
        const long long n = openDescriptors(pid);
        if (n < 0)
            return false;
        if (rising ? n >= want : n <= want)
            return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return false;
}

int idleConnections(const Options &opt)
{
    const sockaddr_in addr = loopbackAddress(opt.text("--host", "127.0.0.1"), opt.number("--port", 0));
    const long long pid = opt.number("--pid", 0);
    const long long wanted = opt.number("--connections", 5000);
    const long long batch = std::max(1LL, opt.number("--batch", 50));
    const int settleMs = static_cast<int>(opt.number("--settle-ms", 1000));
    if (pid <= 0 || residentKiB(pid) < 0)
        fail("--pid must name a running process");

    rlimit lim{};
    getrlimit(RLIMIT_NOFILE, &lim);
    if (lim.rlim_cur != RLIM_INFINITY && static_cast<long long>(lim.rlim_cur) < wanted + 64) {
        std::fprintf(stderr, "loadgen: open-file limit %llu is below %lld connections\n",
                     static_cast<unsigned long long>(lim.rlim_cur), wanted);
        return 2;
    }

    std::this_thread::sleep_for(std::chrono::milliseconds(settleMs));
    const long long baseFds = openDescriptors(pid);
    const long long rssBefore = residentKiB(pid);
    const long long stackBefore = statusKiB(pid, "VmStk:");
    const Clock::time_point begin = Clock::now();

    std::vector<int> fds;
    fds.reserve(static_cast<std::size_t>(wanted));
    long long connectErrors = 0;
    long long notAccepted = 0;
    const int ep = epoll_create1(EPOLL_CLOEXEC);
    while (static_cast<long long>(fds.size()) + connectErrors < wanted && !stopRequested) {
        const long long n = std::min(batch, wanted - static_cast<long long>(fds.size()) - connectErrors);
        std::vector<int> pending;
        for (long long k = 0; k < n; ++k) {
            const int fd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
            if (fd < 0) {
                ++connectErrors;
                continue;
            }
            if (connect(fd, reinterpret_cast<const sockaddr *>(&addr), sizeof addr) != 0
                && errno != EINPROGRESS) {
                close(fd);
                ++connectErrors;
                continue;
            }
            epoll_event ev{};
            ev.events = EPOLLOUT;
            ev.data.fd = fd;
            epoll_ctl(ep, EPOLL_CTL_ADD, fd, &ev);
            pending.push_back(fd);
        }
        // Every connect of the batch completes (or fails) before the next.
        std::size_t done = 0;
        const Clock::time_point deadline = Clock::now() + std::chrono::seconds(10);
        std::vector<epoll_event> events(pending.size() + 1);
        while (done < pending.size() && Clock::now() < deadline) {
            const int got = epoll_wait(ep, events.data(), static_cast<int>(events.size()), 100);
            for (int e = 0; e < got; ++e) {
                const int fd = events[static_cast<std::size_t>(e)].data.fd;
                epoll_ctl(ep, EPOLL_CTL_DEL, fd, nullptr);
                int err = 0;
                socklen_t len = sizeof err;
                getsockopt(fd, SOL_SOCKET, SO_ERROR, &err, &len);
                if (err != 0) {
                    close(fd);
                    ++connectErrors;
                } else {
                    fds.push_back(fd);
                }
                ++done;
            }
        }
        if (done < pending.size()) {
            std::fprintf(stderr, "loadgen: connects of a batch did not complete in 10 s\n");
            break;
        }
        // The server takes them from its accept queue before the next batch.
        if (!waitForDescriptors(pid, baseFds + static_cast<long long>(fds.size()), true, 10000)) {
            notAccepted = baseFds + static_cast<long long>(fds.size()) - openDescriptors(pid);
            std::fprintf(stderr, "loadgen: the server did not accept every connection in 10 s\n");
            break;
        }
    }
    const double openSeconds = msSince(begin, Clock::now()) / 1000.0;
    std::this_thread::sleep_for(std::chrono::milliseconds(settleMs));
    const long long heldFds = openDescriptors(pid);
    const long long rssHeld = residentKiB(pid);
    const long long accepted = heldFds - baseFds;

    // Requests while every one of them is held: does the server still answer?
    std::vector<double> probes;
    long long probeErrors = 0;
    for (long long i = 0; i < opt.number("--probes", 20) && !stopRequested; ++i) {
        const Clock::time_point start = Clock::now();
        const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        const std::string request = "GET /missing-probe.htm HTTP/1.1\r\n\r\n";
        bool ok = fd >= 0 && connect(fd, reinterpret_cast<const sockaddr *>(&addr), sizeof addr) == 0
            && send(fd, request.data(), request.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(request.size());
        std::string response;
        char buffer[4096];
        timeval tv{5, 0};
        if (ok)
            setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
        for (ssize_t n = 0; ok && (n = recv(fd, buffer, sizeof buffer, 0)) != 0;) {
            if (n < 0) {
                ok = false;
                break;
            }
            response.append(buffer, static_cast<std::size_t>(n));
        }
        if (fd >= 0)
            close(fd);
        if (ok && response.rfind("HTTP/1.1 404 ", 0) == 0)
            probes.push_back(msSince(start, Clock::now()));
        else
            ++probeErrors;
    }
    std::sort(probes.begin(), probes.end());

    for (int fd : fds)
        close(fd);
    const bool released = waitForDescriptors(pid, baseFds, false, 30000);
    std::this_thread::sleep_for(std::chrono::milliseconds(settleMs));
    const long long rssAfter = residentKiB(pid);
    // The main thread's stack: it grows when event handlers nest.
    const long long stackAfter = statusKiB(pid, "VmStk:");

    std::printf(
        "connections=%lld held=%zu err_connect=%lld not_accepted=%lld accepted=%lld"
        " open_seconds=%.3f rss_idle_kib=%lld rss_held_kib=%lld rss_closed_kib=%lld"
        " per_conn_bytes=%.0f released=%d stack_before_kib=%lld stack_after_kib=%lld alive_after=%d"
        " probes=%zu probe_errors=%lld probe_p50_ms=%.3f probe_max_ms=%.3f\n",
        wanted, fds.size(), connectErrors, notAccepted, accepted, openSeconds, rssBefore, rssHeld, rssAfter,
        accepted > 0 ? static_cast<double>(rssHeld - rssBefore) * 1024.0 / static_cast<double>(accepted)
                     : 0.0,
        released ? 1 : 0, stackBefore, stackAfter, rssAfter >= 0 ? 1 : 0, probes.size(), probeErrors,
        percentile(probes, 50), probes.empty() ? 0.0 : probes.back());
    return 0;
}

} // namespace

int main(int argc, char **argv)
{
    if (argc < 2)
        fail("usage: loadgen freeport | http --port P --path /x ... | idle --port P --pid PID ...");
    catchStopSignals();
    const Options opt = Options::parse(argc, argv, 2);
    const std::string mode = argv[1];
    if (mode == "freeport")
        return freePort();
    if (mode == "http") {
        if (!opt.has("--port"))
            fail("http needs --port");
        HttpLoad load(opt);
        return load.run();
    }
    if (mode == "idle")
        return idleConnections(opt);
    fail("unknown mode");
}
