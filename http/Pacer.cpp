#include "http/Pacer.h"

namespace vanterel::http {

using pacing::Clock;

Pacer::Pacer(boost::asio::io_context &io, const LoopThread &loop, Due due)
    : m_loop(loop)
    , m_due(std::move(due))
    , m_timer(io)
{
}

void Pacer::schedule(int index, quint32 generation)
{
    Q_ASSERT(m_loop.isCurrent());
    m_scheduled.push_back(Entry{index, generation});
    if (!m_armed) {
        m_armed = true;
        arm(m_schedule.start(Clock::now()));
    }
}

void Pacer::arm(Clock::time_point deadline)
{
    m_timer.expires_at(deadline);
    m_timer.async_wait([this](const boost::system::error_code &ec) {
        if (!ec)
            onTick();
    });
}

void Pacer::onTick()
{
    Q_ASSERT(m_loop.isCurrent());
    std::vector<Entry> due;
    due.swap(m_scheduled);
    for (const Entry &entry : due)
        m_due(entry.index, entry.generation);
    // Keep the emptied vector's room for the next tick.
    if (m_scheduled.empty() && due.capacity() > m_scheduled.capacity()) {
        due.clear();
        m_scheduled.swap(due);
    }
    if (m_scheduled.empty()) {
        m_armed = false;
        return;
    }
    arm(m_schedule.advance(Clock::now()));
}

void Pacer::stop()
{
    Q_ASSERT(m_loop.isCurrent());
    m_timer.cancel();
    m_scheduled.clear();
    m_armed = false;
}

IdleSweep::IdleSweep(boost::asio::io_context &io, const LoopThread &loop, std::chrono::milliseconds timeout,
                     Expired expired)
    : m_loop(loop)
    , m_expired(std::move(expired))
    , m_timeout(timeout)
    , m_timer(io)
{
}

void IdleSweep::watch(int index, quint32 generation)
{
    Q_ASSERT(m_loop.isCurrent());
    if (m_timeout.count() <= 0)
        return;
    m_watched.push_back(Entry{index, generation, Clock::now() + m_timeout});
    arm();
}

void IdleSweep::arm()
{
    if (m_armed || m_watched.empty())
        return;
    m_armed = true;
    m_timer.expires_at(m_watched.front().deadline);
    m_timer.async_wait([this](const boost::system::error_code &ec) {
        m_armed = false;
        if (!ec)
            onSweep();
    });
}

void IdleSweep::onSweep()
{
    Q_ASSERT(m_loop.isCurrent());
    const auto now = Clock::now();
    while (!m_watched.empty() && m_watched.front().deadline <= now) {
        const Entry entry = m_watched.front();
        m_watched.pop_front();
        if (m_expired(entry.index, entry.generation))
            qCInfo(lcServer) << "Connection" << entry.index << "sent nothing in" << m_timeout.count()
                             << "ms; closed";
    }
    arm();
}

void IdleSweep::stop()
{
    Q_ASSERT(m_loop.isCurrent());
    m_timer.cancel();
    m_watched.clear();
}

} // namespace vanterel::http
