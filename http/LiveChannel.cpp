#include "http/LiveChannel.h"

#include "common/EventSink.h"
#include "http/DeviceAccess.h"
#include "http/NetworkThread.h"
#include "http/SiteGuard.h"

#include <boost/asio/buffer.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/beast/core/buffers_to_string.hpp>
#include <boost/beast/core/flat_buffer.hpp>
#include <boost/beast/http/field.hpp>
#include <boost/beast/websocket.hpp>
#include <set>
#include <string>

using namespace Qt::StringLiterals;

namespace vanterel::http {

namespace {

namespace websocket = boost::beast::websocket;
using boost::asio::ip::tcp;

// The header lines of a request, up to the blank line.
QByteArrayView headerPart(QByteArrayView request)
{
    const qsizetype end = request.indexOf("\r\n\r\n");
    return end < 0 ? request : request.first(end);
}

// The trimmed value of the first header of that name (any case), or nothing.
std::optional<QByteArray> headerValue(QByteArrayView request, QByteArrayView name)
{
    const QByteArrayView headers = headerPart(request);
    qsizetype at = headers.indexOf('\n');
    while (at >= 0) {
        const qsizetype next = headers.indexOf('\n', at + 1);
        const QByteArrayView line = headers.sliced(at + 1, (next < 0 ? headers.size() : next) - at - 1);
        const qsizetype colon = line.indexOf(':');
        if (colon > 0 && line.first(colon).trimmed().compare(name, Qt::CaseInsensitive) == 0)
            return line.sliced(colon + 1).trimmed().toByteArray();
        at = next;
    }
    return std::nullopt;
}

constexpr qsizetype MaxIdLength = 64;
// A command name is short; a message is the id, a blank and the name.
constexpr std::size_t MaxMessage = 1024;

} // namespace

bool isLiveUpgrade(QByteArrayView request)
{
    // "GET /.vanterel/live HTTP/1.1": the path exactly, no query.
    const QByteArray line = "GET " + LivePath.toLatin1() + " HTTP/1.";
    if (!request.startsWith(line))
        return false;
    const std::optional<QByteArray> upgrade = headerValue(request, "Upgrade");
    return upgrade && upgrade->compare("websocket", Qt::CaseInsensitive) == 0;
}

QString liveRefusal(const QString &requestText, const ServingRules &rules)
{
    if (rules.guard.allowOtherSites)
        return {};
    const ParsedRequest request = parseRequest(requestText);
    if (QString refusal = commandRefusal(requestText, request.host, rules.guard); !refusal.isEmpty())
        return refusal;
    // A link from a tool without a browser may come without an Origin; a
    // channel never does, since every browser names the page that opens one.
    if (!headerValue(requestText.toUtf8(), "Origin"))
        return u": no Origin"_s;
    return {};
}

QString liveCommandRefusal(const QString &command, const ServingRules &rules, const QString &device)
{
    if (!rules.devices)
        return {};
    // The connect window's code pairs a device through its URL, never here.
    if (DeviceAccess::isPairingQuery(command))
        return u": not a command"_s;
    if (rules.devices->onlyApproved()
        && rules.devices->check(device, command) == DeviceAccess::Verdict::NotApproved)
        return u": device "_s + device + u" is not allowed to press keys"_s;
    return {};
}

LiveMessage parseLiveMessage(QStringView text)
{
    const qsizetype blank = text.indexOf(u' ');
    if (blank <= 0 || blank > MaxIdLength || blank + 1 >= text.size())
        return {};
    const QStringView id = text.first(blank);
    for (const QChar c : id) {
        if (c.isSpace() || c.unicode() < 0x21)
            return {};
    }
    const QStringView command = text.sliced(blank + 1);
    if (command.contains(u' ') || command.contains(u'\n') || command.contains(u'\r'))
        return {};
    return {id.toString(), command.toString()};
}

const QByteArray *LiveAnswers::find(const QString &id) const
{
    const auto it = m_answers.constFind(id);
    return it == m_answers.cend() ? nullptr : &*it;
}

void LiveAnswers::remember(const QString &id, const QByteArray &answer)
{
    if (m_answers.contains(id))
        return;
    if (qsizetype(m_order.size()) >= Capacity) {
        m_answers.remove(m_order.front());
        m_order.pop_front();
    }
    m_answers.insert(id, answer);
    m_order.push_back(id);
}

struct LiveChannels::Channel {
    Channel(tcp::socket socket, boost::asio::io_context &io)
        : ws(std::move(socket))
        , renewTimer(io)
    {
    }
    websocket::stream<tcp::socket> ws;
    boost::asio::steady_timer renewTimer;
    int index = 0;
    quint32 generation = 0;
    QString device;
    std::string handshake; // read before the channel took the socket over
    boost::beast::flat_buffer in;
    std::deque<std::string> out;
    bool writing = false;
    bool open = false;       // the handshake was answered
    bool ended = false;      // its slot is free again: every handler stops
    std::set<QString> holds; // names held over this channel, upper case
};

LiveChannels::LiveChannels(boost::asio::io_context &io, EventSink &log, ServingRules rules,
                           RequestHandler::CommandRunner runCommand, Ended ended)
    : m_io(io)
    , m_log(log)
    , m_rules(std::move(rules))
    , m_runCommand(std::move(runCommand))
    , m_ended(std::move(ended))
{
}

LiveChannels::~LiveChannels()
{
    // At shut-down every channel lets go of its holds; one that fails to
    // close (out of memory for its log line) must not stop the others.
    while (!m_channels.empty()) {
        const auto first = m_channels.begin();
        try {
            close(first->first);
        } catch (...) {
            if (m_channels.begin() == first)
                m_channels.erase(first);
        }
    }
}

void LiveChannels::open(int index, quint32 generation, tcp::socket socket, const QByteArray &handshake,
                        const ConnectionInfo &connection)
{
    boost::system::error_code ignored;
    // Answers are a few bytes each: nothing is gained by holding one back.
    socket.set_option(tcp::no_delay(true), ignored);
    auto c = std::make_shared<Channel>(std::move(socket), m_io);
    c->index = index;
    c->generation = generation;
    c->device = DeviceAccess::normalized(connection.peerAddress);
    c->handshake = handshake.toStdString();
    m_channels[index] = c;

    // Beast pings a channel that has been quiet for half the idle time and
    // closes it when nothing came back by the whole.
    c->ws.set_option(websocket::stream_base::timeout{std::chrono::seconds(10), IdleTimeout, true});
    c->ws.read_message_max(MaxMessage);
    c->ws.text(true);
    const std::string signature = m_rules.signature.toStdString();
    c->ws.set_option(websocket::stream_base::decorator([signature](websocket::response_type &response) {
        response.set(boost::beast::http::field::server, signature);
    }));
    m_log.traceLine(index, u" - Got Data: ", requestText(handshake));
    m_log.traceLine(index, u" - Requested File: ", LivePath.toString());
    c->ws.async_accept(boost::asio::buffer(c->handshake), [this, c](const boost::system::error_code &ec) {
        if (c->ended)
            return;
        if (ec) {
            end(c, QString::fromStdString(ec.message()), true);
            return;
        }
        c->open = true;
        c->handshake.clear();
        m_log.AddMsg(u"Live channel opened for "_s + c->device);
        read(c);
        renew(c);
    });
}

void LiveChannels::close(int index)
{
    const auto it = m_channels.find(index);
    // A copy: end() takes the channel out of the map.
    if (const std::shared_ptr<Channel> c = it == m_channels.end() ? nullptr : it->second)
        end(c, u"the server closed it"_s, false);
}

void LiveChannels::read(const std::shared_ptr<Channel> &c)
{
    c->ws.async_read(c->in, [this, c](const boost::system::error_code &ec, std::size_t) {
        if (c->ended)
            return;
        if (ec) {
            end(c,
                ec == websocket::error::closed ? u"closed by the page"_s
                                               : QString::fromStdString(ec.message()),
                true);
            return;
        }
        const std::string text = boost::beast::buffers_to_string(c->in.data());
        c->in.consume(c->in.size());
        onMessage(*c, QString::fromUtf8(text));
        if (!c->ended)
            read(c);
    });
}

void LiveChannels::onMessage(Channel &c, const QString &text)
{
    m_log.traceLine(c.index, u" - Got Data: ", text);
    const std::shared_ptr<Channel> self = m_channels.at(c.index);
    const LiveMessage message = parseLiveMessage(text);
    if (message.id.isEmpty()) {
        answer(self, "refused - malformed");
        return;
    }
    if (const QByteArray *given = m_answers.find(message.id)) {
        // Sent again (a resend after a reconnect, or a page that did not
        // hear the answer): the same answer, no second press.
        answer(self, *given);
        return;
    }
    const QString &command = message.command;
    const QString refusal = liveCommandRefusal(command, m_rules, c.device);
    QByteArray reply;
    if (refusal.isEmpty()) {
        m_log.AddMsg(u"Recieved command "_s + command);
        if (m_runCommand)
            m_runCommand(command);
        m_log.traceLine(c.index, u" - Pressed keys for command ", command);
        // The channel owns its holds: they are let go when it closes.
        const QChar sign = command.front();
        if (command.size() > 1 && sign == u'+')
            c.holds.insert(command.mid(1).toUpper());
        else if (command.size() > 1 && sign == u'-')
            c.holds.erase(command.mid(1).toUpper());
        reply = "ok " + message.id.toUtf8();
    } else {
        m_log.AddMsg(u"Refused command "_s + command + refusal);
        reply = "refused " + message.id.toUtf8() + ' '
            + refusal.mid(refusal.startsWith(u": ") ? 2 : 1).toUtf8();
    }
    m_answers.remember(message.id, reply);
    answer(self, reply);
}

void LiveChannels::answer(const std::shared_ptr<Channel> &c, const QByteArray &text)
{
    m_log.traceLine(c->index, u" - Sent Data: ", QString::fromUtf8(text));
    c->out.push_back(text.toStdString());
    if (!c->writing)
        write(c);
}

void LiveChannels::write(const std::shared_ptr<Channel> &c)
{
    c->writing = true;
    c->ws.async_write(boost::asio::buffer(c->out.front()),
                      [this, c](const boost::system::error_code &ec, std::size_t) {
                          if (c->ended)
                              return;
                          c->writing = false;
                          if (ec) {
                              end(c, QString::fromStdString(ec.message()), true);
                              return;
                          }
                          c->out.pop_front();
                          if (!c->out.empty())
                              write(c);
                      });
}

void LiveChannels::renew(const std::shared_ptr<Channel> &c)
{
    // A hold of a link is let go when its page stops renewing it; one of a
    // channel lasts as long as the channel answers its pings.
    c->renewTimer.expires_after(RenewHolds);
    c->renewTimer.async_wait([this, c](const boost::system::error_code &ec) {
        if (ec || c->ended)
            return;
        if (m_runCommand) {
            for (const QString &name : c->holds)
                m_runCommand(u"+"_s + name);
        }
        renew(c);
    });
}

void LiveChannels::end(const std::shared_ptr<Channel> &c, const QString &why, bool tell)
{
    if (c->ended)
        return;
    c->ended = true;
    m_channels.erase(c->index);
    for (const QString &name : c->holds) {
        if (m_runCommand)
            m_runCommand(u"-"_s + name);
        m_log.AddMsg(u"Let go of "_s + name + u": its live channel closed"_s);
        m_log.traceLine(c->index, u" - Released keys for command ", name);
    }
    c->holds.clear();
    boost::system::error_code ignored;
    c->renewTimer.cancel();
    boost::beast::get_lowest_layer(c->ws).close(ignored);
    if (c->open)
        m_log.AddMsg(u"Live channel closed for "_s + c->device + u": "_s + why);
    if (tell && m_ended)
        m_ended(c->index, c->generation);
}

} // namespace vanterel::http
