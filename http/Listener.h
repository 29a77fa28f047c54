#pragma once

#include "http/NetworkThread.h"
#include "http/SocketIo.h"

#include <QString>

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/steady_timer.hpp>
#include <functional>

namespace vanterel::http {

// Slot 0: the socket that listens on the port and hands every connection it
// accepts to the connection slots. Network thread only.
class Listener {
public:
    using Accepted = std::function<void(socketio::Handle connection, const socketio::PeerAddress &peer)>;

    Listener(boost::asio::io_context &io, const LoopThread &loop, Accepted accepted);

    // Listens on the port, IPv6 and IPv4 on one socket where the system has
    // IPv6. False when it cannot; failureLine() then says why.
    bool listen(qint32 port);
    void close();
    // Accepts connections as they come, until close().
    void waitForConnections();

    bool isOpen() const { return m_acceptor.is_open(); }
    boost::asio::ip::tcp protocol() const { return m_protocol; }
    // The port of the last listen(), also when it failed.
    qint32 port() const { return m_port; }
    // The address a browser on the local network would use, looked up once
    // per listen().
    const QString &address() const { return m_address; }

    // "Server listening on address <ip>:<port>", after listen() succeeded.
    QString listeningLine() const;
    // "Server could not listen on port <port>: <why>", after listen() failed.
    QString failureLine() const;

private:
    void acceptSome();

    const LoopThread &m_loop;
    boost::asio::io_context &m_io;
    Accepted m_accepted;
    boost::asio::ip::tcp::acceptor m_acceptor;
    boost::asio::ip::tcp m_protocol = boost::asio::ip::tcp::v4();
    // Counts the listens, so that a wait of a closed listener does nothing.
    quint32 m_generation = 0;
    qint32 m_port = 0;
    QString m_address;
    QString m_error;
    bool m_acceptErrorLogged = false;
    boost::asio::steady_timer m_acceptRetry;
};

} // namespace vanterel::http
