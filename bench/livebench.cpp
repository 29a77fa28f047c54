// Taps over the live channel against a new connection per tap, through the real server in this process:
// for every tap the time to the command reaching the key path (the server's command runner, which hands
// it to the key thread) and to the page's answer (the response's first byte for a link, "ok <id>" for the
// channel), and how often a tap was pressed more than once. Meant to run once on the loopback and once in
// a network namespace that drops packets (bench/live.sh sets that up).
//
//   livebench [--taps N] [--gap-ms G] [--resend-ms R]
//
// A link tap connects, sends "GET /index.htm?T<n>" and reads until the server closes. A channel tap sends
// "<id> T<n>" on the one open channel and waits for its answer; with no answer after R ms (default 1000)
// the client does what the page's script does: it drops the channel, opens a new one and sends the same
// id again. Prints one "path=... key_p50=... key_p99=... key_max=... ack_p50=... ack_p99=... ack_max=...
// over500=... doubles=... reconnects=..." line per path; times in ms.
#include "bench/support/BenchSupport.h"
#include "common/EventSink.h"
#include "common/Settings.h"
#include "http/Server.h"
#include "tests/support/FreePort.h"
#include "tests/support/LiveClient.h"
#include "tests/support/TcpClient.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QHash>
#include <QTemporaryDir>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

using namespace vanterel;
using namespace vanterel::bench;

namespace {

class Quiet final : public EventSink {
public:
    void AddMsg(const QString &) override { }
    void WriteLogLine(const QString &) override { }
    bool LogEnabled() const override { return false; }
};

// When each command reached the key path, and how often.
class Presses {
public:
    void press(const QString &command)
    {
        const auto now = Clock::now();
        std::lock_guard lock(m_mutex);
        Seen &seen = m_seen[command];
        if (seen.count++ == 0)
            seen.first = now;
    }
    // The first press of the command and how many there were.
    std::pair<Clock::time_point, int> of(const QString &command)
    {
        std::lock_guard lock(m_mutex);
        const Seen seen = m_seen.value(command);
        return {seen.first, seen.count};
    }

private:
    struct Seen {
        Clock::time_point first;
        int count = 0;
    };
    std::mutex m_mutex;
    QHash<QString, Seen> m_seen;
};

struct Series {
    std::vector<double> key, ack;
    int doubles = 0, missing = 0, reconnects = 0;
};

void report(const char *path, Series &s)
{
    std::sort(s.key.begin(), s.key.end());
    std::sort(s.ack.begin(), s.ack.end());
    const auto over = [](const std::vector<double> &v) {
        return std::count_if(v.begin(), v.end(), [](double ms) { return ms > 500; });
    };
    std::printf("path=%s taps=%zu key_p50=%.3f key_p99=%.3f key_max=%.3f ack_p50=%.3f ack_p99=%.3f "
                "ack_max=%.3f over500=%ld doubles=%d missing=%d reconnects=%d\n",
                path, s.ack.size(), percentile(s.key, 50), percentile(s.key, 99),
                s.key.empty() ? 0 : s.key.back(), percentile(s.ack, 50), percentile(s.ack, 99),
                s.ack.empty() ? 0 : s.ack.back(), long(std::max(over(s.key), over(s.ack))), s.doubles,
                s.missing, s.reconnects);
    std::fflush(stdout);
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    const Options options = Options::parse(argc, argv, 1);
    const int taps = int(options.number("--taps", 300));
    const int gapMs = int(options.number("--gap-ms", 5));
    const int resendMs = int(options.number("--resend-ms", 1000));

    QTemporaryDir dir;
    if (!dir.isValid() || !QDir(dir.path()).mkpath(QStringLiteral("htdocs")))
        fail("no temporary folder");
    QFile page(dir.filePath(QStringLiteral("htdocs/index.htm")));
    if (!page.open(QIODevice::WriteOnly) || page.write("<meta name=viewport>ok") < 0)
        fail("cannot write the page");
    page.close();

    Settings settings;
    settings.ServerPort = testing::freePort();
    settings.DocumentRoot = dir.filePath(QStringLiteral("htdocs"));
    settings.ServerSignature = QStringLiteral("Vanterel Version 1.1.0");
    Quiet log;
    Presses presses;
    http::Server server(settings, log, [&presses](const QString &command) { presses.press(command); });
    if (!server.StartListening())
        fail("cannot listen");
    server.Start();
    const int port = settings.ServerPort;
    const auto pause = [gapMs] { std::this_thread::sleep_for(std::chrono::milliseconds(gapMs)); };
    const auto measure
        = [&presses](Series &s, const QString &command, Clock::time_point start, Clock::time_point answered) {
              const auto [first, count] = presses.of(command);
              if (count == 0) {
                  ++s.missing;
                  return;
              }
              s.doubles += count - 1;
              s.key.push_back(msSince(start, first));
              s.ack.push_back(msSince(start, answered));
          };

    Series links;
    for (int n = 0; n < taps && !stopRequested; ++n) {
        const QString command = QStringLiteral("L%1").arg(n);
        const auto start = Clock::now();
        testing::TcpClient client(port);
        if (!client.connected() || !client.send("GET /index.htm?" + command.toUtf8() + " HTTP/1.1\r\n\r\n"))
            fail("a link tap could not connect");
        client.read(1);
        const auto answered = Clock::now();
        client.read();
        measure(links, command, start, answered);
        pause();
    }
    report("link", links);

    Series channel;
    const std::string origin = "http://127.0.0.1:" + std::to_string(port);
    auto live = std::make_unique<testing::LiveClient>(port, origin, resendMs);
    for (int n = 0; n < taps && !stopRequested; ++n) {
        const QString command = QStringLiteral("C%1").arg(n);
        const QByteArray id = "b" + QByteArray::number(n);
        const auto start = Clock::now();
        QByteArray answer = live->open() ? live->ask(id + ' ' + command.toUtf8()) : QByteArray();
        // The page's script: no answer in time, so the channel is taken for dead and the tap goes again,
        // with its id, on a new one.
        while (answer != "ok " + id && !stopRequested) {
            ++channel.reconnects;
            live->drop();
            live = std::make_unique<testing::LiveClient>(port, origin, resendMs);
            answer = live->open() ? live->ask(id + ' ' + command.toUtf8()) : QByteArray();
        }
        measure(channel, command, start, Clock::now());
        pause();
    }
    report("channel", channel);
    live.reset();
    server.Shutdown();
    return 0;
}
