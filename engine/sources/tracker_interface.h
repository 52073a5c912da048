// CTrackerInterface: the engine's link to its tracker server as the rest of the engine sees it:
// start and stop, queueing requests, taking the replies the tracker thread handles, the login
// state, the engine's peer id and the UDP socket it shares with reliable UDP. One process-wide
// implementation (CTrackerAgent); every operation is safe from any thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "engine/core/peer_id.h"

namespace tessali::sources {

class CTrackerInterface {
public:
    virtual ~CTrackerInterface() = default;
    virtual bool Start() = 0;
    // Logs out (when logged in) and ends the agent's threads.
    virtual void Stop() = 0;
    // Queues a request (tracker message bytes; the peer id and sequence are filled in here).
    virtual void QueueMessage(std::vector<uint8_t> message, bool urgent) = 0;
    // Takes the oldest received message into `buffer`; `length` is its size on return. False
    // when none is queued (or the buffer is too small: the message then stays).
    virtual bool TakeReceived(std::span<uint8_t> buffer, size_t& length) = 0;
    // Waits up to `timeoutMs` for received messages; true when some may be queued.
    virtual bool WaitReceived(uint32_t timeoutMs) = 0;
    virtual void Login() = 0;
    // The engine's address as the tracker saw it (network order), 0 before the first login.
    virtual uint32_t OwnExternalAddress() = 0;
    // The tracker server's address (network order) and port (host order).
    virtual uint32_t TrackerServerAddress() = 0;
    virtual uint16_t TrackerServerPort() = 0;
    virtual bool LoggedIn() = 0;
    virtual bool NatType6() = 0;
    virtual core::PeerId OwnPeerId() = 0;
    virtual int UdpSocket() = 0;
    // Reaches a peer behind NAT: the reliable-UDP rules, with the relay request queued here as
    // an urgent request. True when a direct connect was started.
    virtual bool ConnectThroughNat(uint32_t addr, uint16_t port, uint32_t remoteNatType,
                                   const core::PeerId& remotePeerId,
                                   std::span<const uint8_t, 20> infoHash) = 0;
};

}  // namespace tessali::sources
