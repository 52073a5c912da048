// The peer wire format: the 68-byte handshake, the length-prefixed messages and their ids, the
// length each message must have, and builders for every message the engine sends. Plain
// functions over byte buffers; safe from any thread.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>
#include <vector>

namespace tessali::net {

constexpr size_t kHandshakeBytes = 68;
constexpr size_t kHandshakeHashOffset = 28;
constexpr size_t kHandshakePeerIdOffset = 48;
// No legal message (the seed file answer is the largest) is longer than this, length field included.
constexpr size_t kMaxMessageBytes = 512000;
// The length field that stops framing of a buffer.
constexpr uint32_t kStopLength = 0xFFFFFFFCu;
constexpr uint32_t kBlockBytes = 16384;
constexpr uint32_t kLargeBlockBytes = 65536;
constexpr uint32_t kMaxServedBlock = 32768;

enum MsgId : uint8_t {
    kMsgChoke = 0,
    kMsgUnchoke = 1,
    kMsgInterested = 2,
    kMsgNotInterested = 3,
    kMsgHave = 4,
    kMsgBitfield = 5,
    kMsgRequest = 6,
    kMsgPiece = 7,
    kMsgCancel = 8,
    kMsgMetaRequest = 9,
    kMsgMetaResponse = 10,
    kMsgRequestRefused = 11,
    kMsgTrackerFirst = 20,
    kMsgTrackerLast = 23,
    kMsgConnected = 30,
    kMsgClosed = 31,
    kMsgPosted = 32,
    kMsgCmdDeclare = 160,
    kMsgFixedCmd = 161,
    kMsgNotifyPeers = 162,
    kMsgIgnored = 163,
};

inline uint32_t GetU32(const uint8_t* p) {
    return uint32_t{p[0]} << 24 | uint32_t{p[1]} << 16 | uint32_t{p[2]} << 8 | p[3];
}
inline void PutU32(uint8_t* p, uint32_t v) {
    p[0] = static_cast<uint8_t>(v >> 24);
    p[1] = static_cast<uint8_t>(v >> 16);
    p[2] = static_cast<uint8_t>(v >> 8);
    p[3] = static_cast<uint8_t>(v);
}

// True when `text` occurs in `bytes`.
bool Contains(std::span<const uint8_t> bytes, std::string_view text);
// A 68-byte record starting with 19.
bool IsHandshake(std::span<const uint8_t> record);
bool IsEngineHandshake(std::span<const uint8_t> record);

// Engine peers get "MIRT protocol", BitTorrent peers "BitTorrent protocolex".
std::array<uint8_t, kHandshakeBytes> BuildHandshake(bool engine, std::span<const uint8_t, 20> infoHash,
                                                    std::span<const uint8_t, 20> peerId);
// Length prefix + id + payload.
std::vector<uint8_t> BuildMessage(uint8_t id, std::span<const uint8_t> payload = {});
std::vector<uint8_t> BuildHave(uint32_t piece);
// A request message: length, id, index, begin, length.
constexpr size_t kRequestBytes = 17;
std::array<uint8_t, kRequestBytes> BuildRequest(uint32_t piece, uint32_t begin, uint32_t length);
// The piece message head (13 bytes) for a block of `length` bytes.
std::array<uint8_t, 13> BuildPieceHead(uint32_t piece, uint32_t begin, uint32_t length);
// The two extension messages sent to peers of the "exbc"/"-BC" kind.
std::vector<uint8_t> BuildCmdDeclare();
std::vector<uint8_t> BuildFixedCmd();
std::vector<uint8_t> BuildNotifyPeers(std::span<const uint8_t, 20> ownPeerId, uint16_t listenPort);
// The 6-byte synthetic message of `id`.
std::array<uint8_t, 6> BuildSynthetic(uint8_t id);

// What the length check of a message needs to know of its task.
struct LengthRules {
    bool seedLoaded = false;
    size_t bitfieldBytes = 0;
    bool largeBlocks = false;
};
// Checks a message record's total length (length field included) against its id. Returns
// nullptr when it is right, otherwise the log format of the failure (its arguments, if any,
// are the total length and then the expected one).
const char* CheckMessageLength(std::span<const uint8_t> record, const LengthRules& rules);

}  // namespace tessali::net
