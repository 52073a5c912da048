// The socket event: one record per network event (connected, accepted, data, closed), posted by
// the event threads and the reliable-UDP manager into an event queue for the peer thread.
// A plain value; the data bytes travel beside it inside the queue.
#pragma once

#include <cstdint>

#include "engine/core/connection_key.h"

namespace tessali::net {

enum class SockEventKind : uint8_t {
    kConnected = 0,  // outgoing connection established
    kAccepted = 1,   // incoming connection accepted
    kData = 2,
    kClosed = 3,
};

struct SocketEvent {
    uint32_t addr = 0;  // remote IPv4, network order
    uint16_t port = 0;  // remote port, network order
    int32_t sock = -1;  // for reliable-UDP connections: the shared carrier socket
    SockEventKind kind = SockEventKind::kData;
    uint32_t length = 0;  // data bytes (kind 2 only)

    core::ConnectionKey Key() const { return core::ConnectionKey{addr, port, sock}; }
};

}  // namespace tessali::net
