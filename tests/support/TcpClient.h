#pragma once

// A plain blocking loopback client for talking to the server's thread from a test: no event loop of
// its own, so the test waits on the socket itself.
#include <QByteArray>
#include <QDeadlineTimer>

#include <utility>
#ifdef _WIN32
#include <winsock2.h>
#else
#include <arpa/inet.h>
#include <poll.h>
#include <unistd.h>
#endif

namespace vanterel::testing {

#ifdef _WIN32
// Winsock under the POSIX names this client uses.
using Socket = SOCKET;
constexpr Socket NoSocket = INVALID_SOCKET;
constexpr int SOCK_CLOEXEC = 0, MSG_NOSIGNAL = 0, SHUT_WR = SD_SEND;
using pollfd = WSAPOLLFD;
inline int poll(pollfd *p, ULONG n, int timeoutMs)
{
    return ::WSAPoll(p, n, timeoutMs);
}
inline int closeSocket(Socket s)
{
    return s == NoSocket ? 0 : ::closesocket(s);
}
// Winsock counts its users; one more for the tests' own sockets.
inline const bool WinsockStarted = [] {
    WSADATA data;
    return ::WSAStartup(MAKEWORD(2, 2), &data) == 0;
}();
#else
using Socket = int;
constexpr Socket NoSocket = -1;
inline int closeSocket(Socket s)
{
    return s < 0 ? 0 : ::close(s);
}
#endif

class TcpClient {
public:
    explicit TcpClient(int port)
        : m_fd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0))
    {
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_port = htons(quint16(port));
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        if (::connect(m_fd, reinterpret_cast<const sockaddr *>(&addr), sizeof addr) != 0)
            close();
    }
    ~TcpClient() { close(); }
    TcpClient(const TcpClient &) = delete;
    TcpClient &operator=(const TcpClient &) = delete;

    bool connected() const { return m_fd != NoSocket; }
    bool send(const QByteArray &bytes)
    {
        return ::send(m_fd, bytes.data(), int(bytes.size()), MSG_NOSIGNAL) == bytes.size();
    }
    void shutdownWrite() { ::shutdown(m_fd, SHUT_WR); }          // no more from us; the server may still send
    void close() { closeSocket(std::exchange(m_fd, NoSocket)); } // with bytes left unread, a reset

    // Reads until at least `atLeast` bytes came (or, with -1, until the server closes); "<timeout>" is
    // appended when the deadline passes first.
    QByteArray read(qint64 atLeast = -1, int timeoutMs = 20000)
    {
        QByteArray got;
        const QDeadlineTimer deadline(timeoutMs);
        char buffer[65536];
        while (atLeast < 0 || got.size() < atLeast) {
            pollfd p{m_fd, POLLIN, 0};
            if (poll(&p, 1, int(deadline.remainingTime())) <= 0)
                return got + "<timeout>";
            const auto n = ::recv(m_fd, buffer, sizeof buffer, 0);
            m_closedByPeer = n <= 0;
            if (m_closedByPeer)
                break;
            got.append(buffer, n);
        }
        return got;
    }
    bool closedByPeer() const { return m_closedByPeer; }

private:
    Socket m_fd;
    bool m_closedByPeer = false;
};

// One request on a new connection; everything the server sent until it closed.
inline QByteArray exchange(int port, const QByteArray &request)
{
    TcpClient client(port);
    return client.connected() && client.send(request) ? client.read() : QByteArray("<no connection>");
}

} // namespace vanterel::testing
