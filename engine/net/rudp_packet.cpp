#include "engine/net/rudp_packet.h"

#include <algorithm>

namespace tessali::net {

namespace {

uint32_t LoadBe32(const uint8_t* p) {
    return uint32_t(p[0]) << 24 | uint32_t(p[1]) << 16 | uint32_t(p[2]) << 8 | uint32_t(p[3]);
}
uint32_t LoadLe32(const uint8_t* p) {
    return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}
void StoreBe32(uint8_t* p, uint32_t v) {
    p[0] = uint8_t(v >> 24);
    p[1] = uint8_t(v >> 16);
    p[2] = uint8_t(v >> 8);
    p[3] = uint8_t(v);
}
void StoreLe32(uint8_t* p, uint32_t v) {
    p[0] = uint8_t(v);
    p[1] = uint8_t(v >> 8);
    p[2] = uint8_t(v >> 16);
    p[3] = uint8_t(v >> 24);
}

}  // namespace

std::optional<RudpHeader> DecodeRudpHeader(std::span<const uint8_t> bytes) {
    if (bytes.size() < kRudpHeaderBytes) {
        return std::nullopt;
    }
    RudpHeader h;
    h.length = LoadBe32(bytes.data());
    h.seq = LoadLe32(bytes.data() + 4);
    h.ack = LoadLe32(bytes.data() + 8);
    h.type = bytes[12];
    return h;
}

std::vector<uint8_t> BuildRudpPacket(uint8_t type, uint32_t seq, uint32_t ack,
                                     std::span<const uint8_t> payload) {
    std::vector<uint8_t> out(kRudpHeaderBytes + payload.size());
    StoreBe32(out.data(), static_cast<uint32_t>(out.size()));
    StoreLe32(out.data() + 4, seq);
    StoreLe32(out.data() + 8, ack);
    out[12] = type;
    std::copy(payload.begin(), payload.end(), out.begin() + kRudpHeaderBytes);
    return out;
}

std::array<uint8_t, kRelayRequestBytes> BuildRelayRequest(std::span<const uint8_t, 20> ownPeerId,
                                                          std::span<const uint8_t, 20> remotePeerId,
                                                          std::span<const uint8_t, 20> infoHash) {
    std::array<uint8_t, kRelayRequestBytes> out{};
    out[0] = 0;
    out[1] = kRelayRequestBytes;
    out[2] = uint8_t(kRelayCommand >> 8);
    out[3] = uint8_t(kRelayCommand & 0xFF);
    std::copy(ownPeerId.begin(), ownPeerId.end(), out.begin() + 8);
    std::copy(remotePeerId.begin(), remotePeerId.end(), out.begin() + 28);
    std::copy(infoHash.begin(), infoHash.end(), out.begin() + 48);
    return out;
}

}  // namespace tessali::net
