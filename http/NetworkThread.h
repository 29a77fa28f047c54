#pragma once

#include <QLoggingCategory>

#include <atomic>
#include <thread>

namespace vanterel::http {

// The one thread that may touch the event loop's state (sockets, slots,
// timers, the document root): the thread that made the server until Start(),
// the network thread from then until Shutdown() has joined it, and the first
// one again after that. The state itself takes no lock; entries that another
// thread must never reach check it with Q_ASSERT(loop.isCurrent()), which
// costs nothing in a release build.
class LoopThread {
public:
    bool isCurrent() const { return m_id.load(std::memory_order_relaxed) == std::this_thread::get_id(); }
    // Called by the thread that takes the loop over, before it runs a handler.
    void takeOver() { m_id.store(std::this_thread::get_id(), std::memory_order_relaxed); }

private:
    std::atomic<std::thread::id> m_id{std::this_thread::get_id()};
};

} // namespace vanterel::http

// What the server says about its sockets and connections (off unless asked for).
Q_DECLARE_LOGGING_CATEGORY(lcServer)
