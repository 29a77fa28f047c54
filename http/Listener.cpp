#include "http/Listener.h"

#include "http/NetworkInterfaces.h"

#include <boost/asio/ip/v6_only.hpp>
#include <boost/asio/post.hpp>

namespace vanterel::http {

namespace {

using boost::asio::ip::tcp;

// Bursts of clients must not overflow the queue of connections waiting to be
// accepted: each overflow costs the client a second or more of SYN retries.
constexpr int ListenBacklog = 1024;
// After accepting failed (out of descriptors, typically) the listener rests
// this long before it tries again.
constexpr std::chrono::milliseconds AcceptRetry{100};
// Connections taken from the queue in one turn before timers and other
// sockets get theirs.
constexpr int MaxAcceptsPerTurn = 64;

QString listenErrorText(const boost::system::error_code &ec)
{
    if (ec == boost::asio::error::access_denied || ec.value() == EPERM)
        return QStringLiteral("permission denied (ports below 1024 need root or the "
                              "CAP_NET_BIND_SERVICE capability)");
    if (ec == boost::asio::error::address_in_use)
        return QStringLiteral("the port is already in use by another program");
    return QString::fromStdString(ec.message());
}

} // namespace

Listener::Listener(boost::asio::io_context &io, const LoopThread &loop, Accepted accepted)
    : m_loop(loop)
    , m_io(io)
    , m_accepted(std::move(accepted))
    , m_acceptor(io)
    , m_acceptRetry(io)
{
}

bool Listener::listen(qint32 port)
{
    Q_ASSERT(m_loop.isCurrent());
    m_error.clear();
    m_port = port;
    if (port < 1 || port > 65535) {
        m_error = QStringLiteral("the port must be from 1 to 65535");
        return false;
    }
    boost::system::error_code ec;
    m_protocol = tcp::v6();
    m_acceptor.open(m_protocol, ec);
    if (!ec)
        m_acceptor.set_option(boost::asio::ip::v6_only(false), ec);
    if (ec) {
        m_acceptor.close(ec);
        m_protocol = tcp::v4();
        m_acceptor.open(m_protocol, ec);
    }
    if (!ec)
        m_acceptor.set_option(tcp::acceptor::reuse_address(true), ec);
    if (!ec)
        m_acceptor.bind(tcp::endpoint(m_protocol, static_cast<unsigned short>(port)), ec);
    if (!ec)
        m_acceptor.listen(ListenBacklog, ec);
    if (ec) {
        m_error = listenErrorText(ec);
        boost::system::error_code ignored;
        m_acceptor.close(ignored);
        return false;
    }
    ++m_generation;
    m_acceptErrorLogged = false;
    m_address = LocalIP();
    return true;
}

void Listener::close()
{
    Q_ASSERT(m_loop.isCurrent());
    ++m_generation;
    m_acceptRetry.cancel();
    boost::system::error_code ignored;
    m_acceptor.close(ignored);
}

QString Listener::listeningLine() const
{
    return QStringLiteral("Server listening on address ") + m_address + QLatin1Char(':')
        + QString::number(m_port);
}

QString Listener::failureLine() const
{
    return QStringLiteral("Server could not listen on port ") + QString::number(m_port) + QStringLiteral(": ")
        + m_error;
}

void Listener::waitForConnections()
{
    Q_ASSERT(m_loop.isCurrent());
    const quint32 generation = m_generation;
    m_acceptor.async_wait(tcp::acceptor::wait_read, [this, generation](const boost::system::error_code &ec) {
        if (ec || generation != m_generation)
            return;
        acceptSome();
    });
}

void Listener::acceptSome()
{
    Q_ASSERT(m_loop.isCurrent());
    const quint32 generation = m_generation;
    for (int i = 0; i < MaxAcceptsPerTurn; ++i) {
        if (!m_acceptor.is_open())
            return;
        socketio::PeerAddress peer;
        const socketio::Result r = socketio::acceptConnection(m_acceptor.native_handle(), peer);
        if (r.wouldBlock) {
            waitForConnections();
            return;
        }
        if (r.error != 0) {
            // Out of descriptors, most likely: say it once, not once per retry.
            if (!m_acceptErrorLogged)
                qCWarning(lcServer) << "Cannot accept connections for now:" << socketio::errorText(r.error);
            m_acceptErrorLogged = true;
            m_acceptRetry.expires_after(AcceptRetry);
            m_acceptRetry.async_wait([this, generation](const boost::system::error_code &ec) {
                if (!ec && generation == m_generation)
                    acceptSome();
            });
            return;
        }
        m_acceptErrorLogged = false;
        m_accepted(static_cast<socketio::Handle>(r.bytes), peer);
    }
    // Others wait their turn: the rest of the queue after them.
    boost::asio::post(m_io, [this, generation] {
        if (generation == m_generation)
            acceptSome();
    });
}

} // namespace vanterel::http
