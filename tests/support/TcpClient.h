#pragma once

// A plain blocking loopback client for talking to the server's thread from a test: no event loop of
// its own, so the test waits on the socket itself.
#include <QByteArray>
#include <QDeadlineTimer>

#include <arpa/inet.h>
#include <poll.h>
#include <unistd.h>
#include <utility>

namespace vanterel::testing {

class TcpClient {
public:
    explicit TcpClient(int port)
        : m_fd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0))
    {
        const sockaddr_in addr{AF_INET, htons(quint16(port)), {htonl(INADDR_LOOPBACK)}, {}};
        if (::connect(m_fd, reinterpret_cast<const sockaddr *>(&addr), sizeof addr) != 0)
            close();
    }
    ~TcpClient() { close(); }
    TcpClient(const TcpClient &) = delete;
    TcpClient &operator=(const TcpClient &) = delete;

    bool connected() const { return m_fd >= 0; }
    bool send(const QByteArray &bytes)
    {
        return ::send(m_fd, bytes.data(), size_t(bytes.size()), MSG_NOSIGNAL) == bytes.size();
    }
    void shutdownWrite() { ::shutdown(m_fd, SHUT_WR); } // no more from us; the server may still send
    void close() { ::close(std::exchange(m_fd, -1)); }  // with bytes left unread, a reset

    // Reads until at least `atLeast` bytes came (or, with -1, until the server closes); "<timeout>" is
    // appended when the deadline passes first.
    QByteArray read(qint64 atLeast = -1, int timeoutMs = 20000)
    {
        QByteArray got;
        const QDeadlineTimer deadline(timeoutMs);
        char buffer[65536];
        while (atLeast < 0 || got.size() < atLeast) {
            pollfd p{m_fd, POLLIN, 0};
            if (::poll(&p, 1, int(deadline.remainingTime())) <= 0)
                return got + "<timeout>";
            const ssize_t n = ::recv(m_fd, buffer, sizeof buffer, 0);
            m_closedByPeer = n <= 0;
            if (m_closedByPeer)
                break;
            got.append(buffer, n);
        }
        return got;
    }
    bool closedByPeer() const { return m_closedByPeer; }

private:
    int m_fd;
    bool m_closedByPeer = false;
};

// One request on a new connection; everything the server sent until it closed.
inline QByteArray exchange(int port, const QByteArray &request)
{
    TcpClient client(port);
    return client.connected() && client.send(request) ? client.read() : QByteArray("<no connection>");
}

} // namespace vanterel::testing
