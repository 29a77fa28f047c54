#pragma once

// What both platforms' socket files make of a peer's address
// (sockaddr_in6, IN6_IS_ADDR_V4MAPPED and inet_ntop are spelt the same on
// both). Only those two files include it: it brings the system's socket
// headers with it.

#include "http/SocketIo.h"

#include <cstring>
#include <string>
#ifdef _WIN32
#include <winsock2.h>
#include <ws2tcpip.h>
#else
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#endif

namespace vanterel::http::socketio {

// The address an accept gave, with an IPv4 client of the dual-stack listener
// (an IPv4 address mapped into IPv6) taken as IPv4.
template <typename Storage> PeerAddress peerAddressOf(const Storage &address)
{
    PeerAddress peer;
    if (address.ss_family == AF_INET6) {
        const auto &v6 = reinterpret_cast<const sockaddr_in6 &>(address);
        if (IN6_IS_ADDR_V4MAPPED(&v6.sin6_addr)) {
            std::memcpy(peer.bytes.data(), v6.sin6_addr.s6_addr + 12, 4);
        } else {
            peer.isV6 = true;
            std::memcpy(peer.bytes.data(), v6.sin6_addr.s6_addr, 16);
        }
    } else if (address.ss_family == AF_INET) {
        const auto &v4 = reinterpret_cast<const sockaddr_in &>(address);
        std::memcpy(peer.bytes.data(), &v4.sin_addr, 4);
    }
    return peer;
}

inline std::string peerAddressText(const PeerAddress &peer)
{
    char text[INET6_ADDRSTRLEN] = {};
    if (::inet_ntop(peer.isV6 ? AF_INET6 : AF_INET, peer.bytes.data(), text, sizeof text) == nullptr)
        return {};
    return text;
}

} // namespace vanterel::http::socketio
