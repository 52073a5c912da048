// Where the LAN search hands the peers it finds: the peer layer implements this with its
// peer-connect operation (source kind "local network"), which ignores the engine's own address
// and peers it already knows. Called on the thread that runs the LAN search step.
#pragma once

#include <cstdint>
#include <span>

#include "engine/core/task_hash.h"

namespace tessali::nat {

constexpr uint8_t kLanPeerSourceKind = 3;

class ILanPeerSink {
public:
    virtual ~ILanPeerSink() = default;
    // A peer that has the task `hash`: its 20-byte peer id, IPv4 address (network order) and
    // listen port (host order; 0 when its answer gave none).
    virtual void AddLanPeer(const core::TaskHash& hash, std::span<const uint8_t, 20> peerId, uint32_t address,
                            uint16_t port) = 0;
};

}  // namespace tessali::nat
