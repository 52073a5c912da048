// ITrackerRelay: what connecting through NAT needs from the tracker agent: whether it is logged
// in, its own UDP socket and peer id, and a way to get a relay request to the tracker server.
// Implemented by the tracker agent; called from the peer thread.
#pragma once

#include <array>
#include <cstdint>
#include <span>

namespace tessali::net {

class ITrackerRelay {
public:
    virtual ~ITrackerRelay() = default;
    virtual bool LoggedIn() = 0;
    // The tracker agent's UDP socket.
    virtual int AgentSocket() = 0;
    virtual std::array<uint8_t, 20> OwnPeerId() = 0;
    // Gets the 68-byte relay request to the tracker server, sent from `sock`.
    virtual void SendRelayRequest(int sock, std::span<const uint8_t> request) = 0;
};

}  // namespace tessali::net
