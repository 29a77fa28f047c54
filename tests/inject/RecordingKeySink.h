#pragma once

// A key sink for tests: writes every call into a log shared with the test
// (so the log outlives the player that owns the sink), can be told to fail
// chosen calls, and can hold the player's thread at its first key down.

#include "inject/KeySink.h"

#include <QSet>
#include <QStringList>

#include <chrono>
#include <condition_variable>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <thread>

namespace vanterel::inject::test {

// Calls, one token each: "+29" key down (Linux code), "-29" key up, "~" flush,
// "@7" activate window 7. A failed call gets "!" after its token.
struct SinkLog {
    std::mutex mutex;
    QStringList events;
    std::set<std::thread::id> threads;
    std::map<QString, std::chrono::steady_clock::time_point> firstSeen;

    QString joined()
    {
        std::lock_guard lock(mutex);
        return events.join(u' ');
    }
};

// Holds the player's thread inside its first key down until opened.
struct Gate {
    std::mutex mutex;
    std::condition_variable changed;
    bool entered = false;
    bool open = false;

    void pass()
    {
        std::unique_lock lock(mutex);
        entered = true;
        changed.notify_all();
        changed.wait(lock, [this] { return open; });
    }
    bool waitUntilEntered()
    {
        std::unique_lock lock(mutex);
        return changed.wait_for(lock, std::chrono::seconds(10), [this] { return entered; });
    }
    void release()
    {
        std::lock_guard lock(mutex);
        open = true;
        changed.notify_all();
    }
};

class RecordingKeySink final : public KeySink {
public:
    // failing: tokens whose next call fails (once each); "~+30" makes the
    // flush right after "+30" fail.
    explicit RecordingKeySink(std::shared_ptr<SinkLog> log, QSet<QString> failing = {},
                              std::shared_ptr<Gate> gate = {})
        : m_log(std::move(log)), m_failing(std::move(failing)), m_gate(std::move(gate))
    {
    }

    bool keyDown(const KeyConstads::KeyInfo &key) override
    {
        if (m_gate && !std::exchange(m_gatePassed, true))
            m_gate->pass();
        return record(u'+' + QString::number(key.linuxCode));
    }
    bool keyUp(const KeyConstads::KeyInfo &key) override
    {
        return record(u'-' + QString::number(key.linuxCode));
    }
    bool flush() override { return record(QStringLiteral("~"), u'~' + m_last); }
    bool activate(WindowHandle window) override
    {
        return record(u'@' + QString::number(window));
    }

private:
    bool record(const QString &token, const QString &failureKey = {})
    {
        const bool fail = m_failing.remove(failureKey.isEmpty() ? token : failureKey);
        m_last = token;
        std::lock_guard lock(m_log->mutex);
        m_log->threads.insert(std::this_thread::get_id());
        m_log->firstSeen.try_emplace(token, std::chrono::steady_clock::now());
        m_log->events.append(fail ? token + u'!' : token);
        return !fail;
    }

    std::shared_ptr<SinkLog> m_log;
    QSet<QString> m_failing;
    std::shared_ptr<Gate> m_gate;
    bool m_gatePassed = false;
    QString m_last;
};

// The keys still down at the end of a log: a down without a later up.
inline QStringList keysLeftDown(const QString &events)
{
    QStringList down;
    for (const QString &token : events.split(u' ', Qt::SkipEmptyParts)) {
        QString plain = token;
        plain.remove(u'!');
        if (plain.startsWith(u'+'))
            down.append(plain.mid(1));
        else if (plain.startsWith(u'-'))
            down.removeOne(plain.mid(1));
    }
    return down;
}

} // namespace vanterel::inject::test
