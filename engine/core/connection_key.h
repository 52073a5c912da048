// The key of one connection: IPv4 address and port (both network byte order, as on the wire) and
// the socket handle. Peers are looked up by it; ordered by address, then port, then socket.
#pragma once

#include <compare>
#include <cstdint>
#include <string>

namespace tessali::core {

struct ConnectionKey {
    uint32_t addr = 0;  // network order
    uint16_t port = 0;  // network order
    int32_t sock = -1;

    auto operator<=>(const ConnectionKey&) const = default;
    // "a.b.c.d:port/sock" for logs.
    std::string Text() const;
};

}  // namespace tessali::core
