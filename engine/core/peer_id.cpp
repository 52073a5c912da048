#include "engine/core/peer_id.h"

#include <cstdio>
#include <cstring>

namespace tessali::core {
namespace {

constexpr uint32_t kB = 0xEFCDAB89;
constexpr uint32_t kC = 0x98BADCFE;
constexpr uint32_t kD = 0x10325476;

constexpr uint32_t Rotl(uint32_t v, int s) {
    return (v << s) | (v >> (32 - s));
}

int HexValue(uint8_t c) {
    if (c >= '0' && c <= '9') {
        return c - '0';
    }
    if (c >= 'A' && c <= 'F') {
        return c - 'A' + 10;
    }
    return -1;
}

// Characters [from, from+count) as upper-case hex; nothing when one is not.
std::optional<uint32_t> ReadHex(const PeerId& id, size_t from, size_t count) {
    uint32_t v = 0;
    for (size_t i = from; i < from + count; ++i) {
        int h = HexValue(id.bytes[i]);
        if (h < 0) {
            return std::nullopt;
        }
        v = (v << 4) | static_cast<uint32_t>(h);
    }
    return v;
}

void WriteHex16(PeerId& id, size_t at, uint16_t value) {
    static const char kDigits[] = "0123456789ABCDEF";
    for (int i = 3; i >= 0; --i) {
        id.bytes[at + static_cast<size_t>(i)] = static_cast<uint8_t>(kDigits[value & 0xF]);
        value = static_cast<uint16_t>(value >> 4);
    }
}

void WriteVersion(PeerId& id, int version) {
    char digits[8];
    std::snprintf(digits, sizeof digits, "%04d", version % 10000);
    std::memcpy(id.bytes.data() + 4, digits, 4);
}

}  // namespace

PeerIdTail PeerId::Tail() const {
    PeerIdTail tail{};
    std::memcpy(tail.data(), bytes.data() + kPeerIdTailOffset, kPeerIdTailBytes);
    return tail;
}

int PeerId::Version() const {
    int v = 0;
    for (size_t i = 4; i < 8; ++i) {
        if (bytes[i] < '0' || bytes[i] > '9') {
            return -1;
        }
        v = v * 10 + (bytes[i] - '0');
    }
    return v;
}

bool PeerId::IsWellFormed() const {
    if (Text().substr(0, kPeerIdPrefix.size()) != kPeerIdPrefix || Version() < 0) {
        return false;
    }
    std::optional<uint32_t> code = ReadHex(*this, 8, 4);
    std::optional<uint32_t> x = ReadHex(*this, 12, 8);
    return code && x && *code == PeerIdCheckCode(*x);
}

std::string PeerId::Printable() const {
    std::string out;
    for (uint8_t c : bytes) {
        out.push_back(c >= ' ' && c <= '~' ? static_cast<char>(c) : '?');
    }
    return out;
}

PeerId PeerId::FromBytes(std::span<const uint8_t, kPeerIdBytes> twenty) {
    PeerId id;
    std::memcpy(id.bytes.data(), twenty.data(), kPeerIdBytes);
    return id;
}

std::optional<PeerId> PeerId::FromText(std::string_view text) {
    if (text.size() != kPeerIdBytes) {
        return std::nullopt;
    }
    PeerId id;
    std::memcpy(id.bytes.data(), text.data(), kPeerIdBytes);
    return id;
}

uint16_t PeerIdCheckCode(uint32_t x) {
    // Four MD5 rounds' first steps over one word; B, C and D stay at the MD5 initial values.
    const uint32_t f = (kB & kC) | (~kB & kD);
    const uint32_t g = (kB & kD) | (kC & ~kD);
    const uint32_t h = kB ^ kC ^ kD;
    const uint32_t i = kC ^ (kB | ~kD);
    uint32_t a = 0x67452301;
    a = kB + Rotl(a + f + x + 0xD76AA478, 7);
    a = kB + Rotl(a + g + x + 0xF61E2562, 5);
    a = kB + Rotl(a + h + x + 0xFFFA3942, 4);
    a = kB + Rotl(a + i + x + 0xF4292244, 6);
    uint32_t v = a ^ (a >> 16);
    return static_cast<uint16_t>(v & 0xFFFF);
}

PeerId GeneratePeerId(int version, uint64_t counter) {
    char text[40];
    std::snprintf(text, sizeof text, "%.*s%04d%012llX", static_cast<int>(kPeerIdPrefix.size()),
                  kPeerIdPrefix.data(), version % 10000,
                  static_cast<unsigned long long>(counter & 0xFFFFFFFFFFFFull));
    PeerId id = *PeerId::FromText(std::string_view(text, kPeerIdBytes));
    uint32_t x = *ReadHex(id, 12, 8);
    WriteHex16(id, 8, PeerIdCheckCode(x));
    return id;
}

PeerId WithVersion(const PeerId& id, int version) {
    PeerId out = id;
    WriteVersion(out, version);
    return out;
}

PeerId PlaceholderPeerId(int version) {
    PeerId id;
    id.bytes.fill('0');
    std::memcpy(id.bytes.data(), kPeerIdPrefix.data(), kPeerIdPrefix.size());
    WriteVersion(id, version);
    return id;
}

uint8_t VersionType(int version) {
    if (version < kHttpFramingVersion) {
        return 1;
    }
    return version == kHttpFramingVersion ? 2 : 3;
}

PeerId PeerIdFromTail(const PeerIdTail& tail, uint8_t versionType) {
    PeerId id;
    std::memcpy(id.bytes.data(), kPeerIdPrefix.data(), kPeerIdPrefix.size());
    WriteVersion(id, versionType == 1   ? kPlainFramingVersion
                     : versionType == 2 ? kHttpFramingVersion
                                        : kScrambledFramingVersion);
    std::memcpy(id.bytes.data() + kPeerIdTailOffset, tail.data(), kPeerIdTailBytes);
    return id;
}

}  // namespace tessali::core
