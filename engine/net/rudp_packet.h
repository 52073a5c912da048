// The reliable-UDP packet: a 13-byte header and at most 1024 payload bytes.
//   offset 0  4 bytes  total length (header + payload), big-endian
//   offset 4  4 bytes  sequence: stream offset of the first payload byte (0 for control), little-endian
//   offset 8  4 bytes  acknowledgement: next stream offset the sender expects, little-endian
//   offset 12 1 byte   type
// Stream offsets start at 1 in both directions. Also the 68-byte relay request of the tracker.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

namespace tessali::net {

constexpr size_t kRudpHeaderBytes = 13;
constexpr size_t kRudpMaxPayload = 1024;
constexpr size_t kRudpMaxPacket = kRudpHeaderBytes + kRudpMaxPayload;
// Payloads of this size (handshakes) are delivered as their own event.
constexpr size_t kRudpHandshakePayload = 68;
// A receiver holds early packets only this far ahead of the expected offset, and only this
// many; a sender keeps its outstanding data within both.
constexpr uint32_t kRudpReorderWindowBytes = 4 * 1024 * 1024;
constexpr size_t kRudpMaxReorderPackets = 4096;

enum RudpType : uint8_t {
    kRudpConnect = 1,
    kRudpAck = 2,
    kRudpAccept = 3,
    kRudpData = 4,
    kRudpClose = 128,
};

struct RudpHeader {
    uint32_t length = 0;
    uint32_t seq = 0;
    uint32_t ack = 0;
    uint8_t type = 0;
};

// Reads the header; nullopt when fewer than 13 bytes are given.
std::optional<RudpHeader> DecodeRudpHeader(std::span<const uint8_t> bytes);
std::vector<uint8_t> BuildRudpPacket(uint8_t type, uint32_t seq, uint32_t ack,
                                     std::span<const uint8_t> payload = {});

// Relay request: length 68 (16 bits big-endian), command 785 (16 bits big-endian), 4 zero
// bytes, own peer id (20), remote peer id (20), info hash (20).
constexpr size_t kRelayRequestBytes = 68;
constexpr uint16_t kRelayCommand = 785;
std::array<uint8_t, kRelayRequestBytes> BuildRelayRequest(std::span<const uint8_t, 20> ownPeerId,
                                                          std::span<const uint8_t, 20> remotePeerId,
                                                          std::span<const uint8_t, 20> infoHash);

}  // namespace tessali::net
