#pragma once

// A blocking WebSocket client of the live channel for tests and benchmarks: Boost.Beast's own client, so
// that the server is checked against another implementation of the protocol than its own use of it.
#include <QByteArray>

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/beast/core/buffers_to_string.hpp>
#include <boost/beast/core/flat_buffer.hpp>
#include <boost/beast/http/field.hpp>
#include <boost/beast/websocket.hpp>
#include <string>
#ifdef _WIN32
#include <winsock2.h>
#else
#include <sys/socket.h>
#endif

namespace vanterel::testing {

class LiveClient {
public:
    // Connects to the loopback port and opens the channel with this Origin (none when empty). A read
    // that waits longer than timeoutMs fails.
    LiveClient(int port, const std::string &origin, int timeoutMs = 10000)
        : m_ws(m_io)
    {
        namespace websocket = boost::beast::websocket;
        using boost::asio::ip::tcp;
        boost::system::error_code ec;
        m_ws.next_layer().connect(tcp::endpoint(boost::asio::ip::address_v4::loopback(), quint16(port)), ec);
        if (ec)
            return;
        m_ws.next_layer().set_option(tcp::no_delay(true), ec);
#ifdef _WIN32
        const DWORD timeout = DWORD(timeoutMs); // Winsock takes milliseconds
        ::setsockopt(m_ws.next_layer().native_handle(), SOL_SOCKET, SO_RCVTIMEO,
                     reinterpret_cast<const char *>(&timeout), sizeof timeout);
#else
        const timeval timeout{timeoutMs / 1000, (timeoutMs % 1000) * 1000};
        ::setsockopt(m_ws.next_layer().native_handle(), SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
#endif
        m_ws.set_option(websocket::stream_base::decorator([origin](websocket::request_type &request) {
            if (!origin.empty())
                request.set(boost::beast::http::field::origin, origin);
        }));
        m_ws.handshake(m_response, "127.0.0.1:" + std::to_string(port), "/.vanterel/live", ec);
        m_open = !ec;
    }

    bool open() const
    {
        return m_open;
    }
    // The status of the handshake's answer: 101 when the channel opened.
    int status() const
    {
        return m_response.result_int();
    }

    bool send(const QByteArray &message)
    {
        boost::system::error_code ec;
        m_ws.write(boost::asio::buffer(message.constData(), std::size_t(message.size())), ec);
        return !ec;
    }
    // The next message, or "<error: ...>".
    QByteArray receive()
    {
        boost::system::error_code ec;
        boost::beast::flat_buffer buffer;
        m_ws.read(buffer, ec);
        if (ec)
            return "<error: " + QByteArray::fromStdString(ec.message()) + '>';
        return QByteArray::fromStdString(boost::beast::buffers_to_string(buffer.data()));
    }
    QByteArray ask(const QByteArray &message)
    {
        return send(message) ? receive() : "<error: send>";
    }
    // With the closing handshake.
    void close()
    {
        boost::system::error_code ec;
        m_ws.close(boost::beast::websocket::close_code::normal, ec);
    }
    // As a page that lost its network: the socket goes, no closing handshake.
    void drop()
    {
        boost::system::error_code ec;
        m_ws.next_layer().close(ec);
    }

private:
    boost::asio::io_context m_io;
    boost::beast::websocket::stream<boost::asio::ip::tcp::socket> m_ws;
    boost::beast::websocket::response_type m_response;
    bool m_open = false;
};

} // namespace vanterel::testing
