// The server's socket and file calls on Winsock. Files are FileHandle values
// holding a file HANDLE (see ServedRootWindows.cpp).
#include "http/SocketAddress.h"
#include "http/SocketIo.h"

#include <algorithm>
#include <cstring>
#include <string>
#include <system_error>
#include <windows.h>
#include <winsock2.h>
#include <ws2tcpip.h>

namespace vanterel::http::socketio {

namespace {

SOCKET socketOf(Handle handle)
{
    return static_cast<SOCKET>(handle);
}

HANDLE fileOf(int fileDescriptor)
{
    // Kernel handles have 32 significant bits and are sign-extended, which is
    // how FileHandle keeps them in an int.
    return reinterpret_cast<HANDLE>(static_cast<std::intptr_t>(fileDescriptor));
}

Result socketOutcome(int n)
{
    Result r;
    if (n != SOCKET_ERROR) {
        r.bytes = n;
        return r;
    }
    const int error = ::WSAGetLastError();
    if (error == WSAEWOULDBLOCK || error == WSAEINTR)
        r.wouldBlock = true;
    else
        r.error = error;
    return r;
}

// Winsock takes an int count.
int clamped(std::size_t size)
{
    return static_cast<int>(std::min<std::size_t>(size, 1U << 30));
}

// A piece of a file on its way to a socket: the pacer sends pieces of a
// few kilobytes, so one buffer per thread serves every connection.
constexpr std::size_t PieceBuffer = 64 * 1024;

} // namespace

Result acceptConnection(Handle listener, PeerAddress &peer)
{
    // The listening socket is not in non-blocking mode by itself, and a
    // second accept after the queue has emptied must not hold the network
    // thread.
    u_long nonBlocking = 1;
    ::ioctlsocket(socketOf(listener), FIONBIO, &nonBlocking);
    for (;;) {
        sockaddr_storage address{};
        int length = sizeof address;
        const SOCKET s = ::accept(socketOf(listener), reinterpret_cast<sockaddr *>(&address), &length);
        if (s != INVALID_SOCKET) {
            // The new socket takes the listener's mode; set it all the same,
            // since reads and writes rely on it.
            ::ioctlsocket(s, FIONBIO, &nonBlocking);
            // Not inherited by programs the user starts from the options window.
            ::SetHandleInformation(reinterpret_cast<HANDLE>(s), HANDLE_FLAG_INHERIT, 0);
            peer = peerAddressOf(address);
            return Result{static_cast<std::int64_t>(s), false, 0};
        }
        // A connection that was reset while it waited in the queue is simply
        // gone; the next one may be fine.
        const int error = ::WSAGetLastError();
        if (error == WSAECONNRESET || error == WSAEINTR)
            continue;
        return socketOutcome(SOCKET_ERROR);
    }
}

Result receive(Handle socket, char *buffer, std::size_t size)
{
    return socketOutcome(::recv(socketOf(socket), buffer, clamped(size), 0));
}

Result send(Handle socket, const char *data, std::size_t size)
{
    // Winsock raises no signal on a peer that has gone: the error is enough.
    return socketOutcome(::send(socketOf(socket), data, clamped(size), 0));
}

Result readFile(int fileDescriptor, char *buffer, std::size_t size, std::int64_t offset)
{
    // A handle opened without FILE_FLAG_OVERLAPPED reads synchronously at
    // the offset given here, with no file position shared between callers.
    OVERLAPPED at{};
    at.Offset = static_cast<DWORD>(static_cast<std::uint64_t>(offset) & 0xFFFFFFFFU);
    at.OffsetHigh = static_cast<DWORD>(static_cast<std::uint64_t>(offset) >> 32);
    DWORD read = 0;
    Result r;
    const DWORD wanted = static_cast<DWORD>(std::min<std::size_t>(size, 1U << 30));
    if (::ReadFile(fileOf(fileDescriptor), buffer, wanted, &read, &at)) {
        r.bytes = read;
        return r;
    }
    const DWORD error = ::GetLastError();
    if (error != ERROR_HANDLE_EOF)
        r.error = static_cast<int>(error);
    return r;
}

Result sendFile(Handle socket, int fileDescriptor, std::int64_t offset, std::size_t size)
{
    // TransmitFile wants a blocking or overlapped socket; the server's are
    // non-blocking. A piece is read and offered to the socket instead; what
    // the socket does not take is read again at the next turn.
    thread_local std::string piece(PieceBuffer, '\0');
    const Result read = readFile(fileDescriptor, piece.data(), std::min(size, PieceBuffer), offset);
    if (read.error != 0 || read.bytes == 0)
        return read;
    return send(socket, piece.data(), std::size_t(read.bytes));
}

std::string addressText(const PeerAddress &peer)
{
    return peerAddressText(peer);
}

void closeHandle(Handle handle)
{
    if (handle != InvalidHandle)
        ::closesocket(socketOf(handle));
}

const char *errorText(int error)
{
    thread_local std::string text;
    text = std::system_category().message(error);
    return text.c_str();
}

} // namespace vanterel::http::socketio
