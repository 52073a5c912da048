#include "engine/net/peer_wire.h"

#include <algorithm>
#include <cstring>

namespace tessali::net {

bool Contains(std::span<const uint8_t> bytes, std::string_view text) {
    if (text.empty() || bytes.size() < text.size()) {
        return text.empty();
    }
    auto it = std::search(bytes.begin(), bytes.end(), text.begin(), text.end(),
                          [](uint8_t a, char b) { return a == static_cast<uint8_t>(b); });
    return it != bytes.end();
}

bool IsHandshake(std::span<const uint8_t> record) {
    return record.size() == kHandshakeBytes && record[0] == 19;
}

bool IsEngineHandshake(std::span<const uint8_t> record) {
    return IsHandshake(record) && std::memcmp(record.data() + 1, "MIRT protocol", 13) == 0;
}

std::array<uint8_t, kHandshakeBytes> BuildHandshake(bool engine, std::span<const uint8_t, 20> infoHash,
                                                    std::span<const uint8_t, 20> peerId) {
    std::array<uint8_t, kHandshakeBytes> h{};
    h[0] = 19;
    const char* name = engine ? "MIRT protocol" : "BitTorrent protocolex";
    std::memcpy(h.data() + 1, name, std::strlen(name));
    std::copy(infoHash.begin(), infoHash.end(), h.begin() + kHandshakeHashOffset);
    std::copy(peerId.begin(), peerId.end(), h.begin() + kHandshakePeerIdOffset);
    return h;
}

std::vector<uint8_t> BuildMessage(uint8_t id, std::span<const uint8_t> payload) {
    std::vector<uint8_t> m(5 + payload.size());
    PutU32(m.data(), static_cast<uint32_t>(1 + payload.size()));
    m[4] = id;
    std::copy(payload.begin(), payload.end(), m.begin() + 5);
    return m;
}

std::vector<uint8_t> BuildHave(uint32_t piece) {
    uint8_t p[4];
    PutU32(p, piece);
    return BuildMessage(kMsgHave, p);
}

std::array<uint8_t, 17> BuildRequest(uint32_t piece, uint32_t begin, uint32_t length) {
    std::array<uint8_t, 17> r{};
    PutU32(&r[0], 13);
    r[4] = kMsgRequest;
    PutU32(&r[5], piece);
    PutU32(&r[9], begin);
    PutU32(&r[13], length);
    return r;
}

std::array<uint8_t, 13> BuildPieceHead(uint32_t piece, uint32_t begin, uint32_t length) {
    std::array<uint8_t, 13> h{};
    PutU32(&h[0], 9 + length);
    h[4] = kMsgPiece;
    PutU32(&h[5], piece);
    PutU32(&h[9], begin);
    return h;
}

std::vector<uint8_t> BuildCmdDeclare() {
    static const uint8_t kCommands[12] = {0xA0, 0xA1, 0xA2, 0xA3, 0xA4, 0xA5,
                                          0xA6, 0xA9, 0xAA, 0xAC, 0xAD, 0xC0};
    return BuildMessage(kMsgCmdDeclare, kCommands);
}

std::vector<uint8_t> BuildFixedCmd() {
    static const uint8_t kFixed[12] = {0, 0, 0, 0, 0, 0, 0, 0x1C, 0, 0, 0, 0};
    return BuildMessage(kMsgFixedCmd, kFixed);
}

std::vector<uint8_t> BuildNotifyPeers(std::span<const uint8_t, 20> ownPeerId, uint16_t listenPort) {
    std::vector<uint8_t> payload(36, 0);
    payload[7] = 0x1C;
    std::copy(ownPeerId.begin(), ownPeerId.end(), payload.begin() + 8);
    payload[28] = 0x51;
    payload[33] = static_cast<uint8_t>(listenPort >> 8);
    payload[34] = static_cast<uint8_t>(listenPort);
    // 41 bytes in all: the message has room for one zero byte after the port.
    return BuildMessage(kMsgNotifyPeers, payload);
}

std::array<uint8_t, 6> BuildSynthetic(uint8_t id) {
    return {0, 0, 0, 2, id, 0};
}

const char* CheckMessageLength(std::span<const uint8_t> record, const LengthRules& rules) {
    const size_t total = record.size();
    if (total < 5) {
        return "something could not recognize,length %d,id %d!\n";
    }
    const uint8_t id = record[4];
    const bool matchesField = GetU32(record.data()) + 4 == total;
    switch (id) {
        case kMsgChoke:
            return total == 5 ? nullptr : "choke packet check len error!!!\n";
        case kMsgUnchoke:
            return total == 5 ? nullptr : "unchoke packet check len error!!!\n";
        case kMsgInterested:
            return total == 5 ? nullptr : "interest packet check len error,%d!!!\n";
        case kMsgNotInterested:
            return total == 5 ? nullptr : "not interest packet check len error,%d!!!\n";
        case kMsgHave:
            return total == 9 ? nullptr : "have packet check len error!!!\n";
        case kMsgBitfield:
            if (rules.seedLoaded) {
                return total == rules.bitfieldBytes + 5 ? nullptr
                                                        : "bitfield1 packet check len error,%d,%d!!!\n";
            }
            return total >= 6 && total <= 4096 && matchesField ? nullptr
                                                               : "bitfiled2 packet check len error,%d!!!\n";
        case kMsgRequest:
            return total == 17 ? nullptr : "request packet check len error!!!\n";
        case kMsgPiece: {
            const size_t most = rules.largeBlocks ? 65549 : 16397;
            return total >= 14 && total <= most && matchesField ? nullptr
                                                                : "piece packet check len error!!!\n";
        }
        case kMsgCancel:
            return total == 17 ? nullptr : "cancel packet check len error!!!\n";
        case kMsgMetaRequest:
            return total == 25 ? nullptr : "metafilereq packet check len error!!!\n";
        case kMsgMetaResponse:
            return total >= 6 && total <= kMaxMessageBytes && matchesField
                       ? nullptr
                       : "metafilersp packet check len error!!!\n";
        case kMsgRequestRefused:
            return total == 22 ? nullptr : "reqtimeout packet check len error!!!\n";
        case kMsgConnected:
            return total == 6 ? nullptr : "onconnect packet check len error!!!\n";
        default:
            return nullptr;
    }
}

}  // namespace tessali::net
