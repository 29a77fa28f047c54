#pragma once

#include "app/LogFile.h"
#include "common/EventSink.h"

#include <QString>

#include <atomic>
#include <functional>
#include <mutex>
#include <vector>

namespace vanterel::app {

// Event-log lines on their way from the network thread to the window, in
// order and in batches. Appending is a push under a short lock; wake() tells
// the window once that lines wait, and the window takes all that has come
// since in one go.
class EventChannel {
public:
    // wake is called from the appending thread; it must only post.
    explicit EventChannel(std::function<void()> wake);

    void append(const QString &line);
    // Calls the wake function unless it was called since the last take().
    void wake();
    std::vector<QString> take();

private:
    std::function<void()> m_wake;
    std::mutex m_mutex;
    std::vector<QString> m_lines;
    bool m_woken = false;
};

// The event sink of the network thread: list lines cross to the window
// through the channel, trace lines go to Log.txt on this thread while the
// "Enabe Log" flag is set. Both leave in batches, once the lines of one turn
// of the network thread's loop are in: the window is woken (and the file
// written) after the request that logged them has pressed its keys and sent
// its response, not in the middle of it.
class NetworkLog final : public EventSink {
public:
    using Poster = std::function<void(std::function<void()>)>;

    NetworkLog(EventChannel &channel, LogFile &file);

    void AddMsg(const QString &text) override;
    void WriteLogLine(const QString &text) override;
    bool LogEnabled() const override { return m_enabled.load(std::memory_order_relaxed); }

    // Set from the window's check box, read by the network thread.
    void setEnabled(bool enabled) { m_enabled.store(enabled, std::memory_order_relaxed); }
    // How a flush is run after the current turn of the network thread.
    void setPoster(Poster poster) { m_post = std::move(poster); }

private:
    EventChannel &m_channel;
    LogFile &m_file;
    Poster m_post;
    std::atomic<bool> m_enabled{false};
    void afterThisTurn();

    bool m_turnEndQueued = false; // network thread only
};

} // namespace vanterel::app
