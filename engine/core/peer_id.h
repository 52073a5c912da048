// The engine's 20-character peer id: "MIRT", four decimal digits of the engine version and twelve
// upper-case hexadecimal digits whose first four are a check code over the last eight, and the
// engine version it carries. The engine's layers and its tracker server build and check ids here.
// Plain values; safe from any thread.
#pragma once

#include <array>
#include <compare>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

namespace tessali::core {

// Every engine id starts with this.
inline constexpr std::string_view kPeerIdPrefix = "MIRT";
constexpr int kEngineVersion = 66;
// A version type stands for one version when only the type is known (source lists carry the
// type): type 1 (plain framing) for 54, type 2 (HTTP-tunnelled) for exactly 57, type 3
// (scrambled) for 58 and later.
constexpr int kPlainFramingVersion = 54;
constexpr int kHttpFramingVersion = 57;
constexpr int kScrambledFramingVersion = 58;
// Peers of this version or later have their requests served first.
constexpr int kPriorityPeerVersion = 66;
constexpr size_t kPeerIdBytes = 20;
// Characters 9-20: the part that names a peer across versions (source lists carry only these).
constexpr size_t kPeerIdTailOffset = 8;
constexpr size_t kPeerIdTailBytes = 12;

// Where the engine keeps its id between runs.
inline constexpr const char* kPeerIdIniFile = "MirtCfg.ini";
inline constexpr const char* kPeerIdIniSection = "MIRTTERMINAL";
inline constexpr const char* kPeerIdIniKey = "PeerID";

using PeerIdTail = std::array<uint8_t, kPeerIdTailBytes>;

struct PeerId {
    std::array<uint8_t, kPeerIdBytes> bytes{};

    auto operator<=>(const PeerId&) const = default;

    std::string_view Text() const { return {reinterpret_cast<const char*>(bytes.data()), bytes.size()}; }
    PeerIdTail Tail() const;
    // Characters 5-8 as a decimal number; -1 when they are not four digits.
    int Version() const;
    // "MIRT" + 4 digits + 12 upper-case hex digits with a matching check code.
    bool IsWellFormed() const;
    // Printable form for logs: the text, with bytes outside ' '..'~' as '?'.
    std::string Printable() const;

    static PeerId FromBytes(std::span<const uint8_t, kPeerIdBytes> twenty);
    // Exactly 20 characters, else nothing.
    static std::optional<PeerId> FromText(std::string_view text);
};

// The check code of an id whose characters 13-20 hold `x` in hexadecimal.
uint16_t PeerIdCheckCode(uint32_t x);

// A new id for `version` from a counter value (its low 48 bits become the hex digits, then the
// check code replaces the first four of them).
PeerId GeneratePeerId(int version, uint64_t counter);

// A stored id reused under the current version: characters 5-8 replaced by `version`.
PeerId WithVersion(const PeerId& id, int version);

// "MIRT", `version` and twelve '0': the id held until the engine's own is known.
PeerId PlaceholderPeerId(int version);

// Version type of a peer by its version: below 57 -> 1, 57 -> 2, above -> 3.
uint8_t VersionType(int version);

// The id rebuilt from a source entry: "MIRT" + "0054"/"0057"/"0058" for version type 1/2/3 +
// the twelve tail characters. Any other type is treated as 3.
PeerId PeerIdFromTail(const PeerIdTail& tail, uint8_t versionType);

}  // namespace tessali::core
