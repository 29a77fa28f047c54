#include "app/EventChannel.h"

namespace vanterel::app {

EventChannel::EventChannel(std::function<void()> wake) : m_wake(std::move(wake)) {}

void EventChannel::append(const QString &line)
{
    bool first = false;
    {
        std::lock_guard lock(m_mutex);
        first = m_lines.empty();
        m_lines.push_back(line);
    }
    if (first && m_wake)
        m_wake();
}

std::vector<QString> EventChannel::take()
{
    std::vector<QString> lines;
    std::lock_guard lock(m_mutex);
    lines.swap(m_lines);
    return lines;
}

NetworkLog::NetworkLog(EventChannel &channel, LogFile &file) : m_channel(channel), m_file(file) {}

void NetworkLog::AddMsg(const QString &text) { m_channel.append(text); }

void NetworkLog::WriteLogLine(const QString &text)
{
    if (!LogEnabled())
        return;
    m_file.writeLine(text);
    if (!m_post) {
        m_file.flush();
        return;
    }
    if (!m_flushQueued) {
        m_flushQueued = true;
        m_post([this] {
            m_flushQueued = false;
            m_file.flush();
        });
    }
}

} // namespace vanterel::app
