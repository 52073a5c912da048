// Wire formats of BitTorrent tracker announces: the HTTP announce request and the framing of its
// reply, and the UDP (BEP 15) connect and announce datagrams. The layouts are written once here:
//   UDP connect request (16): protocol id 00 00 04 17 27 10 19 80 (8), action 0 (4), transaction (4)
//   UDP connect reply   (16): action 0 (4), transaction (4), connection id (8)
//   UDP announce request (98): connection id (8), action 1, transaction, info hash (20), peer id (20),
//     downloaded (8), left (8), uploaded (8), event (4), IP (4), key (4), num_want (4), port (2)
//   UDP announce reply: action 1, transaction, interval, leechers, seeders (20), then 6-byte peers
// Peer entries: IPv4 address (4) and port (2), network order. Pure functions; any thread.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace tessali::sources {

// A tracker that lists more peers than this in one reply gets only the first ones connected.
constexpr size_t kMaxPeersPerReply = 200;
constexpr size_t kBtPeerEntryBytes = 6;
// An HTTP tracker reply longer than this is refused: enough for the peers asked for and headers.
constexpr size_t kMaxBtHttpReplyBytes = 16384;
constexpr size_t kBtAnnouncePathBytes = 50;
constexpr size_t kUdpConnectBytes = 16;
constexpr size_t kUdpAnnounceBytes = 98;
constexpr size_t kUdpAnnounceReplyHeader = 20;

// What the connected handler hands to the HTTP announce's send (90 bytes on the wire of old).
struct BtAnnounceRecord {
    std::array<uint8_t, 20> infoHash{};
    std::array<uint8_t, 20> peerId{};
    std::string path;  // from the first "/" after the host, at most kBtAnnouncePathBytes
};

// The announce path of a tracker URL: from the first "/" after "//host", cut to 50 bytes.
std::string BtAnnouncePath(std::string_view url);

// Letters and digits as they are, every other byte as "%XX".
std::string BtUrlEscape(std::span<const uint8_t> bytes);
// The path keeps "/", ".", "-", "_" and "~" as they are: servers look for the path's slashes.
std::string BtPathEscape(std::string_view path);

// The whole GET request of an HTTP announce.
std::string BuildBtHttpAnnounce(const BtAnnounceRecord& record, uint16_t listenPort, uint32_t trackerAddrNet);

struct BtHttpReply {
    enum Verdict { kIncomplete, kPeers, kRefused };
    Verdict verdict = kIncomplete;
    std::vector<uint8_t> peers;  // compact entries, whole ones only, at most kMaxPeersPerReply
};

// Frames the reply received so far; `ended` says the tracker closed the connection.
BtHttpReply FrameBtHttpReply(std::string_view bytes, bool ended);

std::array<uint8_t, kUdpConnectBytes> BuildUdpConnect(uint32_t transaction);
// The announce for a connect reply (at least 16 bytes); nullopt for a shorter one.
std::optional<std::array<uint8_t, kUdpAnnounceBytes>> BuildUdpAnnounce(std::span<const uint8_t> connectReply,
                                                                       uint32_t transaction,
                                                                       std::span<const uint8_t, 20> infoHash,
                                                                       std::span<const uint8_t, 20> peerId,
                                                                       uint16_t listenPort);
// The action of a reply datagram (big-endian first word); nullopt below 4 bytes.
std::optional<uint32_t> UdpReplyAction(std::span<const uint8_t> datagram);

struct BtPeerEntry {
    uint32_t addr;  // network order
    uint16_t port;  // network order
};
// The whole 6-byte entries of a compact list.
std::vector<BtPeerEntry> SplitCompactPeers(std::span<const uint8_t> compact);

}  // namespace tessali::sources
