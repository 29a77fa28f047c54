#pragma once

#include "common/EventSink.h"

#include <QStringList>

#include <mutex>

namespace vanterel::testing {

// Collects what the program would show in its list and write to Log.txt. The
// server writes from its own thread while the test reads: every access is
// under the lock, and readers get copies.
class RecordingLog final : public EventSink {
public:
    void AddMsg(const QString &text) override
    {
        std::lock_guard lock(m_mutex);
        m_messages.append(text);
    }
    void WriteLogLine(const QString &text) override
    {
        std::lock_guard lock(m_mutex);
        m_logLines.append(text);
    }

    QStringList messages() const
    {
        std::lock_guard lock(m_mutex);
        return m_messages;
    }
    QStringList logLines() const
    {
        std::lock_guard lock(m_mutex);
        return m_logLines;
    }
    void clear()
    {
        std::lock_guard lock(m_mutex);
        m_messages.clear();
        m_logLines.clear();
    }

private:
    mutable std::mutex m_mutex;
    QStringList m_messages;
    QStringList m_logLines;
};

} // namespace vanterel::testing
