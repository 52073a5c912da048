// The engine tracker protocol on the wire: every message the engine and its tracker exchange, as a
// plain struct with one Encode/Decode pair. Both the engine's tracker agent and the reference
// tracker server encode and decode only through here. No sockets; safe from any thread.
//
// Header (every message, integers big-endian):  length (2) | command (2) | sequence (4)
// Requests carry the sender's 20-byte peer id at offset 8. Addresses are kept in network order,
// exactly as on the wire; so are ports (like ConnectionKey), except where a field says "host".
//
//   769 login request      36  peer id 20 | local address 4 | listen port 2 | NAT type 1 | 0 1
//   769 login reply        16  address 4 | port 2 | result 1 | 0 1
//   770 logout             28  peer id 20
//   771 keep-alive         28  peer id 20
//   771 keep-alive reply   12  status 1 | 0 3
//   772 share              48  peer id 20 | info hash 20
//   772 share reply        32  info hash 20 | result 1 | 0 3
//   773 stop sharing       48  peer id 20 | info hash 20
//   773 stop-sharing reply 28  info hash 20
//   774 source request     48  peer id 20 | info hash 20
//   774 source reply   32+20n  info hash 20 | result 1 | 0 3 | n source entries
//   785 relay request      68  own peer id 20 | remote peer id 20 | info hash 20
//   785 relay reply        12  result 1 | 0 3
//   786 relay notice       56  info hash 20 | peer id 20 | address 4 | port 2 | NAT type 1 | 0 1
//   source entry           20  peer id tail 12 | address 4 | port 2 | NAT type 1 | version type 1
//
// Requests must have exactly their length. Replies and the notice are accepted when at least as
// long as the fields read (a server may append), except the source reply, whose length must be
// 32 + 20n. In every case the length field must equal the bytes given.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "engine/core/peer_id.h"
#include "engine/core/task_hash.h"

namespace tessali::sources {

constexpr size_t kTrackerHeaderBytes = 8;
constexpr size_t kMaxTrackerMessageBytes = 1600;
// The engine reads tracker datagrams into 1500 bytes, so a source reply holds at most this many.
constexpr size_t kMaxSourceEntries = (1500 - 32) / 20;
// Sequence value of server-initiated messages (the relay notice): far from any request's value.
constexpr uint32_t kNoticeSequence = 0xFFFFFFFF;

enum TrackerCommand : uint16_t {
    kCmdLogin = 769,
    kCmdLogout = 770,
    kCmdKeepAlive = 771,
    kCmdShare = 772,
    kCmdStopShare = 773,
    kCmdSourceList = 774,
    kCmdRelay = 785,
    kCmdRelayNotice = 786,
};

// Login reply results.
enum LoginResult : uint8_t {
    kLoginRefusedFull = 0,  // any value other than 1-3 means "not logged in"
    kLoginAccepted = 1,
    kLoginPeerIdRefused = 2,
    kLoginRedirect = 3,
};
// Keep-alive reply status.
enum KeepAliveStatus : uint8_t {
    kKeepAliveLoggedIn = 0,
    kKeepAliveNotLoggedIn = 2,
};
// Share reply results.
enum ShareResult : uint8_t {
    kShareAdded = 0,
    kShareAlreadyShared = 1,
    kShareNotLoggedIn = 2,
    kShareTooMany = 3,
};
// Source reply results (0 = success, anything else opens no connection).
enum SourceListResult : uint8_t {
    kSourcesOk = 0,
    kSourcesNotLoggedIn = 2,
};
// Relay reply results.
enum RelayResult : uint8_t {
    kRelayNoticeSent = 0,
    kRelayRemoteUnknown = 1,
    kRelayNotLoggedIn = 2,
};

struct TrackerHeader {
    uint16_t length = 0;
    uint16_t command = 0;
    uint32_t sequence = 0;
    bool operator==(const TrackerHeader&) const = default;
};

// The header of `bytes`, when it holds at least one; says nothing about the rest.
std::optional<TrackerHeader> PeekHeader(std::span<const uint8_t> bytes);
// In-place edits the engine's request queue makes before sending.
void SetSequence(std::span<uint8_t> message, uint32_t sequence);
void SetRequestPeerId(std::span<uint8_t> message, const core::PeerId& id);

// What one datagram on the engine's shared UDP socket is: a tracker message when its first 16-bit
// field equals its size (8 to 1600 bytes), a reliable-UDP packet when its first 32-bit field does.
enum class DatagramKind { kTracker, kReliableUdp, kOther };
DatagramKind ClassifyDatagram(std::span<const uint8_t> datagram);

struct LoginRequest {
    uint32_t sequence = 0;
    core::PeerId peerId;
    uint32_t localAddr = 0;   // network order
    uint16_t listenPort = 0;  // network order
    uint8_t natType = 0;
    bool operator==(const LoginRequest&) const = default;
};
struct LoginReply {
    uint32_t sequence = 0;
    uint32_t addr = 0;  // network order: the sender's address as the tracker saw it, or the redirect
    uint16_t port = 0;  // network order: the sender's UDP port as seen (0 when unknown)
    uint8_t result = 0;
    bool operator==(const LoginReply&) const = default;
};
struct LogoutRequest {
    uint32_t sequence = 0;
    core::PeerId peerId;
    bool operator==(const LogoutRequest&) const = default;
};
struct KeepAliveRequest {
    uint32_t sequence = 0;
    core::PeerId peerId;
    bool operator==(const KeepAliveRequest&) const = default;
};
struct KeepAliveReply {
    uint32_t sequence = 0;
    uint8_t status = 0;
    bool operator==(const KeepAliveReply&) const = default;
};
struct ShareRequest {
    uint32_t sequence = 0;
    core::PeerId peerId;
    core::TaskHash hash;
    bool operator==(const ShareRequest&) const = default;
};
struct ShareReply {
    uint32_t sequence = 0;
    core::TaskHash hash;
    uint8_t result = 0;
    bool operator==(const ShareReply&) const = default;
};
struct StopShareRequest {
    uint32_t sequence = 0;
    core::PeerId peerId;
    core::TaskHash hash;
    bool operator==(const StopShareRequest&) const = default;
};
struct StopShareReply {
    uint32_t sequence = 0;
    core::TaskHash hash;
    bool operator==(const StopShareReply&) const = default;
};
struct SourceListRequest {
    uint32_t sequence = 0;
    core::PeerId peerId;
    core::TaskHash hash;
    bool operator==(const SourceListRequest&) const = default;
};
struct SourceEntry {
    core::PeerIdTail peerIdTail{};
    uint32_t addr = 0;  // network order
    uint16_t port = 0;  // network order
    uint8_t natType = 0;
    uint8_t versionType = 0;

    bool operator==(const SourceEntry&) const = default;
};
struct SourceListReply {
    uint32_t sequence = 0;
    core::TaskHash hash;
    uint8_t result = 0;
    std::vector<SourceEntry> entries;  // at most kMaxSourceEntries when encoded
    bool operator==(const SourceListReply&) const = default;
};
struct RelayRequest {
    uint32_t sequence = 0;
    core::PeerId peerId;  // the asking peer
    core::PeerId remotePeerId;
    core::TaskHash hash;
    bool operator==(const RelayRequest&) const = default;
};
struct RelayReply {
    uint32_t sequence = 0;
    uint8_t result = 0;
    bool operator==(const RelayReply&) const = default;
};
struct RelayNotice {
    uint32_t sequence = kNoticeSequence;
    core::TaskHash hash;
    core::PeerId peerId;  // the peer that wants to be reached
    uint32_t addr = 0;  // network order
    uint16_t port = 0;  // network order
    uint8_t natType = 0;
    bool operator==(const RelayNotice&) const = default;
};

std::vector<uint8_t> Encode(const LoginRequest& m);
std::vector<uint8_t> Encode(const LoginReply& m);
std::vector<uint8_t> Encode(const LogoutRequest& m);
std::vector<uint8_t> Encode(const KeepAliveRequest& m);
std::vector<uint8_t> Encode(const KeepAliveReply& m);
std::vector<uint8_t> Encode(const ShareRequest& m);
std::vector<uint8_t> Encode(const ShareReply& m);
std::vector<uint8_t> Encode(const StopShareRequest& m);
std::vector<uint8_t> Encode(const StopShareReply& m);
std::vector<uint8_t> Encode(const SourceListRequest& m);
// Entries beyond kMaxSourceEntries are left out.
std::vector<uint8_t> Encode(const SourceListReply& m);
std::vector<uint8_t> Encode(const RelayRequest& m);
std::vector<uint8_t> Encode(const RelayReply& m);
std::vector<uint8_t> Encode(const RelayNotice& m);

// Each returns false (leaving `out` in an unspecified state) when the bytes are not that message:
// wrong command, length field not the size given, or a size the layout does not allow.
bool Decode(std::span<const uint8_t> bytes, LoginRequest& out);
bool Decode(std::span<const uint8_t> bytes, LoginReply& out);
bool Decode(std::span<const uint8_t> bytes, LogoutRequest& out);
bool Decode(std::span<const uint8_t> bytes, KeepAliveRequest& out);
bool Decode(std::span<const uint8_t> bytes, KeepAliveReply& out);
bool Decode(std::span<const uint8_t> bytes, ShareRequest& out);
bool Decode(std::span<const uint8_t> bytes, ShareReply& out);
bool Decode(std::span<const uint8_t> bytes, StopShareRequest& out);
bool Decode(std::span<const uint8_t> bytes, StopShareReply& out);
bool Decode(std::span<const uint8_t> bytes, SourceListRequest& out);
bool Decode(std::span<const uint8_t> bytes, SourceListReply& out);
bool Decode(std::span<const uint8_t> bytes, RelayRequest& out);
bool Decode(std::span<const uint8_t> bytes, RelayReply& out);
bool Decode(std::span<const uint8_t> bytes, RelayNotice& out);

// Which way a message travels, for describing it (command codes are shared by both ways).
enum class TrackerDirection { kToServer, kFromServer };
// One line for logs, e.g. "login seq=0 id=MIRT0066... addr=10.0.0.2 port=5000 nat=1";
// "bad 774 (len 40)" when the bytes do not decode.
std::string DescribeTrackerMessage(std::span<const uint8_t> bytes, TrackerDirection direction);

// Dotted text of a network-order address.
std::string AddrText(uint32_t addrNet);

// Cuts the agent relay's TCP stream into tracker messages by their length fields. It keeps at
// most one incomplete message, so memory stays bounded whatever the other side sends. Not
// thread-safe: one reader per connection.
class CTrackerStreamReader {
public:
    // Appends `bytes` and hands every complete message to `onMessage`, in order. False when the
    // stream is broken (a length field below the header size or above the maximum): the
    // connection should be closed; nothing more is delivered.
    bool Feed(std::span<const uint8_t> bytes, const std::function<void(std::span<const uint8_t>)>& onMessage);
    size_t Buffered() const { return m_buffer.size(); }
    bool Broken() const { return m_broken; }

private:
    std::vector<uint8_t> m_buffer;
    bool m_broken = false;
};

}  // namespace tessali::sources
