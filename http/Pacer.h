#pragma once

#include "http/NetworkThread.h"
#include "http/Pacing.h"

#include <QtGlobal>

#include <boost/asio/io_context.hpp>
#include <boost/asio/steady_timer.hpp>
#include <chrono>
#include <deque>
#include <functional>
#include <vector>

namespace vanterel::http {

// The connection slots' two clocks. Both name a connection by its slot and
// the slot's generation, so that a connection closed meanwhile is told apart
// from the next one in the same slot. Network thread only.

// The one 1 ms clock that every transfer shares: a slot scheduled now sends
// its next piece at the next tick (pacing::TickSchedule says when).
class Pacer {
public:
    using Due = std::function<void(int index, quint32 generation)>;

    Pacer(boost::asio::io_context &io, const LoopThread &loop, Due due);

    void schedule(int index, quint32 generation);
    void stop();

private:
    struct Entry {
        int index;
        quint32 generation;
    };

    void arm(pacing::Clock::time_point deadline);
    void onTick();

    const LoopThread &m_loop;
    Due m_due;
    boost::asio::steady_timer m_timer;
    bool m_armed = false;
    pacing::TickSchedule m_schedule;
    std::vector<Entry> m_scheduled;
};

// Closes connections that send nothing: each holds a descriptor and a slot,
// and enough of them, opened and left alone, would leave none for real
// requests. A browser sends its request at once.
class IdleSweep {
public:
    // Closes the connection if it is still that one and has sent nothing;
    // true when it did.
    using Expired = std::function<bool(int index, quint32 generation)>;

    IdleSweep(boost::asio::io_context &io, const LoopThread &loop, std::chrono::milliseconds timeout,
              Expired expired);

    // Before the first watch(); 0 turns the sweep off.
    void setTimeout(std::chrono::milliseconds timeout) { m_timeout = timeout; }
    std::chrono::milliseconds timeout() const { return m_timeout; }
    // A connection was accepted now.
    void watch(int index, quint32 generation);
    void stop();

private:
    struct Entry {
        int index;
        quint32 generation;
        pacing::Clock::time_point deadline;
    };

    void arm();
    void onSweep();

    const LoopThread &m_loop;
    Expired m_expired;
    std::chrono::milliseconds m_timeout;
    // In order of acceptance, which with one timeout for all is also the
    // order of their deadlines: the sweep only ever looks at the front.
    std::deque<Entry> m_watched;
    boost::asio::steady_timer m_timer;
    bool m_armed = false;
};

} // namespace vanterel::http
