// IPeerConnector: how the source layers (engine tracker, BitTorrent trackers, LAN search, the
// command line's --peer) ask the peer layer to open a connection to a peer they learned of. The
// peer layer registers its implementation at engine start; until then requests are refused.
#pragma once

#include <array>
#include <cstdint>

#include "engine/core/task_hash.h"

namespace tessali::net {

// One peer from a source list.
struct SourcePeer {
    uint32_t addr = 0;  // network order
    uint16_t port = 0;  // network order
    // The 12 id bytes of a source-list entry ("MIRT" + version digits are put in front of them).
    std::array<uint8_t, 12> idTail{};
    uint8_t natType = 0;      // 0: reachable directly over TCP; otherwise reliable UDP through NAT
    uint8_t versionType = 1;  // 1 plain framing, 2 HTTP-tunnelled, 3 scrambled
    bool bitTorrent = false;  // a peer from a BitTorrent tracker: plain TCP, no engine id
    // An address the user named: over reliable UDP it is connected to straight from its carrier
    // socket, without the relay rules for peers behind NAT.
    bool direct = false;
};

class IPeerConnector {
public:
    virtual ~IPeerConnector() = default;
    // Opens a connection for task `hash` to `peer` unless it is ourselves or already connected;
    // true when an attempt was started.
    virtual bool ConnectToSource(const core::TaskHash& hash, const SourcePeer& peer) = 0;
};

// Registers the connector (not owned; nullptr unregisters).
void SetPeerConnector(IPeerConnector* connector);
// False when no connector is registered.
bool ConnectToSource(const core::TaskHash& hash, const SourcePeer& peer);

}  // namespace tessali::net
