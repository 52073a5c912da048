// CPeer and CPeerGroup: the peers of one task, one CPeer per connection. The group is a map from
// connection key to counted peer under the group's own lock; each peer guards its bitfield and id
// with its own lock and keeps its simple fields atomic. The queue of outstanding requests is
// guarded by the owning task's request lock (see task_pieces.h), not by the peer.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <map>
#include <mutex>
#include <span>
#include <vector>

#include "engine/core/connection_key.h"
#include "engine/core/ref_counted.h"
#include "engine/core/request_queue.h"

namespace tessali::core {

enum PeerState : int32_t { kPeerConnected = 0, kPeerHandshakeSent = 1, kPeerActive = 2, kPeerIdle = 3 };
enum PeerKind : uint8_t { kPeerEngine = 1, kPeerBitTorrent = 2 };

class CPeer : public RefCountedObject {
public:
    explicit CPeer(const ConnectionKey& key) : m_key(key) { m_id.fill('0'); }

    const ConnectionKey& Key() const { return m_key; }

    std::atomic<int32_t> state{kPeerConnected};
    std::atomic<uint8_t> kind{kPeerBitTorrent};
    std::atomic<uint8_t> natType{0};
    std::atomic<uint8_t> transport{1};  // 1 TCP, 3 reliable UDP
    std::atomic<uint8_t> viaUdp{0};
    std::atomic<uint8_t> largeBlocks{0};
    std::atomic<uint32_t> version{0};
    std::atomic<uint32_t> extra{0};

    std::atomic<int64_t> downloadedTotal{0};
    std::atomic<int64_t> uploadedTotal{0};
    std::atomic<int32_t> downloadRateCount{0};
    std::atomic<int32_t> uploadRateCount{0};

    // Guarded by the owning task's request lock.
    CRequestQueue requests;

    // Stores the id; the version is the number in characters 5 to 8; the kind and large-blocks flag
    // follow from the id (an engine id starts with "MIRT"; "000" in characters 5 to 7 means large blocks).
    void SetId(std::span<const uint8_t, 20> id);
    std::array<uint8_t, 20> Id() const;

    bool HasBitfield() const;
    std::vector<uint8_t> Bitfield() const;
    void SetBitfield(std::span<const uint8_t> bytes);
    // Sets bit `index` when it lies inside the bitfield; false otherwise (nothing is touched).
    bool SetHave(uint32_t index);
    bool HasPiece(uint32_t index) const;

private:
    ~CPeer() override = default;

    const ConnectionKey m_key;
    mutable std::mutex m_lock;
    std::array<uint8_t, 20> m_id;
    std::vector<uint8_t> m_bitfield;
};

class CPeerGroup {
public:
    CPeerGroup() = default;
    CPeerGroup(const CPeerGroup&) = delete;
    CPeerGroup& operator=(const CPeerGroup&) = delete;

    // Adds `peer`, replacing (and releasing) a peer with the same key.
    void Add(const Ref<CPeer>& peer);
    // Removes the peer with `key`; the removed peer, or none.
    Ref<CPeer> Remove(const ConnectionKey& key);
    Ref<CPeer> Find(const ConnectionKey& key) const;
    Ref<CPeer> FindByAddress(uint32_t addr, uint16_t port) const;
    // Compares characters 9 to 20 of the ids (the part an engine's id is unique by).
    Ref<CPeer> FindById(std::span<const uint8_t, 20> id) const;
    uint32_t Count() const;
    std::vector<Ref<CPeer>> All() const;
    void Clear();

private:
    mutable std::mutex m_lock;
    std::map<ConnectionKey, Ref<CPeer>> m_peers;
};

}  // namespace tessali::core
