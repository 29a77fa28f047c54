#pragma once

#include "common/ServerControl.h"
#include "common/Settings.h"

#include <QString>
#include <QtGlobal>

#include <chrono>
#include <functional>
#include <memory>
#include <vector>

namespace vanterel {
class EventSink;
} // namespace vanterel

namespace vanterel::http {

class BuiltInPages;
class DeviceAccess;

// One connection slot as the server sees it (for tests and diagnostics).
struct SlotInfo {
    int state = 0; // 0 closed, 2 listening (slot 0), 7 connected
    qint64 bytesToSend = 0;
    qint64 bytesSent = 0;
    bool hasFile = false;
    QString filePath;
};

// The file server on a thread of its own. Slot 0 listens on the configured
// port; every accepted connection gets the lowest free slot, made on demand,
// reused once closed and never destroyed, whose index appears in Log.txt.
// Each connection carries one response; the server closes it once the socket
// has taken every byte. File bodies go out one piece per connection per tick
// of one shared 1 ms clock, each piece only once the socket took the last.
//
// The thread runs an event loop (Asio over epoll). It reads requests, runs
// their commands and answers them without any other thread taking part; log
// lines leave through the event sink, which must be usable from this thread.
// The rooms of the loop: Listener.h, ConnectionSlots.h, Pacer.h; this class
// starts, feeds and stops it.
//
// Each call says which thread may make it: "start-up" calls come before
// Start() from the thread that made the server, "owner" calls from that
// thread at any time, and the rest from any thread.
class Server final : public ServerControl {
public:
    // A connection that has sent nothing for this long is closed. It has
    // asked for nothing, so no response is cut short, but it holds a
    // descriptor and a slot. A browser sends its request at once.
    static constexpr std::chrono::milliseconds DefaultIdleTimeout{30000};

    using CommandRunner = std::function<void(const QString &commandName)>;
    // Told on the network thread whenever the listener starts or fails to.
    using ListeningObserver = std::function<void(bool listening, const QString &address, qint32 port)>;

    // The server keeps what it needs of the settings (port, document root,
    // signature, the site rule); later changes reach it through ServerControl.
    // devices: only the devices it allows press keys when it says so;
    // builtIns: the pages under /.vanterel/. Both must outlive the server.
    Server(const Settings &settings, EventSink &log, CommandRunner runCommand = {},
           DeviceAccess *devices = nullptr, BuiltInPages *builtIns = nullptr);
    ~Server() override; // Shutdown()

    // Start-up: listens on the port of the settings. Returns whether it now
    // listens; ListeningLine() or ListenFailureLine() then says so.
    bool StartListening();
    void setIdleTimeout(std::chrono::milliseconds timeout);
    void setListeningObserver(ListeningObserver observer);
    // Start-up, last: the network thread starts serving.
    void Start();

    // Owner: "Server listening on address <ip>:<port>", as StartListening()
    // found it.
    QString ListeningLine() const;
    // Owner: why StartListening() could not listen, as a full log line.
    QString ListenFailureLine() const;
    // Owner: DefaultIdleTimeout unless setIdleTimeout() changed it.
    std::chrono::milliseconds idleTimeout() const;
    // Owner: closes every socket, the listener first, and every open file,
    // and ends the network thread. Later calls return at once.
    void Shutdown();
    // Owner: runs fn on the network thread and waits until it ran (at once on
    // the calling thread before Start() and after Shutdown()).
    void call(const std::function<void()> &fn);
    // Owner: the slots as they are now, index 0 the listener.
    std::vector<SlotInfo> slotInfo();

    // Any thread: applied in order on the network thread, which logs the outcome.
    void RestartListening(qint32 port) override;
    void SetDocumentRoot(const QString &documentRoot) override;
    // Any thread: runs fn on the network thread without waiting (at once on
    // the calling thread before Start() and after Shutdown()).
    void Post(std::function<void()> fn);

private:
    struct Engine;
    std::unique_ptr<Engine> d;
};

} // namespace vanterel::http
