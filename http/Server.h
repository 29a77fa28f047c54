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
class Server final : public ServerControl {
public:
    // Size of one piece of a file: one is sent per connection per tick.
    static constexpr qint64 PieceSize = 2048;
    static constexpr std::chrono::milliseconds TickInterval{1};
    // A connection that has sent nothing for this long is closed. It has
    // asked for nothing, so no response is cut short, but it holds a
    // descriptor and a slot: enough of them, opened and left alone, would
    // leave none for real requests. A browser sends its request at once.
    static constexpr std::chrono::milliseconds DefaultIdleTimeout{30000};

    using CommandRunner = std::function<void(const QString &commandName)>;
    // Told on the server's thread whenever the listener starts or fails to.
    using ListeningObserver = std::function<void(bool listening, const QString &address, qint32 port)>;

    // The server keeps its own copy of the settings it needs (port, document
    // root, signature); later changes reach it through ServerControl.
    Server(const Settings &settings, EventSink &log, CommandRunner runCommand = {});
    ~Server() override; // Shutdown()

    // Start-up, before Start(), on the calling thread: listens on the port of
    // the settings. Returns whether it now listens.
    bool StartListening();
    // "Server listening on address <ip>:<port>", after StartListening() succeeded.
    QString ListeningLine() const;
    // Why the last attempt to listen failed, as a full log line.
    QString ListenFailureLine() const;

    void setIdleTimeout(std::chrono::milliseconds timeout); // before Start()
    void setListeningObserver(ListeningObserver observer);  // before Start()

    // The network thread starts serving.
    void Start();
    // Closes every socket, the listener first, and every open file, and ends
    // the network thread. Later calls return at once.
    void Shutdown();

    void RestartListening(qint32 port) override;
    void SetDocumentRoot(const QString &documentRoot) override;

    // Runs fn on the network thread (on the calling thread before Start() and
    // after Shutdown()). Call waits until it ran; Post does not.
    void Call(const std::function<void()> &fn);
    void Post(std::function<void()> fn);

    // The slots as they are now, index 0 the listener.
    std::vector<SlotInfo> Slots();

private:
    struct Engine;
    std::unique_ptr<Engine> d;
};

} // namespace vanterel::http
