#include "engine/core/peer.h"

#include <algorithm>
#include <cstring>

#include "engine/core/peer_id.h"

namespace tessali::core {

void CPeer::SetId(std::span<const uint8_t, 20> id) {
    {
        std::lock_guard lock(m_lock);
        std::copy(id.begin(), id.end(), m_id.begin());
    }
    uint32_t v = 0;
    for (size_t i = 4; i < 8; ++i) {
        if (id[i] < '0' || id[i] > '9') {
            break;
        }
        v = v * 10 + (id[i] - '0');
    }
    version = v;
    bool engineId = std::memcmp(id.data(), kPeerIdPrefix.data(), kPeerIdPrefix.size()) == 0;
    if (kind != kPeerEngine && !engineId) {
        kind = kPeerBitTorrent;
    } else {
        kind = kPeerEngine;
        largeBlocks = std::memcmp(id.data() + 4, "000", 3) == 0 ? 1 : 0;
    }
}

std::array<uint8_t, 20> CPeer::Id() const {
    std::lock_guard lock(m_lock);
    return m_id;
}

bool CPeer::HasBitfield() const {
    std::lock_guard lock(m_lock);
    return !m_bitfield.empty();
}

std::vector<uint8_t> CPeer::Bitfield() const {
    std::lock_guard lock(m_lock);
    return m_bitfield;
}

void CPeer::SetBitfield(std::span<const uint8_t> bytes) {
    std::lock_guard lock(m_lock);
    m_bitfield.assign(bytes.begin(), bytes.end());
}

bool CPeer::SetHave(uint32_t index) {
    std::lock_guard lock(m_lock);
    if (index / 8 >= m_bitfield.size()) {
        return false;
    }
    m_bitfield[index / 8] |= static_cast<uint8_t>(0x80u >> (index % 8));
    return true;
}

bool CPeer::HasPiece(uint32_t index) const {
    std::lock_guard lock(m_lock);
    return index / 8 < m_bitfield.size() && (m_bitfield[index / 8] & (0x80u >> (index % 8))) != 0;
}

void CPeerGroup::Add(const Ref<CPeer>& peer) {
    Ref<CPeer> replaced;
    std::lock_guard lock(m_lock);
    auto [it, inserted] = m_peers.emplace(peer->Key(), peer);
    if (!inserted) {
        replaced = std::move(it->second);
        it->second = peer;
    }
}

Ref<CPeer> CPeerGroup::Remove(const ConnectionKey& key) {
    std::lock_guard lock(m_lock);
    auto it = m_peers.find(key);
    if (it == m_peers.end()) {
        return {};
    }
    Ref<CPeer> p = std::move(it->second);
    m_peers.erase(it);
    return p;
}

Ref<CPeer> CPeerGroup::Find(const ConnectionKey& key) const {
    std::lock_guard lock(m_lock);
    auto it = m_peers.find(key);
    return it == m_peers.end() ? Ref<CPeer>() : it->second;
}

Ref<CPeer> CPeerGroup::FindByAddress(uint32_t addr, uint16_t port) const {
    std::lock_guard lock(m_lock);
    for (const auto& [key, peer] : m_peers) {
        if (key.addr == addr && key.port == port) {
            return peer;
        }
    }
    return {};
}

Ref<CPeer> CPeerGroup::FindById(std::span<const uint8_t, 20> id) const {
    std::lock_guard lock(m_lock);
    for (const auto& [key, peer] : m_peers) {
        auto other = peer->Id();
        if (std::equal(other.begin() + 8, other.end(), id.begin() + 8)) {
            return peer;
        }
    }
    return {};
}

uint32_t CPeerGroup::Count() const {
    std::lock_guard lock(m_lock);
    return static_cast<uint32_t>(m_peers.size());
}

std::vector<Ref<CPeer>> CPeerGroup::All() const {
    std::lock_guard lock(m_lock);
    std::vector<Ref<CPeer>> out;
    for (const auto& [key, peer] : m_peers) {
        out.push_back(peer);
    }
    return out;
}

void CPeerGroup::Clear() {
    std::map<ConnectionKey, Ref<CPeer>> peers;
    std::lock_guard lock(m_lock);
    peers.swap(m_peers);
}

}  // namespace tessali::core
