#pragma once

#include "http/Request.h"
#include "http/RequestHandler.h"

#include <QByteArray>
#include <QByteArrayView>
#include <QHash>
#include <QString>
#include <QStringView>

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <chrono>
#include <deque>
#include <functional>
#include <map>
#include <memory>

namespace vanterel {
class EventSink;
} // namespace vanterel

// The live channel: one long-lived WebSocket connection (RFC 6455) at
// /.vanterel/live over which a page sends its taps, so that a tap costs no new
// TCP connection (a lost SYN costs a whole second) and the page learns that
// it arrived. Each message is "<id> <command>"; the answer is "ok <id>" once
// the command has been handed to the key thread, or "refused <id> <reason>".
// An id already answered gets its answer again and presses nothing, so a page
// that resends after a reconnect never presses twice. The framing, masking,
// close handshake, pings and size limits are Boost.Beast's.
namespace vanterel::http {

inline constexpr QStringView LivePath = u"/.vanterel/live";

// True when the request is a GET of LivePath that asks to upgrade to
// WebSocket ("Upgrade: websocket", any case). A plain GET of the path is no
// upgrade and is answered as any other request.
bool isLiveUpgrade(QByteArrayView request);

// Why a handshake must not open a channel, as the rest of a log line
// (": Host x is not this machine", " from another site", ": no Origin"), or
// empty. The same guard as a command in a link, and the Origin must be there:
// every browser sends one with a WebSocket handshake.
QString liveRefusal(const QString &requestText, const ServingRules &rules);

// Why a command from the device must not run, as the rest of the log line
// "Refused command X" (the device rules, as for a link), or empty.
QString liveCommandRefusal(const QString &command, const ServingRules &rules, const QString &device);

// "<id> <command>": the id is 1 to 64 characters without blanks, the command
// the rest, not empty. Both empty when the text is no such message.
struct LiveMessage {
    QString id;
    QString command;
};
LiveMessage parseLiveMessage(QStringView text);

// The answers given, by id, for the last Capacity ids: an id resent after a
// reconnect, even on another channel, is answered again without pressing. Ids
// older than that are forgotten (the page's ids are random and never reused,
// and a resend comes within seconds).
class LiveAnswers {
public:
    static constexpr qsizetype Capacity = 4096;

    // Null when the id has no answer (any more).
    const QByteArray *find(const QString &id) const;
    void remember(const QString &id, const QByteArray &answer);
    qsizetype size() const { return m_answers.size(); }

private:
    QHash<QString, QByteArray> m_answers;
    std::deque<QString> m_order; // oldest first
};

// The open channels, by slot. Network thread only.
class LiveChannels {
public:
    // A channel ended by itself (peer closed, pings unanswered): its slot is free.
    using Ended = std::function<void(int index, quint32 generation)>;

    // A channel whose peer answers no ping for this long is closed and its holds let go.
    static constexpr std::chrono::seconds IdleTimeout{2};
    // Holds of an open channel are renewed this often, well inside the hold watchdog.
    static constexpr std::chrono::seconds RenewHolds{3};

    LiveChannels(boost::asio::io_context &io, EventSink &log, ServingRules rules,
                 RequestHandler::CommandRunner runCommand, Ended ended);
    ~LiveChannels();

    // Takes the connection over: its handshake has been read already.
    void open(int index, quint32 generation, boost::asio::ip::tcp::socket socket, const QByteArray &handshake,
              const ConnectionInfo &connection);
    // The server closes the channel: its holds are let go, nothing is told.
    void close(int index);

private:
    struct Channel;
    void read(const std::shared_ptr<Channel> &c);
    void onMessage(Channel &c, const QString &text);
    void answer(const std::shared_ptr<Channel> &c, const QByteArray &text);
    void write(const std::shared_ptr<Channel> &c);
    void renew(const std::shared_ptr<Channel> &c);
    void end(const std::shared_ptr<Channel> &c, const QString &why, bool tell);

    boost::asio::io_context &m_io;
    EventSink &m_log;
    const ServingRules m_rules;
    RequestHandler::CommandRunner m_runCommand;
    Ended m_ended;
    LiveAnswers m_answers;
    std::map<int, std::shared_ptr<Channel>> m_channels;
};

} // namespace vanterel::http
