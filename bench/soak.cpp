// Soak runs: how the program holds up under what it meets now and then over a
// long life. Each mode prints one "key=value ..." line of figures; none judges
// them (bench/run.sh puts them in its results table).
//
//   soak resets --port P --pid PID [--clients 1000] [--wave 100] [--path /big.zip]
//       clients that ask for a big file and reset the connection (SO_LINGER 0)
//       at spread moments (at once, inside the header, early in the body), a
//       wave at a time, the whole wave together. Reports the program's open
//       descriptors before and once settled after, its memory, and a request
//       served after them.
//   soak slowreaders --port P --pid PID --path /big.zip --length BYTES [--readers 32] [--stall-ms 3000]
//       readers with small receive buffers that ask for the file and read
//       nothing for the stall: how much the program's memory grew per reader;
//       then they read on: how many got every byte, and when the last did.
//   soak exhaustion --port P --pid PID
//       against a program started with a low open-file limit: connections that
//       ask for nothing until it can take no more, a request waiting behind
//       them, the program's processor use while it cannot accept; then ours all
//       close: how soon the waiting request is answered, descriptors left over.
//   soak savekill [--rounds 150]
//       a child saving keys.dat over and over (a large and a small content in
//       turn) is killed at random moments: how often the file was whole (either
//       content) or torn, and the files left beside it.
//   soak strokes [--strokes 10000]
//       strokes of random keys and modifiers through a key sink whose calls fail
//       at random (2 %, 20 %, 50 % of them), a failure taken at its worst for
//       the keyboard: keys left down once the player has shut down.
//
// Loopback only: every connection goes to 127.0.0.1.
#include "bench/support/BenchSupport.h"
#include "common/Settings.h"
#include "config/ConfigFile.h"
#include "config/ReplaceFile.h"
#include "inject/StrokePlayer.h"
#include "keys/KeyBindings.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include <algorithm>
#include <arpa/inet.h>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <memory>
#include <mutex>
#include <netinet/in.h>
#include <poll.h>
#include <random>
#include <set>
#include <string>
#include <string_view>
#include <sys/socket.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

using namespace vanterel::bench;
using namespace std::chrono_literals;

Options options;

// ------------------------------------------------------- the program, from outside

// Waits until the descriptor count is back at `want` or below; the count then.
long long settledDescriptors(long long pid, long long want)
{
    const Clock::time_point deadline = Clock::now() + 10s;
    long long n = openDescriptors(pid);
    while (n > want && Clock::now() < deadline) {
        std::this_thread::sleep_for(10ms);
        n = openDescriptors(pid);
    }
    return n;
}

int connectTo(long long port, int receiveBuffer = 0)
{
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (receiveBuffer > 0) // before connecting, so that the window is small from the start
        setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &receiveBuffer, sizeof receiveBuffer);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(static_cast<std::uint16_t>(port));
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (fd >= 0 && connect(fd, reinterpret_cast<const sockaddr *>(&addr), sizeof addr) == 0)
        return fd;
    if (fd >= 0)
        close(fd);
    return -1;
}

bool sendRequest(int fd, const std::string &path)
{
    const std::string request = "GET " + path + " HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n";
    return send(fd, request.data(), request.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(request.size());
}

// Reads until the peer closes, at most `wait`; false when it did not close.
bool readToEnd(int fd, std::string &into, std::chrono::milliseconds wait)
{
    const Clock::time_point deadline = Clock::now() + wait;
    char buffer[65536];
    for (;;) {
        pollfd readable{fd, POLLIN, 0};
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
        if (left.count() <= 0 || poll(&readable, 1, static_cast<int>(left.count())) != 1)
            return false;
        const ssize_t n = recv(fd, buffer, sizeof buffer, 0);
        if (n <= 0)
            return n == 0;
        into.append(buffer, static_cast<std::size_t>(n));
    }
}

// A request for a missing file: whether it was answered, and in how many ms.
std::pair<bool, double> probe(long long port, std::chrono::milliseconds wait = 10s)
{
    const Clock::time_point start = Clock::now();
    const int fd = connectTo(port);
    std::string response;
    const bool ok = fd >= 0 && sendRequest(fd, "/missing-probe.htm") && readToEnd(fd, response, wait)
        && response.rfind("HTTP/1.1 404 ", 0) == 0;
    if (fd >= 0)
        close(fd);
    return {ok, msSince(start)};
}

void resetAndClose(int fd)
{
    const linger hard{1, 0};
    setsockopt(fd, SOL_SOCKET, SO_LINGER, &hard, sizeof hard);
    close(fd);
}

int resets()
{
    const long long port = options.number("--port", 0), pid = options.number("--pid", 0);
    const long long clients = options.number("--clients", 1000),
                    wave = std::max(1LL, options.number("--wave", 100));
    const std::string path = options.text("--path", "/big.zip");
    // Bytes each client reads before it resets: none, inside the header, into the body.
    const std::size_t moments[] = {0, 1, 60, 4096, 16384};
    probe(port); // the first request may open what the program then keeps
    const long long fdsBefore = openDescriptors(pid), rssBefore = residentKiB(pid);
    const Clock::time_point start = Clock::now();
    long long done = 0, failed = 0, endedEarly = 0;
    while (done + failed < clients) {
        std::vector<int> fds;
        for (long long i = 0; i < std::min(wave, clients - done - failed); ++i) {
            const int fd = connectTo(port);
            if (fd >= 0 && sendRequest(fd, path)) {
                fds.push_back(fd);
            } else {
                ++failed;
                if (fd >= 0)
                    close(fd);
            }
        }
        for (std::size_t i = 0; i < fds.size(); ++i) {
            std::string got;
            char buffer[65536];
            const std::size_t moment = moments[(done + static_cast<long long>(i)) % 5];
            timeval wait{10, 0};
            setsockopt(fds[i], SOL_SOCKET, SO_RCVTIMEO, &wait, sizeof wait);
            while (got.size() < moment) {
                const ssize_t n = recv(fds[i], buffer, std::min(sizeof buffer, moment - got.size()), 0);
                if (n <= 0) {
                    ++endedEarly;
                    break;
                }
                got.append(buffer, static_cast<std::size_t>(n));
            }
        }
        for (const int fd : fds) // the whole wave together
            resetAndClose(fd);
        done += static_cast<long long>(fds.size());
    }
    const double seconds = msSince(start) / 1000;
    const long long fdsAfter = settledDescriptors(pid, fdsBefore);
    const auto [probeOk, probeMs] = probe(port);
    std::printf(
        "clients=%lld wave=%lld reset=%lld connect_errors=%lld ended_early=%lld seconds=%.2f fds_before=%lld "
        "fds_after=%lld fds_leaked=%lld rss_before_kib=%lld rss_after_kib=%lld probe_ok=%d probe_ms=%.2f "
        "alive=%d\n",
        clients, wave, done, failed, endedEarly, seconds, fdsBefore, fdsAfter, fdsAfter - fdsBefore,
        rssBefore, residentKiB(pid), probeOk, probeMs, residentKiB(pid) >= 0);
    return 0;
}

int slowReaders()
{
    const long long port = options.number("--port", 0), pid = options.number("--pid", 0);
    const long long readers = options.number("--readers", 32), stallMs = options.number("--stall-ms", 3000);
    const long long length = options.number("--length", 0);
    const long long rssBefore = residentKiB(pid);
    std::vector<int> fds;
    for (long long i = 0; i < readers; ++i) {
        const int fd = connectTo(port, 4096);
        if (fd >= 0 && sendRequest(fd, options.text("--path", "/big.zip")))
            fds.push_back(fd);
    }
    long long rssStalled = rssBefore;
    for (const Clock::time_point until = Clock::now() + std::chrono::milliseconds(stallMs);
         Clock::now() < until;) {
        std::this_thread::sleep_for(50ms);
        rssStalled = std::max(rssStalled, residentKiB(pid));
    }
    // Then everyone reads on, together.
    const Clock::time_point start = Clock::now();
    std::vector<std::string> got(fds.size());
    std::vector<pollfd> open;
    for (const int fd : fds)
        open.push_back({fd, POLLIN, 0});
    char buffer[65536];
    long long finished = 0, complete = 0;
    double lastMs = 0;
    while (finished < static_cast<long long>(fds.size()) && msSince(start) < 120000
           && poll(open.data(), open.size(), 1000) >= 0) {
        for (std::size_t i = 0; i < open.size(); ++i) {
            if (open[i].fd < 0 || !(open[i].revents & (POLLIN | POLLHUP | POLLERR)))
                continue;
            const ssize_t n = recv(open[i].fd, buffer, sizeof buffer, 0);
            if (n > 0) {
                got[i].append(buffer, static_cast<std::size_t>(n));
                continue;
            }
            const std::size_t header = got[i].find("\r\n\r\n");
            complete += header != std::string::npos
                && static_cast<long long>(got[i].size() - header - 4) == length;
            ++finished;
            lastMs = msSince(start);
            close(open[i].fd);
            open[i].fd = -1;
        }
    }
    std::printf("readers=%zu stall_ms=%lld rss_before_kib=%lld rss_stalled_kib=%lld per_reader_kib=%.1f "
                "complete=%lld "
                "seconds_to_last=%.2f\n",
                fds.size(), stallMs, rssBefore, rssStalled,
                fds.empty() ? 0.0
                            : static_cast<double>(rssStalled - rssBefore) / static_cast<double>(fds.size()),
                complete, lastMs / 1000);
    return 0;
}

int exhaustion()
{
    const long long port = options.number("--port", 0), pid = options.number("--pid", 0);
    probe(port); // the first request may open what the program then keeps
    const long long fdsBefore = openDescriptors(pid);
    // Idle connections, a batch at a time, until the program takes no more.
    std::vector<int> idle;
    long long held = 0;
    for (int stalled = 0; stalled < 3 && idle.size() < 100000;) {
        for (int i = 0; i < 32; ++i)
            if (const int fd = connectTo(port); fd >= 0)
                idle.push_back(fd);
        std::this_thread::sleep_for(200ms);
        const long long now = openDescriptors(pid) - fdsBefore;
        stalled = now > held ? 0 : stalled + 1;
        held = std::max(held, now);
    }
    // A request waits behind them; meanwhile the program's processor time.
    const int waiting = connectTo(port);
    const bool sent = waiting >= 0 && sendRequest(waiting, "/missing-probe.htm");
    const double cpuBefore = cpuSeconds(pid);
    std::this_thread::sleep_for(2s);
    const double cpuPercent = (cpuSeconds(pid) - cpuBefore) / 2 * 100;
    const Clock::time_point freed = Clock::now();
    for (const int fd : idle)
        close(fd);
    std::string response;
    const bool answered
        = sent && readToEnd(waiting, response, 10s) && response.rfind("HTTP/1.1 404 ", 0) == 0;
    const double recoveryMs = msSince(freed);
    if (waiting >= 0)
        close(waiting);
    const long long fdsAfter = settledDescriptors(pid, fdsBefore);
    std::printf("connections=%zu held=%lld cpu_percent_while_full=%.1f waiting_answered=%d recovery_ms=%.1f "
                "fds_before=%lld fds_after=%lld fds_leaked=%lld probe_ok=%d alive=%d\n",
                idle.size(), held, cpuPercent, answered, recoveryMs, fdsBefore, fdsAfter,
                fdsAfter - fdsBefore, probe(port).first, residentKiB(pid) >= 0);
    return 0;
}

// ------------------------------------------------------------ keys.dat, killed

struct Content {
    vanterel::Settings settings;
    vanterel::keys::KeyBindings bindings;
};

// Two contents of clearly different sizes: a file cut short, or one that mixes
// them, can pass for neither.
Content content(bool large)
{
    Content c;
    c.settings.ServerPort = large ? 8080 : 80;
    c.settings.DocumentRoot
        = large ? QStringLiteral("/home/user/a much longer folder/htdocs") : QStringLiteral("/srv");
    for (int i = 0; i < (large ? 3000 : 2); ++i)
        c.bindings.append({i % 200, i % 8, (i * 7) % 200, (i / 8) % 8, QStringLiteral("Command%1").arg(i)});
    return c;
}

QByteArray readAll(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

int saveKill()
{
    const long long rounds = options.number("--rounds", 150);
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("keys.dat"));
    const Content contents[2] = {content(true), content(false)};
    QByteArray bytes[2];
    const Clock::time_point timing = Clock::now();
    for (int i = 0; i < 2; ++i) {
        if (!vanterel::config::SaveConfig(path, contents[i].settings, contents[i].bindings).ok) {
            std::fprintf(stderr, "soak: cannot save in %s\n", qPrintable(dir.path()));
            return 1;
        }
        bytes[i] = readAll(path);
    }
    // Kills spread over about two saves, however busy the machine is.
    const auto twoSaves = std::max<long long>(
        1, std::chrono::duration_cast<std::chrono::microseconds>(Clock::now() - timing).count());
    std::mt19937 rng(20240611); // seeded: a run can be made again as it was
    long long whole[2] = {0, 0}, torn = 0;
    for (long long round = 0; round < rounds; ++round) {
        int ready[2];
        if (pipe(ready) != 0)
            return 1;
        const pid_t child = fork();
        if (child == 0) { // only plain calls after fork(): no threads, no event loop
            close(ready[0]);
            for (unsigned n = 0;; ++n) {
                if (write(ready[1], "x", 1) != 1)
                    _exit(2);
                (void)vanterel::config::SaveConfig(path, contents[n % 2].settings, contents[n % 2].bindings);
            }
        }
        close(ready[1]);
        char byte;
        // Once it has begun one to three saves, somewhere within the next two.
        for (unsigned starts = 1 + rng() % 3; starts > 0 && read(ready[0], &byte, 1) == 1;)
            --starts;
        std::this_thread::sleep_for(
            std::chrono::microseconds(rng() % static_cast<unsigned long long>(twoSaves)));
        kill(child, SIGKILL);
        close(ready[0]);
        waitpid(child, nullptr, 0);
        const QByteArray now = readAll(path);
        now == bytes[0] ? ++whole[0] : now == bytes[1] ? ++whole[1] : ++torn;
    }
    const QStringList beside = QDir(dir.path()).entryList(QDir::Files | QDir::Hidden | QDir::System);
    const long long named = beside.filter(QLatin1String(vanterel::config::SaveTemporaryInfix)).size();
    std::printf("kills=%lld whole=%lld whole_large=%lld whole_small=%lld torn=%lld leftovers=%lld "
                "leftovers_named=%lld\n",
                rounds, whole[0] + whole[1], whole[0], whole[1], torn,
                static_cast<long long>(beside.size()) - 1, named);
    return 0;
}

// ------------------------------------------------------------- failing keys

using vanterel::inject::KeySink;

// The keyboard as the system sees it, behind a sink whose calls fail at random
// (seeded). A failure is taken at its worst: a failed down may still have gone
// through, a failed up did not, a failed send loses the transition it was to
// send and a failed flush the ups since the last flush that worked.
class FlakySink final : public KeySink {
public:
    FlakySink(std::set<int> &down, std::map<std::string, long long> &failures, unsigned seed, double rate)
        : m_down(down)
        , m_failures(failures)
        , m_random(seed)
        , m_fail(rate)
    {
    }
    bool keyDown(const KeyConstads::KeyInfo &key) override
    {
        std::lock_guard lock(m_mutex);
        const bool ok = !failNow("down");
        if (ok || m_coin(m_random))
            m_down.insert(key.linuxCode);
        return ok;
    }
    bool keyUp(const KeyConstads::KeyInfo &key) override
    {
        std::lock_guard lock(m_mutex);
        m_unsent = 0;
        if (failNow("up"))
            return false;
        if (m_down.erase(key.linuxCode))
            m_unflushed.push_back(m_unsent = key.linuxCode);
        return true;
    }
    bool send() override
    {
        std::lock_guard lock(m_mutex);
        const bool ok = !failNow("send");
        if (!ok && m_unsent != 0) {
            m_down.insert(m_unsent);
            m_unflushed.pop_back();
        }
        m_unsent = 0;
        return ok;
    }
    bool flush() override
    {
        std::lock_guard lock(m_mutex);
        const bool ok = !failNow("flush");
        if (!ok)
            m_down.insert(m_unflushed.begin(), m_unflushed.end());
        m_unflushed.clear();
        return ok;
    }
    bool activate(vanterel::inject::WindowHandle) override
    {
        std::lock_guard lock(m_mutex);
        return !failNow("activate");
    }

private:
    // flush() and activate() may overlap another thread's transitions: every
    // call takes the lock.
    bool failNow(const char *call)
    {
        const bool fail = m_fail(m_random);
        m_failures[call] += fail;
        ++m_failures["calls"];
        return fail;
    }

    std::set<int> &m_down;
    std::map<std::string, long long> &m_failures;
    std::mutex m_mutex;
    std::mt19937 m_random;
    std::bernoulli_distribution m_fail, m_coin{0.5};
    std::vector<int> m_unflushed;
    int m_unsent = 0;
};

int strokes()
{
    const long long count = options.number("--strokes", 10000);
    long long warnings = 0;
    vanterel::inject::SetDiagnostics([&](std::string_view) { ++warnings; });
    std::vector<std::int32_t> codes; // every key that presses something, modifiers included
    for (const KeyConstads::KeyInfo &key : KeyConstads::AllKeys())
        if (key.linuxCode != 0)
            codes.push_back(key.code);
    std::printf("strokes=%lld", count);
    for (const double rate : {0.02, 0.2, 0.5}) {
        std::set<int> down;
        std::map<std::string, long long> failures;
        std::mt19937 rng(static_cast<unsigned>(rate * 1000));
        const Clock::time_point start = Clock::now();
        {
            vanterel::inject::StrokePlayer player(
                std::make_unique<FlakySink>(down, failures, static_cast<unsigned>(rate * 7919), rate), 0ms);
            std::uniform_int_distribution<std::size_t> pick(0, codes.size() - 1);
            std::bernoulli_distribution flag(0.4);
            for (long long i = 0; i < count; ++i)
                player.play(codes[pick(rng)], flag(rng), flag(rng), flag(rng), rng() % 4);
            player.shutdown();
        }
        const int percent = static_cast<int>(rate * 100);
        std::printf(
            " left_down_%d=%zu failed_ups_%d=%lld failed_flushes_%d=%lld calls_%d=%lld seconds_%d=%.2f",
            percent, down.size(), percent, failures["up"], percent, failures["flush"], percent,
            failures["calls"], percent, msSince(start) / 1000);
    }
    std::printf(" warnings=%lld\n", warnings);
    return 0;
}

} // namespace

int main(int argc, char **argv)
{
    const std::string mode = argc > 1 ? argv[1] : "";
    options = Options::parse(argc, argv, 2);
    std::signal(SIGPIPE, SIG_IGN);
    if ((mode == "resets" || mode == "slowreaders" || mode == "exhaustion")
        && (options.number("--port", 0) <= 0 || residentKiB(options.number("--pid", 0)) < 0)) {
        std::fprintf(stderr, "soak: %s needs --port and the --pid of the running program\n", mode.c_str());
        return 2;
    }
    if (mode == "resets")
        return resets();
    if (mode == "slowreaders")
        return slowReaders();
    if (mode == "exhaustion")
        return exhaustion();
    if (mode == "savekill")
        return saveKill();
    if (mode == "strokes")
        return strokes();
    std::fprintf(stderr, "usage: soak resets|slowreaders|exhaustion|savekill|strokes [--option value]...\n");
    return 2;
}
