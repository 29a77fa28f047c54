#include "app/EventChannel.h"

namespace vanterel::app {

EventChannel::EventChannel(std::function<void()> wake)
    : m_wake(std::move(wake))
{
}

void EventChannel::append(const QString &line)
{
    std::lock_guard lock(m_mutex);
    m_lines.push_back(line);
}

void EventChannel::wake()
{
    {
        std::lock_guard lock(m_mutex);
        if (m_woken || m_lines.empty())
            return;
        m_woken = true;
    }
    if (m_wake)
        m_wake();
}

std::vector<QString> EventChannel::take()
{
    std::vector<QString> lines;
    std::lock_guard lock(m_mutex);
    lines.swap(m_lines);
    m_woken = false;
    return lines;
}

NetworkLog::NetworkLog(EventChannel &channel, LogFile &file)
    : m_channel(channel)
    , m_file(file)
{
}

void NetworkLog::AddMsg(const QString &text)
{
    m_channel.append(text);
    afterThisTurn();
}

void NetworkLog::WriteLogLine(const QString &text)
{
    if (!LogEnabled())
        return;
    m_file.writeLine(text);
    afterThisTurn();
}

void NetworkLog::afterThisTurn()
{
    auto turnEnd = [this] {
        m_turnEndQueued = false;
        m_file.flush();
        m_channel.wake();
    };
    if (!m_post) {
        turnEnd();
        return;
    }
    if (!m_turnEndQueued) {
        m_turnEndQueued = true;
        m_post(turnEnd);
    }
}

} // namespace vanterel::app
