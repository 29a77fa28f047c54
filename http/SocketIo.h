#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>

// The few system calls that move bytes on the server's sockets, with the
// outcome in one shape. The event library tells when a socket is ready; these
// do the work with exactly one call each, so that a request costs no call it
// does not need (no blocking-mode changes, no signal on a closed peer).
namespace vanterel::http::socketio {

#ifdef _WIN32
// A SOCKET, which is as wide as a pointer.
using Handle = std::uintptr_t;
inline constexpr Handle InvalidHandle = ~Handle(0);
#else
using Handle = int;
inline constexpr Handle InvalidHandle = -1;
#endif

struct Result {
    // Bytes moved; 0 with neither flag set means the peer closed (receive)
    // or nothing could be taken (send).
    std::int64_t bytes = 0;
    // Nothing to read, or no room to write, for now.
    bool wouldBlock = false;
    // errno of a failure (connection reset, broken pipe, ...), on Windows the
    // system's error code; 0 when none.
    int error = 0;
};

// The address of a connection's peer, as the system gave it.
struct PeerAddress {
    bool isV6 = false;
    // An IPv4 address in the first 4 bytes, or an IPv6 address.
    std::array<std::uint8_t, 16> bytes{};

    friend bool operator==(const PeerAddress &, const PeerAddress &) = default;
};

// Takes a waiting connection, non-blocking and closed on exec, and its
// peer's address. Result.bytes is the new handle; wouldBlock when none
// waits; error e.g. EMFILE.
Result acceptConnection(Handle listener, PeerAddress &peer);

// "192.168.1.23", "::1". An IPv4 peer of a dual-stack listener, which the
// system gives as an IPv4-mapped IPv6 address, is written the IPv4 way.
std::string addressText(const PeerAddress &peer);

Result receive(Handle socket, char *buffer, std::size_t size);
Result send(Handle socket, const char *data, std::size_t size);
// The file is a FileHandle's value (on Windows a file HANDLE).
// Reads size bytes of the file from offset; fewer when the file ends first.
Result readFile(int fileDescriptor, char *buffer, std::size_t size, std::int64_t offset);
// Sends size bytes of the file from offset, without copying them through us.
// bytes is what the socket took; 0 with no flag means the file ended early.
Result sendFile(Handle socket, int fileDescriptor, std::int64_t offset, std::size_t size);

void closeHandle(Handle handle);

// The error text of an error value of Result or of the event library.
const char *errorText(int error);

} // namespace vanterel::http::socketio
