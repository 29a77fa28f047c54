#pragma once

#include <QtGlobal>

#include <algorithm>
#include <chrono>

// The arithmetic of paced transfers, kept apart from timers and sockets so
// that a table can check it against time points of its own: how long each
// piece of a file is, and when the shared clock ticks.
namespace vanterel::http::pacing {

using Clock = std::chrono::steady_clock;

// One piece of a file goes out per connection per tick. The first goes with
// the response's header, every later one at a tick.
inline constexpr qint64 PieceSize = 2048;
inline constexpr std::chrono::milliseconds TickInterval{1};
// Ticks late by more than this are not made up for: after a stall the clock
// starts afresh instead of sending a burst of pieces.
inline constexpr std::chrono::milliseconds MaxTickLag{100};

// The length of the piece that starts at offset in a file of length bytes:
// a whole piece, or the rest of the file.
constexpr qint64 pieceLength(qint64 length, qint64 offset)
{
    return std::min(PieceSize, length - offset);
}

// The deadlines of the one clock that every transfer shares. They are
// absolute: a tick that comes late does not push the ones after it back, so
// a transfer keeps its rate of a piece per interval.
class TickSchedule {
public:
    // The clock was idle and a transfer waits: its tick is one interval away.
    Clock::time_point start(Clock::time_point now)
    {
        m_next = now + TickInterval;
        return m_next;
    }
    // The tick due at the last deadline ran at now: the next deadline.
    Clock::time_point advance(Clock::time_point now)
    {
        m_next += TickInterval;
        if (m_next < now - MaxTickLag)
            m_next = now;
        return m_next;
    }

private:
    Clock::time_point m_next{};
};

} // namespace vanterel::http::pacing
