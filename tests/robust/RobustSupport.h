#pragma once

// Small pieces shared by the robustness tests: raw loopback clients that live
// outside Qt's event loop, descriptor counting, and the open-file limit.

#include <QByteArray>
#include <QEventLoop>
#include <QSocketNotifier>
#include <QTimer>
#include <QtGlobal>

#include <algorithm>
#include <cerrno>
#include <vector>
#include <dirent.h>
#include <fcntl.h>
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

namespace vanterel::robust {

// The descriptors this process has open now (the directory's own one not
// counted).
inline std::vector<int> openDescriptors()
{
    std::vector<int> fds;
    DIR *dir = ::opendir("/proc/self/fd");
    if (!dir)
        return fds;
    while (const dirent *entry = ::readdir(dir)) {
        const int fd = QByteArray(entry->d_name).toInt();
        if (entry->d_name[0] != '.' && fd != ::dirfd(dir))
            fds.push_back(fd);
    }
    ::closedir(dir);
    return fds;
}

inline int openDescriptorCount() { return int(openDescriptors().size()); }

inline int highestDescriptor()
{
    const std::vector<int> fds = openDescriptors();
    return fds.empty() ? -1 : *std::max_element(fds.begin(), fds.end());
}

// Puts the soft open-file limit back as it was when the guard was made.
class FileLimitGuard {
public:
    FileLimitGuard() { m_ok = ::getrlimit(RLIMIT_NOFILE, &m_saved) == 0; }
    ~FileLimitGuard()
    {
        if (m_ok)
            ::setrlimit(RLIMIT_NOFILE, &m_saved);
    }
    FileLimitGuard(const FileLimitGuard &) = delete;
    FileLimitGuard &operator=(const FileLimitGuard &) = delete;

    bool setSoft(rlim_t soft)
    {
        rlimit limit = m_saved;
        limit.rlim_cur = soft;
        return m_ok && ::setrlimit(RLIMIT_NOFILE, &limit) == 0;
    }
    rlim_t hard() const { return m_saved.rlim_max; }

private:
    rlimit m_saved {};
    bool m_ok = false;
};

inline rlim_t currentSoftFileLimit()
{
    rlimit limit {};
    ::getrlimit(RLIMIT_NOFILE, &limit);
    return limit.rlim_cur;
}

// A TCP socket not yet connected, or -1.
inline int newSocket() { return ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0); }

inline void setNonBlocking(int fd) { ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK); }

// A blocking connect: on loopback it returns once the connection waits in the
// listener's backlog, before the server has accepted it. Keep the number of
// such connections that the server has not yet accepted below the backlog
// (50), or the call waits for a SYN retry while the server cannot run.
inline bool connectTo(int fd, quint16 port)
{
    sockaddr_in addr = {};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(port);
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return ::connect(fd, reinterpret_cast<const sockaddr *>(&addr), sizeof addr) == 0;
}

inline int connectNew(quint16 port)
{
    const int fd = newSocket();
    if (fd < 0)
        return -1;
    if (!connectTo(fd, port)) {
        ::close(fd);
        return -1;
    }
    setNonBlocking(fd);
    return fd;
}

inline bool sendAll(int fd, const QByteArray &bytes)
{
    qsizetype done = 0;
    while (done < bytes.size()) {
        const ssize_t n = ::send(fd, bytes.constData() + done, size_t(bytes.size() - done), MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        done += n;
    }
    return true;
}

// Reads what is there without waiting. Returns false once the peer has
// closed (or reset) the connection.
inline bool readAvailable(int fd, QByteArray &into)
{
    char buffer[65536];
    for (;;) {
        const ssize_t n = ::recv(fd, buffer, sizeof buffer, MSG_DONTWAIT);
        if (n > 0) {
            into.append(buffer, n);
            continue;
        }
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK))
            return true;
        if (n < 0 && errno == EINTR)
            continue;
        return false;
    }
}

// Closes with a zero linger: the system answers with a reset, not a FIN.
inline void resetAndClose(int fd)
{
    const linger hard = {1, 0};
    ::setsockopt(fd, SOL_SOCKET, SO_LINGER, &hard, sizeof hard);
    ::close(fd);
}

// The port of a socket's own end, or of its peer's.
inline quint16 portOf(int fd, bool peer)
{
    sockaddr_in addr = {};
    socklen_t len = sizeof addr;
    const int failed = peer ? ::getpeername(fd, reinterpret_cast<sockaddr *>(&addr), &len)
                            : ::getsockname(fd, reinterpret_cast<sockaddr *>(&addr), &len);
    return failed ? 0 : ntohs(addr.sin_port);
}

// The server's end of a loopback connection of this same process: the socket
// whose local port is the server's and whose peer is the client's end.
inline int serverEndOf(int clientFd, quint16 serverPort)
{
    for (const int fd : openDescriptors())
        if (fd != clientFd && portOf(fd, false) == serverPort && portOf(fd, true) == portOf(clientFd, false))
            return fd;
    return -1;
}

// Whether the system would take more bytes on the socket right now.
inline bool writable(int fd)
{
    pollfd p = {fd, POLLOUT, 0};
    return ::poll(&p, 1, 0) == 1 && (p.revents & POLLOUT);
}

// Runs the event loop until the condition holds, looking at it every
// millisecond; the server's events run at full speed meanwhile (a wait that
// sleeps between looks would pace the server to its own rhythm).
template <typename Condition>
bool runUntil(Condition condition, int timeoutMs)
{
    if (condition())
        return true;
    QEventLoop loop;
    QTimer look;
    look.setInterval(1);
    QObject::connect(&look, &QTimer::timeout, &loop, [&] {
        if (condition())
            loop.quit();
    });
    QTimer::singleShot(timeoutMs, &loop, &QEventLoop::quit);
    look.start();
    loop.exec();
    return condition();
}

// Everything a raw client receives until the peer closes, read as soon as it
// arrives: the event loop wakes for it (and for the server in this same
// thread) rather than looking now and then. *ended says whether the peer
// closed within the time.
inline QByteArray readUntilClosed(int fd, int timeoutMs, bool *ended)
{
    QByteArray got;
    *ended = !readAvailable(fd, got);
    if (*ended)
        return got;
    QEventLoop loop;
    QSocketNotifier reader(qintptr(fd), QSocketNotifier::Read);
    QObject::connect(&reader, &QSocketNotifier::activated, &loop, [&] {
        if (!readAvailable(fd, got)) {
            *ended = true;
            reader.setEnabled(false);
            loop.quit();
        }
    });
    QTimer::singleShot(timeoutMs, &loop, &QEventLoop::quit);
    loop.exec();
    return got;
}

} // namespace vanterel::robust
