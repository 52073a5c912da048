// ITaskPeers: a task's peer group and its block requests, as the peer protocol and the trackers
// reach them. Every operation names its task by hash and a peer by its connection key; an absent
// task or peer gives the failure value stated (-1, false or 0) and changes nothing.
// Callable from any thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include "engine/core/block_address.h"
#include "engine/core/connection_key.h"
#include "engine/core/task_hash.h"

namespace tessali::core {

// What a peer brings when it joins a task's peer group.
struct PeerAttributes {
    uint8_t natType = 0;    // as the tracker reported it; 0 = reachable directly
    uint8_t transport = 1;  // 1 TCP, 3 reliable UDP
    uint8_t kind = 2;       // 1 engine peer, 2 BitTorrent peer (until its id says otherwise)
    uint32_t extra = 0;
};

// An absolute content range of one block request.
struct BlockRange {
    int64_t position = 0;
    uint32_t length = 0;
};

constexpr size_t kRequestMessageBytes = 17;

class ITaskPeers {
public:
    virtual ~ITaskPeers() = default;

    virtual int AddPeer(const TaskHash& hash, const ConnectionKey& peer,
                        const PeerAttributes& attributes) = 0;
    // The peer's rate counts leave the task's counters with it.
    virtual int RemovePeer(const TaskHash& hash, const ConnectionKey& peer) = 0;
    virtual uint32_t GetPeerCount(const TaskHash& hash) = 0;
    virtual bool HasPeerAt(const TaskHash& hash, uint32_t addr, uint16_t port) = 0;
    virtual bool HasPeerWithId(const TaskHash& hash, std::span<const uint8_t, 20> id) = 0;

    // What the peer has.
    virtual int SetPeerBitfield(const TaskHash& hash, const ConnectionKey& peer,
                                std::span<const uint8_t> bits) = 0;
    virtual int SetPeerHave(const TaskHash& hash, const ConnectionKey& peer, PieceIndex piece) = 0;
    // Gives a peer without a bitfield an empty one and makes it active.
    virtual bool InitPeerBitfield(const TaskHash& hash, const ConnectionKey& peer) = 0;
    virtual bool PeerNeedsHave(const TaskHash& hash, const ConnectionKey& peer, PieceIndex piece) = 0;

    // Who the peer is.
    virtual int SetPeerId(const TaskHash& hash, const ConnectionKey& peer,
                          std::span<const uint8_t, 20> id) = 0;
    virtual int GetPeerId(const TaskHash& hash, const ConnectionKey& peer, std::span<uint8_t, 20> id) = 0;
    virtual int SetPeerKind(const TaskHash& hash, const ConnectionKey& peer, uint8_t kind) = 0;
    virtual int GetPeerKind(const TaskHash& hash, const ConnectionKey& peer) = 0;
    virtual uint8_t IsPeerViaUdp(const TaskHash& hash, const ConnectionKey& peer) = 0;
    virtual uint32_t GetPeerVersion(const TaskHash& hash, const ConnectionKey& peer) = 0;
    virtual uint8_t HasPeerLargeBlocks(const TaskHash& hash, const ConnectionKey& peer) = 0;
    virtual int32_t GetPeerState(const TaskHash& hash, const ConnectionKey& peer) = 0;
    virtual bool SetPeerState(const TaskHash& hash, const ConnectionKey& peer, int32_t state) = 0;

    // Requests to the peer and the blocks answering them.
    virtual bool PickRequestAt(const TaskHash& hash, const ConnectionKey& peer, BlockRange& out) = 0;
    virtual bool PickRequest(const TaskHash& hash, const ConnectionKey& peer,
                             std::span<uint8_t, kRequestMessageBytes> out) = 0;
    virtual int GetFreeRequestSlots(const TaskHash& hash, const ConnectionKey& peer) = 0;
    virtual int CancelRequest(const TaskHash& hash, const ConnectionKey& peer, PieceIndex piece,
                              BlockOffset offset, uint32_t length) = 0;
    // Stores a block only when it answers a request made to this peer (0 otherwise).
    virtual int64_t PutBlock(const TaskHash& hash, const ConnectionKey& peer, std::span<const uint8_t> data,
                             PieceIndex piece, BlockOffset offset) = 0;
};

}  // namespace tessali::core
