#include "http/SocketAddress.h"
#include "http/SocketIo.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstring>
#include <netinet/in.h>
#include <sys/sendfile.h>
#include <sys/socket.h>
#include <unistd.h>

namespace vanterel::http::socketio {

namespace {

Result outcome(ssize_t n)
{
    Result r;
    if (n >= 0)
        r.bytes = n;
    else if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)
        r.wouldBlock = true;
    else
        r.error = errno;
    return r;
}

} // namespace

Result acceptConnection(Handle listener, PeerAddress &peer)
{
    for (;;) {
        sockaddr_storage address{};
        socklen_t length = sizeof address;
        const int fd = ::accept4(listener, reinterpret_cast<sockaddr *>(&address), &length,
                                 SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (fd >= 0) {
            peer = peerAddressOf(address);
            return Result{fd, false, 0};
        }
        // A connection that was reset while it waited in the queue is simply
        // gone; the next one may be fine.
        if (errno == ECONNABORTED || errno == EINTR || errno == EPROTO)
            continue;
        return outcome(-1);
    }
}

Result receive(Handle socket, char *buffer, std::size_t size)
{
    return outcome(::recv(socket, buffer, size, 0));
}

Result send(Handle socket, const char *data, std::size_t size)
{
    // MSG_NOSIGNAL: a peer that has gone is an error to handle, not a SIGPIPE.
    return outcome(::send(socket, data, size, MSG_NOSIGNAL | MSG_DONTWAIT));
}

Result readFile(int fileDescriptor, char *buffer, std::size_t size, std::int64_t offset)
{
    return outcome(::pread(fileDescriptor, buffer, size, static_cast<off_t>(offset)));
}

Result sendFile(Handle socket, int fileDescriptor, std::int64_t offset, std::size_t size)
{
    off_t at = static_cast<off_t>(offset);
    const ssize_t n = ::sendfile(socket, fileDescriptor, &at, size);
    // sendfile() to a socket whose peer is gone raises SIGPIPE like write();
    // the program ignores SIGPIPE (see the server's start), so it is EPIPE here.
    return outcome(n);
}

std::string addressText(const PeerAddress &peer)
{
    return peerAddressText(peer);
}

void closeHandle(Handle handle)
{
    if (handle >= 0)
        ::close(handle);
}

const char *errorText(int error)
{
    return std::strerror(error);
}

} // namespace vanterel::http::socketio
