#pragma once

// A key sink for tests: writes every call into a log shared with the test
// (so the log outlives the player that owns the sink), with the thread that
// made it, and can be told to fail chosen calls.

#include "inject/KeySink.h"

#include <QSet>
#include <QStringList>

#include <chrono>
#include <mutex>
#include <optional>
#include <thread>
#include <utility>

namespace vanterel::inject::test {

// Calls, one token each: "+29" key down (Linux code), "-29" key up, "~"
// flush, "@7" activate window 7; send() leaves no token. A failed call gets
// "!" after its token.
struct SinkLog {
    std::mutex mutex;
    QStringList events;
    QList<std::thread::id> threads; // of each event
    QList<std::chrono::steady_clock::time_point> times;

    QString joined()
    {
        std::lock_guard lock(mutex);
        return events.join(u' ');
    }
    std::thread::id threadOf(const QString &token)
    {
        std::lock_guard lock(mutex);
        const qsizetype i = events.indexOf(token);
        return i < 0 ? std::thread::id() : threads.at(i);
    }
    std::optional<std::chrono::steady_clock::time_point> timeOf(const QString &token)
    {
        std::lock_guard lock(mutex);
        const qsizetype i = events.indexOf(token);
        return i < 0 ? std::nullopt : std::optional(times.at(i));
    }
};

class RecordingKeySink final : public KeySink {
public:
    // failing: tokens whose next call fails (once each); "~+30" makes the
    // flush right after "+30" fail.
    explicit RecordingKeySink(std::shared_ptr<SinkLog> log, QSet<QString> failing = {})
        : m_log(std::move(log)), m_failing(std::move(failing))
    {
    }

    bool keyDown(const KeyConstads::KeyInfo &key) override
    {
        return record(u'+' + QString::number(key.linuxCode));
    }
    bool keyUp(const KeyConstads::KeyInfo &key) override
    {
        return record(u'-' + QString::number(key.linuxCode));
    }
    bool send() override { return true; }
    bool flush() override { return record(QStringLiteral("~"), true); }
    bool activate(WindowHandle window) override { return record(u'@' + QString::number(window)); }

private:
    bool record(const QString &token, bool isFlush = false)
    {
        std::lock_guard lock(m_log->mutex);
        const QString last = m_log->events.isEmpty() ? QString() : m_log->events.last();
        const bool fail = m_failing.remove(isFlush ? u'~' + last : token);
        m_log->events.append(fail ? token + u'!' : token);
        m_log->threads.append(std::this_thread::get_id());
        m_log->times.append(std::chrono::steady_clock::now());
        return !fail;
    }

    std::shared_ptr<SinkLog> m_log;
    QSet<QString> m_failing;
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
