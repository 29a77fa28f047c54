#include "http/Server.h"

#include "common/EventSink.h"
#include "http/ConnectionSlots.h"
#include "http/Listener.h"
#include "http/NetworkThread.h"
#include "http/Pacer.h"

#include <atomic>
#include <boost/asio/executor_work_guard.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/post.hpp>
#include <future>
#include <thread>
#ifdef Q_OS_UNIX
#include <csignal>
#include <pthread.h>
#endif

Q_LOGGING_CATEGORY(lcServer, "vanterel.http", QtWarningMsg)

namespace vanterel::http {

struct Server::Engine {
    Engine(const Settings &settings, EventSink &log, CommandRunner runCommand, ServingRules rules)
        : network(io, loop, settings, log, std::move(runCommand), std::move(rules))
        , startPort(settings.ServerPort)
    {
    }

    // --- Any thread -------------------------------------------------------
    // All sockets and timers are used on the network thread alone (and on
    // the starting thread before it runs), so the event loop's per-socket
    // locking is left out; posting from other threads stays safe.
    boost::asio::io_context io{BOOST_ASIO_CONCURRENCY_HINT_UNSAFE_IO};
    // Keeps the loop running while it has nothing to wait for (no listener,
    // no connection), so that what is posted to it still runs.
    boost::asio::executor_work_guard<boost::asio::io_context::executor_type> work{io.get_executor()};
    LoopThread loop;
    // Whether the network thread runs, so that a post has to go to it.
    std::atomic<bool> running{false};

    // --- The network thread (the owner's before Start) ----------------------
    struct Network {
        Network(boost::asio::io_context &io, const LoopThread &loop, const Settings &settings, EventSink &log,
                CommandRunner runCommand, ServingRules rules)
            : loop(loop)
            , log(log)
            , pacer(io, loop, [this](int k, quint32 generation) { slots.onTick(k, generation); })
            , idleSweep(io, loop, DefaultIdleTimeout,
                        [this](int k, quint32 generation) { return slots.closeIfSilent(k, generation); })
            , slots(io, loop, pacer, idleSweep, log, std::move(rules), settings.DocumentRoot,
                    std::move(runCommand))
            , listener(io, loop, [this](socketio::Handle fd, const socketio::PeerAddress &peer) {
                slots.accept(fd, peer, listener.protocol(), quint16(listener.port()));
            })
        {
        }

        bool listen(qint32 port);
        void restartListening(qint32 port, bool serving);
        void shutdown();

        const LoopThread &loop;
        EventSink &log;
        Pacer pacer;
        IdleSweep idleSweep;
        ConnectionSlots slots;
        Listener listener;
        ListeningObserver listeningObserver; // set at start-up
    } network;

    // --- The owner ----------------------------------------------------------
    const std::thread::id owner = std::this_thread::get_id();
    const qint32 startPort;
    std::thread thread;
    bool shutDown = false;
    // What StartListening() found, copied out of the network side's state.
    QString listeningLine;
    QString listenFailureLine;

    bool onOwner() const { return std::this_thread::get_id() == owner; }
};

// --- Network side -----------------------------------------------------------

bool Server::Engine::Network::listen(qint32 port)
{
    Q_ASSERT(loop.isCurrent());
    const bool listening = listener.listen(port);
    if (listeningObserver)
        listeningObserver(listening, listener.address(), port);
    return listening;
}

void Server::Engine::Network::restartListening(qint32 port, bool serving)
{
    Q_ASSERT(loop.isCurrent());
    listener.close();
    log.AddMsg(QStringLiteral("Server closed."));
    const bool listening = listener.listen(port);
    log.AddMsg(listening ? listener.listeningLine() : listener.failureLine());
    if (listening && serving)
        listener.waitForConnections();
    if (listeningObserver)
        listeningObserver(listening, listener.address(), port);
}

void Server::Engine::Network::shutdown()
{
    Q_ASSERT(loop.isCurrent());
    listener.close();
    slots.closeAll();
    pacer.stop();
    idleSweep.stop();
}

// --- Server -------------------------------------------------------------------

namespace {

ServingRules servingRules(const Settings &settings, DeviceAccess *devices, BuiltInPages *builtIns)
{
    ServingRules rules(settings.ServerSignature,
                       GuardRules{ThisMachineNames(settings.HostNames), settings.AllowOtherSites});
    rules.devices = devices;
    rules.builtIns = builtIns;
    return rules;
}

} // namespace

Server::Server(const Settings &settings, EventSink &log, CommandRunner runCommand, DeviceAccess *devices,
               BuiltInPages *builtIns)
    : d(std::make_unique<Engine>(settings, log, std::move(runCommand),
                                 servingRules(settings, devices, builtIns)))
{
}

Server::~Server()
{
    Shutdown();
}

bool Server::StartListening()
{
    Q_ASSERT(d->onOwner() && !d->running);
    const bool listening = d->network.listen(d->startPort);
    // Handed over here, before the network thread exists, so that reading
    // them later races with nothing it does.
    d->listeningLine = d->network.listener.listeningLine();
    d->listenFailureLine = d->network.listener.failureLine();
    return listening;
}

QString Server::ListeningLine() const
{
    Q_ASSERT(d->onOwner());
    return d->listeningLine;
}

QString Server::ListenFailureLine() const
{
    Q_ASSERT(d->onOwner());
    return d->listenFailureLine;
}

void Server::setIdleTimeout(std::chrono::milliseconds timeout)
{
    Q_ASSERT(d->onOwner() && !d->running);
    d->network.idleSweep.setTimeout(timeout);
}

std::chrono::milliseconds Server::idleTimeout() const
{
    // Set at start-up only: the network thread never changes it.
    Q_ASSERT(d->onOwner());
    return d->network.idleSweep.timeout();
}

void Server::setListeningObserver(ListeningObserver observer)
{
    Q_ASSERT(d->onOwner() && !d->running);
    d->network.listeningObserver = std::move(observer);
}

void Server::Start()
{
    Q_ASSERT(d->onOwner());
    if (d->running || d->shutDown)
        return;
        // A peer that has gone makes a send fail with EPIPE; sendfile() has no
        // flag to keep it from raising SIGPIPE, which would end the program.
#ifdef Q_OS_UNIX
    std::signal(SIGPIPE, SIG_IGN);
#endif
    if (d->network.listener.isOpen())
        d->network.listener.waitForConnections();
    d->running = true;
    d->thread = std::thread([this] {
    // Signals are for the user-interface thread, which shuts down cleanly.
#ifdef Q_OS_UNIX
        sigset_t all;
        sigfillset(&all);
        pthread_sigmask(SIG_BLOCK, &all, nullptr);
#endif
        d->loop.takeOver();
        d->io.run();
    });
}

void Server::Shutdown()
{
    Q_ASSERT(d->onOwner());
    if (d->shutDown)
        return;
    call([this] { d->network.shutdown(); });
    d->shutDown = true;
    if (d->running) {
        d->work.reset();
        d->io.stop();
        d->thread.join();
        d->running = false;
        d->loop.takeOver();
    }
}

void Server::RestartListening(qint32 port)
{
    Post([this, port] { d->network.restartListening(port, d->running); });
}

void Server::SetDocumentRoot(const QString &documentRoot)
{
    Post([this, documentRoot] { d->network.slots.setDocumentRoot(documentRoot); });
}

void Server::call(const std::function<void()> &fn)
{
    Q_ASSERT(d->onOwner());
    if (!d->running) {
        fn();
        return;
    }
    std::promise<void> done;
    boost::asio::post(d->io, [&fn, &done] {
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
    boost::asio::post(d->io, std::move(fn));
}

std::vector<SlotInfo> Server::slotInfo()
{
    std::vector<SlotInfo> out;
    call([this, &out] {
        out = d->network.slots.describe();
        out.front().state = d->network.listener.isOpen() ? ConnectionSlot::Listening : ConnectionSlot::Closed;
    });
    return out;
}

} // namespace vanterel::http
