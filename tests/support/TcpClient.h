#pragma once

// A plain blocking loopback client for talking to the server's thread from a
// test: no event loop of its own, so the test waits on the socket itself.

#include <QByteArray>
#include <QDeadlineTimer>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace vanterel::testing {

class TcpClient {
public:
    explicit TcpClient(int port)
    {
        m_fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_port = htons(quint16(port));
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        if (::connect(m_fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr) != 0) {
            ::close(m_fd);
            m_fd = -1;
        }
    }
    ~TcpClient() { close(); }
    TcpClient(const TcpClient &) = delete;
    TcpClient &operator=(const TcpClient &) = delete;

    bool connected() const { return m_fd >= 0; }
    bool send(const QByteArray &bytes) { return ::send(m_fd, bytes.constData(), size_t(bytes.size()), MSG_NOSIGNAL) == bytes.size(); }
    // No more from us; the server may still send.
    void shutdownWrite() { ::shutdown(m_fd, SHUT_WR); }
    // Close at once, with a reset if anything is left unread.
    void reset()
    {
        linger hard{1, 0};
        ::setsockopt(m_fd, SOL_SOCKET, SO_LINGER, &hard, sizeof hard);
        close();
    }
    void close()
    {
        if (m_fd >= 0)
            ::close(m_fd);
        m_fd = -1;
    }

    // Reads until at least `atLeast` bytes came (or, with -1, until the
    // server closes); "<timeout>" is appended when the deadline passes first.
    QByteArray read(qint64 atLeast = -1, int timeoutMs = 20000)
    {
        QByteArray got;
        QDeadlineTimer deadline(timeoutMs);
        char buffer[65536];
        while (atLeast < 0 || got.size() < atLeast) {
            pollfd p{m_fd, POLLIN, 0};
            if (::poll(&p, 1, int(deadline.remainingTime())) <= 0)
                return got + "<timeout>";
            const ssize_t n = ::recv(m_fd, buffer, sizeof buffer, 0);
            if (n <= 0) {
                m_closedByPeer = true;
                break;
            }
            got.append(buffer, n);
        }
        return got;
    }
    bool closedByPeer() const { return m_closedByPeer; }

private:
    int m_fd = -1;
    bool m_closedByPeer = false;
};

// One request on a new connection; everything the server sent until it closed.
inline QByteArray exchange(int port, const QByteArray &request, bool halfClose = false)
{
    TcpClient client(port);
    if (!client.connected() || !client.send(request))
        return "<no connection>";
    if (halfClose)
        client.shutdownWrite();
    return client.read();
}

} // namespace vanterel::testing
