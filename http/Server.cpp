#include "http/Server.h"

#include "common/EventSink.h"
#include "http/NetworkInterfaces.h"
#include "http/RequestHandler.h"
#include "http/SocketIo.h"

#include <QLoggingCategory>
#include <queue>

#include <asio/executor_work_guard.hpp>
#include <asio/io_context.hpp>
#include <asio/ip/tcp.hpp>
#include <asio/ip/v6_only.hpp>
#include <asio/post.hpp>
#include <asio/steady_timer.hpp>
#include <csignal>
#include <deque>
#include <future>
#include <pthread.h>
#include <thread>

Q_LOGGING_CATEGORY(lcServer, "vanterel.http", QtWarningMsg)

namespace vanterel::http {

namespace {

using Clock = std::chrono::steady_clock;
using asio::ip::tcp;

enum SlotState {
    StateClosed = 0,
    StateListening = 2,
    StateConnected = 7,
};

// What one arrival is read into; an arrival larger than this is read on in
// further calls and handled whole.
constexpr std::size_t ReadBufferSize = 64 * 1024;
// Bursts of clients must not overflow the queue of connections waiting to be
// accepted: each overflow costs the client a second or more of SYN retries.
constexpr int ListenBacklog = 1024;
// After accepting failed (out of descriptors, typically) the listener rests
// this long before it tries again.
constexpr std::chrono::milliseconds AcceptRetry{100};
// Connections taken from the queue in one turn before timers and other
// sockets get theirs.
constexpr int MaxAcceptsPerTurn = 64;
// Ticks late by more than this are not made up for: after a stall the clock
// starts afresh instead of sending a burst of pieces.
constexpr std::chrono::milliseconds MaxTickLag{100};

// How far a send got.
enum class Push {
    Done,      // the socket took everything queued
    Blocked,   // the socket has no room; wait until it has
    Failed,    // the connection is gone
    FileEnded, // the file holds fewer bytes than its header announced
};

struct Slot {
    int state = StateClosed;
    socketio::Handle fd = socketio::InvalidHandle;
    // Made when the slot first has to wait for its socket; from then on it
    // owns the descriptor. Most requests are read and answered at once and
    // never wait, which spares the calls that registering a socket costs.
    std::unique_ptr<tcp::socket> socket;
    socketio::PeerAddress peer;
    quint16 localPort = 0;
    bool registered = false;
    // Counts the connections the slot has carried, so that a wait that ends
    // after its connection was closed never touches the next one.
    quint32 generation = 0;
    bool gotData = false;
    bool peerShutDown = false;
    // The connection is read from: before its request, and while a response
    // of more than one piece is sent (a further request takes the slot over).
    bool readOn = false;
    int lastError = 0;
    bool reading = false;
    bool writing = false;
    bool active = false; // waits for the next tick
    bool pushPending = false;
    Push pending = Push::Done;

    // The response.
    FileHandle file;
    qint64 fileLength = 0; // as announced in the header
    qint64 fileOffset = 0;
    qint64 pieceLeft = 0; // of the piece being sent, not yet taken
    qint64 BytesToSend = 0;
    qint64 BytesSent = 0;
    QString FilePath;
    QByteArray unsent; // handed to us, not yet taken by the socket
    qsizetype unsentAt = 0;

    qsizetype unsentSize() const { return unsent.size() - unsentAt; }
};

struct IdleEntry {
    int index;
    quint32 generation;
    Clock::time_point deadline;
};

struct ActiveEntry {
    int index;
    quint32 generation;
};

QString listenErrorText(const asio::error_code &ec)
{
    if (ec == asio::error::access_denied || ec.value() == EPERM)
        return QStringLiteral("permission denied (ports below 1024 need root or the "
                              "CAP_NET_BIND_SERVICE capability)");
    if (ec == asio::error::address_in_use)
        return QStringLiteral("the port is already in use by another program");
    return QString::fromStdString(ec.message());
}

} // namespace

struct Server::Engine final : Connections {
    Engine(const Settings &s, EventSink &logSink, CommandRunner run)
        : settings(s)
        , log(logSink)
        , handler(*this, logSink, ServingRules(s.ServerSignature, s.AllowOtherSites), s.DocumentRoot,
                  std::move(run))
    {
        slots.emplace_back(); // slot 0 belongs to the listener
        readBuffer.resize(ReadBufferSize);
    }

    // Listener.
    bool startListening();
    void stopListening();
    void waitForConnections();
    void acceptSome();
    void onAccepted(socketio::Handle fd, const socketio::PeerAddress &peer);
    void notifyListening(bool listening);

    // Connections.
    void readFrom(int k);
    void waitReadable(int k);
    void waitWritable(int k);
    template <typename Then> void waitFor(int k, tcp::socket::wait_type what, bool Slot::*waiting, Then then);
    bool ensureRegistered(int k);
    Push push(Slot &s);
    void after(int k, Push p);
    void onSendComplete(int k);
    void finish(int k);
    void closeConnection(int k);
    void onError(int k, int error);
    void queue(Slot &s, const QByteArray &bytes);

    // Pacing and idle connections.
    void activate(int k);
    void armTick();
    void onTick();
    void sendPiece(int k);
    void armIdleSweep();
    void onIdleSweep();

    void shutdownHere();

    // Connections, called by request handling.
    void takeOver(int index) override;
    void sendText(int index, const QByteArray &response) override;
    void sendFile(int index, const QByteArray &header, FileHandle file, qint64 length,
                  const QString &filePath) override;

    Settings settings;
    EventSink &log;
    // All sockets and timers are used on the network thread alone (and on
    // the starting thread before it runs), so the event loop's per-socket
    // locking is left out; posting from other threads stays safe.
    asio::io_context io{ASIO_CONCURRENCY_HINT_UNSAFE_IO};
    asio::executor_work_guard<asio::io_context::executor_type> work{io.get_executor()};
    std::thread thread;
    bool running = false;
    bool shutDown = false;

    tcp::acceptor acceptor{io};
    tcp protocol = tcp::v4();
    quint32 listenGeneration = 0;
    QString listenError;
    // The address the listening line names, looked up once per listen.
    QString listenAddress;
    bool acceptErrorLogged = false;
    asio::steady_timer acceptRetry{io};
    ListeningObserver listeningObserver;

    RequestHandler handler;
    // Slots never move: waits and handlers refer to them by index while
    // others are added.
    std::deque<Slot> slots;
    std::priority_queue<int, std::vector<int>, std::greater<>> freeSlots;
    std::vector<char> readBuffer;

    std::vector<ActiveEntry> active;
    asio::steady_timer tick{io};
    bool tickArmed = false;
    Clock::time_point nextTick{};

    std::chrono::milliseconds idleTimeout = DefaultIdleTimeout;
    // In order of acceptance, which with one timeout for all is also the
    // order of their deadlines: the sweep only ever looks at the front.
    std::deque<IdleEntry> idle;
    asio::steady_timer idleSweep{io};
    bool idleArmed = false;
};

// --- Listener -------------------------------------------------------------

bool Server::Engine::startListening()
{
    listenError.clear();
    const qint32 port = settings.ServerPort;
    if (port < 1 || port > 65535) {
        listenError = QStringLiteral("the port must be from 1 to 65535");
        return false;
    }
    asio::error_code ec;
    // Both IPv6 and IPv4 on one socket where the system has IPv6.
    protocol = tcp::v6();
    acceptor.open(protocol, ec);
    if (!ec)
        acceptor.set_option(asio::ip::v6_only(false), ec);
    if (ec) {
        acceptor.close(ec);
        protocol = tcp::v4();
        acceptor.open(protocol, ec);
    }
    if (!ec)
        acceptor.set_option(tcp::acceptor::reuse_address(true), ec);
    if (!ec)
        acceptor.bind(tcp::endpoint(protocol, static_cast<unsigned short>(port)), ec);
    if (!ec)
        acceptor.listen(ListenBacklog, ec);
    if (ec) {
        listenError = listenErrorText(ec);
        asio::error_code ignored;
        acceptor.close(ignored);
        return false;
    }
    ++listenGeneration;
    acceptErrorLogged = false;
    listenAddress = LocalIP();
    return true;
}

void Server::Engine::stopListening()
{
    ++listenGeneration;
    acceptRetry.cancel();
    asio::error_code ignored;
    acceptor.close(ignored);
}

void Server::Engine::notifyListening(bool listening)
{
    if (listeningObserver)
        listeningObserver(listening, listenAddress, settings.ServerPort);
}

void Server::Engine::waitForConnections()
{
    const quint32 generation = listenGeneration;
    acceptor.async_wait(tcp::acceptor::wait_read, [this, generation](const asio::error_code &ec) {
        if (ec || generation != listenGeneration)
            return;
        acceptSome();
    });
}

void Server::Engine::acceptSome()
{
    const quint32 generation = listenGeneration;
    for (int i = 0; i < MaxAcceptsPerTurn; ++i) {
        if (!acceptor.is_open())
            return;
        socketio::PeerAddress peer;
        const socketio::Result r = socketio::acceptConnection(acceptor.native_handle(), peer);
        if (r.wouldBlock) {
            waitForConnections();
            return;
        }
        if (r.error != 0) {
            // Out of descriptors, most likely: say it once, not once per retry.
            if (!acceptErrorLogged)
                qCWarning(lcServer) << "Cannot accept connections for now:" << socketio::errorText(r.error);
            acceptErrorLogged = true;
            acceptRetry.expires_after(AcceptRetry);
            acceptRetry.async_wait([this, generation](const asio::error_code &ec) {
                if (!ec && generation == listenGeneration)
                    acceptSome();
            });
            return;
        }
        acceptErrorLogged = false;
        onAccepted(static_cast<socketio::Handle>(r.bytes), peer);
    }
    asio::post(io, [this, generation] {
        if (generation == listenGeneration)
            acceptSome();
    });
}

void Server::Engine::onAccepted(socketio::Handle fd, const socketio::PeerAddress &peer)
{
    int k = 0;
    if (freeSlots.empty()) {
        slots.emplace_back();
        k = int(slots.size()) - 1;
    } else {
        k = freeSlots.top();
        freeSlots.pop();
    }
    Slot &s = slots[std::size_t(k)];
    s.fd = fd;
    s.peer = peer;
    s.localPort = quint16(settings.ServerPort);
    s.state = StateConnected;
    s.readOn = true;
    if (idleTimeout.count() > 0) {
        idle.push_back(IdleEntry{k, s.generation, Clock::now() + idleTimeout});
        armIdleSweep();
    }
    // Browsers send their request right after connecting, so it is often
    // here already: read at once rather than after a turn of the loop.
    readFrom(k);
}

// --- Reading --------------------------------------------------------------

void Server::Engine::readFrom(int k)
{
    Slot &s = slots[std::size_t(k)];
    const quint32 generation = s.generation;
    QByteArray arrival;
    bool ended = false;
    int error = 0;
    for (;;) {
        const socketio::Result r = socketio::receive(s.fd, readBuffer.data(), readBuffer.size());
        if (r.error != 0) {
            error = r.error;
            break;
        }
        if (r.wouldBlock)
            break;
        if (r.bytes == 0) {
            ended = true;
            break;
        }
        arrival.append(readBuffer.data(), qsizetype(r.bytes));
        if (std::size_t(r.bytes) < readBuffer.size())
            break;
    }

    if (!arrival.isEmpty()) {
        s.gotData = true;
        // Short responses are over before anything more could be read; a
        // longer one reads on from its first piece (sendPiece).
        s.readOn = false;
        const ConnectionInfo connection{QString::fromLatin1(socketio::addressText(s.peer)), s.localPort};
        handler.handle(k, arrival, connection);
        if (s.pushPending) {
            s.pushPending = false;
            after(k, s.pending);
        }
        if (s.generation != generation)
            return;
    }
    if (error != 0) {
        onError(k, error);
        return;
    }
    if (ended) {
        // The peer will send nothing more. A peer that only shut down its
        // sending side (as nc -N and some HTTP libraries do) still reads: it
        // gets its whole response. One that closed completely makes the next
        // send fail, which ends the connection then.
        s.peerShutDown = true;
        const bool responding = s.file || s.unsentSize() > 0 || s.pieceLeft > 0;
        if (!responding)
            closeConnection(k);
        return;
    }
    if (s.readOn)
        waitReadable(k);
}

bool Server::Engine::ensureRegistered(int k)
{
    Slot &s = slots[std::size_t(k)];
    if (s.registered)
        return true;
    if (!s.socket)
        s.socket = std::make_unique<tcp::socket>(io);
    asio::error_code ec;
    s.socket->assign(protocol, s.fd, ec);
    if (ec) {
        onError(k, ec.value());
        return false;
    }
    s.registered = true;
    return true;
}

// Waits once for the socket to become ready; a wait already pending is not
// doubled. A slot taken over by another connection meanwhile ignores it.
template <typename Then>
void Server::Engine::waitFor(int k, tcp::socket::wait_type what, bool Slot::*waiting, Then then)
{
    Slot &s = slots[std::size_t(k)];
    if (s.*waiting || !ensureRegistered(k))
        return;
    s.*waiting = true;
    const quint32 generation = s.generation;
    s.socket->async_wait(what, [this, k, generation, waiting, then](const asio::error_code &ec) {
        Slot &slot = slots[std::size_t(k)];
        if (slot.generation != generation)
            return;
        slot.*waiting = false;
        if (ec) {
            onError(k, ec.value());
            return;
        }
        then(slot);
    });
}

void Server::Engine::waitReadable(int k)
{
    waitFor(k, tcp::socket::wait_read, &Slot::reading, [this, k](Slot &) { readFrom(k); });
}

void Server::Engine::waitWritable(int k)
{
    waitFor(k, tcp::socket::wait_write, &Slot::writing, [this, k](Slot &slot) { after(k, push(slot)); });
}

// --- Sending --------------------------------------------------------------

void Server::Engine::queue(Slot &s, const QByteArray &bytes)
{
    if (s.unsentSize() == 0) {
        s.unsent = bytes; // shared, not copied
        s.unsentAt = 0;
    } else {
        s.unsent.append(bytes);
    }
}

Push Server::Engine::push(Slot &s)
{
    while (s.unsentSize() > 0) {
        const socketio::Result r
            = socketio::send(s.fd, s.unsent.constData() + s.unsentAt, std::size_t(s.unsentSize()));
        if (r.error != 0) {
            s.lastError = r.error;
            return Push::Failed;
        }
        if (r.wouldBlock || r.bytes == 0)
            return Push::Blocked;
        s.unsentAt += qsizetype(r.bytes);
        s.BytesSent += r.bytes;
    }
    s.unsent.clear();
    s.unsentAt = 0;
    while (s.pieceLeft > 0) {
        const socketio::Result r
            = socketio::sendFile(s.fd, s.file.get(), s.fileOffset, std::size_t(s.pieceLeft));
        if (r.error != 0) {
            s.lastError = r.error;
            return Push::Failed;
        }
        if (r.wouldBlock)
            return Push::Blocked;
        if (r.bytes == 0)
            return Push::FileEnded;
        s.fileOffset += r.bytes;
        s.pieceLeft -= r.bytes;
        s.BytesSent += r.bytes;
    }
    // The file is closed once its last byte has gone.
    if (s.file && s.fileOffset >= s.fileLength)
        s.file.reset();
    return Push::Done;
}

void Server::Engine::after(int k, Push p)
{
    switch (p) {
    case Push::Done:
        onSendComplete(k);
        return;
    case Push::Blocked:
        waitWritable(k);
        return;
    case Push::Failed:
        onError(k, slots[std::size_t(k)].lastError);
        return;
    case Push::FileEnded:
        // The file shrank after its length went out in the header: the
        // response can never be completed. Close, so that the client sees a
        // short body instead of waiting for ever.
        qCWarning(lcServer).noquote() << "File changed while being sent:" << slots[std::size_t(k)].FilePath;
        closeConnection(k);
        return;
    }
}

void Server::Engine::onSendComplete(int k)
{
    Slot &s = slots[std::size_t(k)];
    if (s.BytesSent < s.BytesToSend) {
        // More is to come from the file, at the next tick. Without a file
        // nothing more will come, and the connection waits for its peer.
        if (s.file)
            activate(k);
        return;
    }
    finish(k);
}

void Server::Engine::finish(int k)
{
    closeConnection(k);
    log.AddMsg(QStringLiteral("Finished Transfer."));
    if (log.LogEnabled())
        log.WriteLogLine(QStringLiteral("Finished Transfer ") + QString::number(k));
}

void Server::Engine::onError(int k, int error)
{
    // The connection is beyond use (reset by the peer, typically). Closing it
    // frees its file, its place on the clock and the slot itself.
    qCInfo(lcServer).noquote() << "Connection" << k << "failed:" << socketio::errorText(error);
    closeConnection(k);
}

void Server::Engine::closeConnection(int k)
{
    Slot &s = slots[std::size_t(k)];
    if (s.state == StateClosed)
        return;
    if (s.registered) {
        // Closes the descriptor too; waits still queued end, and find the
        // generation changed.
        asio::error_code ignored;
        s.socket->close(ignored);
        s.registered = false;
    } else {
        socketio::closeHandle(s.fd);
    }
    s.fd = socketio::InvalidHandle;
    s.state = StateClosed;
    ++s.generation;
    s.gotData = s.peerShutDown = s.readOn = s.reading = s.writing = s.active = s.pushPending = false;
    s.lastError = 0;
    s.file.reset();
    s.fileLength = s.fileOffset = s.pieceLeft = 0;
    s.BytesToSend = s.BytesSent = 0;
    s.FilePath.clear();
    s.peer = socketio::PeerAddress{};
    s.localPort = 0;
    s.unsent.clear();
    s.unsentAt = 0;
    freeSlots.push(k);
}

// --- Pacing ---------------------------------------------------------------

void Server::Engine::activate(int k)
{
    Slot &s = slots[std::size_t(k)];
    if (s.active)
        return;
    s.active = true;
    active.push_back(ActiveEntry{k, s.generation});
    if (!tickArmed) {
        tickArmed = true;
        nextTick = Clock::now() + TickInterval;
        armTick();
    }
}

void Server::Engine::armTick()
{
    // Absolute deadlines: a tick that comes late does not push the ones
    // after it back, so a transfer keeps its rate of a piece per interval.
    tick.expires_at(nextTick);
    tick.async_wait([this](const asio::error_code &ec) {
        if (!ec)
            onTick();
    });
}

void Server::Engine::onTick()
{
    std::vector<ActiveEntry> due;
    due.swap(active);
    for (const ActiveEntry &entry : due) {
        Slot &s = slots[std::size_t(entry.index)];
        if (s.generation != entry.generation || !s.active)
            continue;
        s.active = false;
        sendPiece(entry.index);
    }
    // Keep the emptied vector's room for the next tick.
    if (active.empty() && due.capacity() > active.capacity()) {
        due.clear();
        active.swap(due);
    }
    if (active.empty()) {
        tickArmed = false;
        return;
    }
    nextTick += TickInterval;
    const auto now = Clock::now();
    if (nextTick < now - MaxTickLag)
        nextTick = now;
    armTick();
}

void Server::Engine::sendPiece(int k)
{
    Slot &s = slots[std::size_t(k)];
    // A tick for a slot without a file sends nothing.
    if (!s.file)
        return;
    const quint32 generation = s.generation;
    s.pieceLeft = std::min(PieceSize, s.fileLength - s.fileOffset);
    after(k, push(s));
    // A response of more than one piece: from now on read what the peer
    // sends meanwhile (a further request takes the slot over).
    if (s.generation == generation && !s.peerShutDown) {
        s.readOn = true;
        waitReadable(k);
    }
}

// --- Idle connections -----------------------------------------------------

void Server::Engine::armIdleSweep()
{
    if (idleArmed || idle.empty())
        return;
    idleArmed = true;
    idleSweep.expires_at(idle.front().deadline);
    idleSweep.async_wait([this](const asio::error_code &ec) {
        idleArmed = false;
        if (!ec)
            onIdleSweep();
    });
}

void Server::Engine::onIdleSweep()
{
    const auto now = Clock::now();
    while (!idle.empty() && idle.front().deadline <= now) {
        const IdleEntry entry = idle.front();
        idle.pop_front();
        const Slot &s = slots[std::size_t(entry.index)];
        if (s.generation != entry.generation || s.state != StateConnected || s.gotData)
            continue;
        qCInfo(lcServer) << "Connection" << entry.index << "sent nothing in" << idleTimeout.count()
                         << "ms; closed";
        closeConnection(entry.index);
    }
    armIdleSweep();
}

// --- Request handling's calls ---------------------------------------------

void Server::Engine::takeOver(int index)
{
    Slot &s = slots[std::size_t(index)];
    if (!s.file && s.BytesToSend == 0)
        return;
    // Bytes of the earlier response still queued will be counted as sent
    // when the socket takes them; starting below zero by that much keeps the
    // new response's count exact. A piece cut short stays cut.
    s.file.reset();
    s.active = false;
    s.pieceLeft = 0;
    s.FilePath.clear();
    s.BytesToSend = 0;
    s.BytesSent = -s.unsentSize();
}

void Server::Engine::sendText(int index, const QByteArray &response)
{
    Slot &s = slots[std::size_t(index)];
    s.BytesToSend = response.size();
    queue(s, response);
    // What follows the send (closing, the next piece) waits until request
    // handling has written its trace of the send.
    s.pending = push(s);
    s.pushPending = true;
}

void Server::Engine::sendFile(int index, const QByteArray &header, FileHandle file, qint64 length,
                              const QString &filePath)
{
    Slot &s = slots[std::size_t(index)];
    s.file = std::move(file);
    s.fileLength = length;
    s.fileOffset = 0;
    s.FilePath = filePath;
    s.BytesToSend = header.size() + length;
    // The file's first piece goes with its header, in one call and one
    // segment: a transfer that starts between two ticks of the shared clock
    // would otherwise wait for the next one, half a millisecond on average,
    // which for a small file is most of its time. Every later piece goes
    // with the clock. A file that has shrunk already gets its header alone;
    // the next tick finds it short.
    QByteArray out = header;
    const qint64 first = std::min(PieceSize, length);
    if (first > 0 && s.unsentSize() == 0) {
        out.resize(header.size() + first);
        const socketio::Result r
            = socketio::readFile(s.file.get(), out.data() + header.size(), std::size_t(first), 0);
        if (r.bytes == first) {
            s.fileOffset = first;
            if (s.fileOffset >= s.fileLength)
                s.file.reset();
        } else {
            out.truncate(header.size());
        }
    }
    queue(s, out);
    s.pending = push(s);
    s.pushPending = true;
}

void Server::Engine::shutdownHere()
{
    stopListening();
    for (int k = 1; k < int(slots.size()); ++k)
        closeConnection(k);
    tick.cancel();
    idleSweep.cancel();
    idle.clear();
    active.clear();
}

// --- Server ---------------------------------------------------------------

Server::Server(const Settings &settings, EventSink &log, CommandRunner runCommand)
    : d(std::make_unique<Engine>(settings, log, std::move(runCommand)))
{
}

Server::~Server()
{
    Shutdown();
}

bool Server::StartListening()
{
    bool listening = false;
    Call([this, &listening] {
        listening = d->startListening();
        if (listening && d->running)
            d->waitForConnections();
        d->notifyListening(listening);
    });
    return listening;
}

QString Server::ListeningLine() const
{
    return QStringLiteral("Server listening on address ") + d->listenAddress + QLatin1Char(':')
        + QString::number(d->settings.ServerPort);
}

QString Server::ListenFailureLine() const
{
    return QStringLiteral("Server could not listen on port ") + QString::number(d->settings.ServerPort)
        + QStringLiteral(": ") + d->listenError;
}

void Server::setIdleTimeout(std::chrono::milliseconds timeout)
{
    d->idleTimeout = timeout;
}

void Server::setListeningObserver(ListeningObserver observer)
{
    d->listeningObserver = std::move(observer);
}

void Server::Start()
{
    if (d->running || d->shutDown)
        return;
    // A peer that has gone makes a send fail with EPIPE; sendfile() has no
    // flag to keep it from raising SIGPIPE, which would end the program.
    std::signal(SIGPIPE, SIG_IGN);
    if (d->acceptor.is_open())
        d->waitForConnections();
    d->running = true;
    d->thread = std::thread([this] {
        // Signals are for the user-interface thread, which shuts down cleanly.
        sigset_t all;
        sigfillset(&all);
        pthread_sigmask(SIG_BLOCK, &all, nullptr);
        d->io.run();
    });
}

void Server::Shutdown()
{
    if (d->shutDown)
        return;
    Call([this] { d->shutdownHere(); });
    d->shutDown = true;
    if (d->running) {
        d->work.reset();
        d->io.stop();
        d->thread.join();
        d->running = false;
    }
}

void Server::RestartListening(qint32 port)
{
    Post([this, port] {
        d->settings.ServerPort = port;
        d->stopListening();
        d->log.AddMsg(QStringLiteral("Server closed."));
        const bool listening = d->startListening();
        if (listening) {
            d->log.AddMsg(ListeningLine());
            if (d->running)
                d->waitForConnections();
        } else {
            d->log.AddMsg(ListenFailureLine());
        }
        d->notifyListening(listening);
    });
}

void Server::SetDocumentRoot(const QString &documentRoot)
{
    Post([this, documentRoot] {
        d->settings.DocumentRoot = documentRoot;
        d->handler.setDocumentRoot(documentRoot);
    });
}

void Server::Call(const std::function<void()> &fn)
{
    if (!d->running || d->thread.get_id() == std::this_thread::get_id()) {
        fn();
        return;
    }
    std::promise<void> done;
    asio::post(d->io, [&fn, &done] {
        fn();
        done.set_value();
    });
    done.get_future().wait();
}

void Server::Post(std::function<void()> fn)
{
    if (!d->running) {
        fn();
        return;
    }
    asio::post(d->io, std::move(fn));
}

std::vector<SlotInfo> Server::Slots()
{
    std::vector<SlotInfo> out;
    Call([this, &out] {
        out.reserve(d->slots.size());
        for (std::size_t k = 0; k < d->slots.size(); ++k) {
            const Slot &s = d->slots[k];
            SlotInfo info;
            if (k == 0)
                info.state = d->acceptor.is_open() ? StateListening : StateClosed;
            else
                info.state = s.state;
            info.bytesToSend = s.BytesToSend;
            info.bytesSent = s.BytesSent;
            info.hasFile = bool(s.file);
            info.filePath = s.FilePath;
            out.push_back(info);
        }
    });
    return out;
}

} // namespace vanterel::http
