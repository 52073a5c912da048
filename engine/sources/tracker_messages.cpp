#include "engine/sources/tracker_messages.h"

#include <arpa/inet.h>

#include <cstdio>
#include <cstring>

namespace tessali::sources {
namespace {

constexpr size_t kLoginRequestBytes = 36;
constexpr size_t kLoginReplyBytes = 16;
constexpr size_t kLoginReplyMinBytes = 15;  // up to the result byte
constexpr size_t kPeerOnlyBytes = 28;       // logout, keep-alive
constexpr size_t kKeepAliveReplyBytes = 12;
constexpr size_t kKeepAliveReplyMinBytes = 9;
constexpr size_t kHashRequestBytes = 48;  // share, stop sharing, source list
constexpr size_t kShareReplyBytes = 32;
constexpr size_t kShareReplyMinBytes = 29;
constexpr size_t kStopShareReplyBytes = 28;
constexpr size_t kSourceReplyHeadBytes = 32;
constexpr size_t kSourceEntryBytes = 20;
constexpr size_t kRelayRequestBytes = 68;
constexpr size_t kRelayReplyBytes = 12;
constexpr size_t kRelayReplyMinBytes = 8;  // nothing after the header is needed
constexpr size_t kRelayNoticeBytes = 56;
constexpr size_t kRelayNoticeMinBytes = 55;

uint16_t Get16(const uint8_t* p) {
    return static_cast<uint16_t>((p[0] << 8) | p[1]);
}
uint32_t Get32(const uint8_t* p) {
    return (uint32_t{p[0]} << 24) | (uint32_t{p[1]} << 16) | (uint32_t{p[2]} << 8) | uint32_t{p[3]};
}
void Put16(uint8_t* p, uint16_t v) {
    p[0] = static_cast<uint8_t>(v >> 8);
    p[1] = static_cast<uint8_t>(v);
}
void Put32(uint8_t* p, uint32_t v) {
    p[0] = static_cast<uint8_t>(v >> 24);
    p[1] = static_cast<uint8_t>(v >> 16);
    p[2] = static_cast<uint8_t>(v >> 8);
    p[3] = static_cast<uint8_t>(v);
}
// Network-order values go out as their memory bytes.
void PutNet32(uint8_t* p, uint32_t vNet) {
    std::memcpy(p, &vNet, 4);
}
void PutNet16(uint8_t* p, uint16_t vNet) {
    std::memcpy(p, &vNet, 2);
}
uint32_t GetNet32(const uint8_t* p) {
    uint32_t v;
    std::memcpy(&v, p, 4);
    return v;
}
uint16_t GetNet16(const uint8_t* p) {
    uint16_t v;
    std::memcpy(&v, p, 2);
    return v;
}

std::vector<uint8_t> Start(size_t length, uint16_t command, uint32_t sequence) {
    std::vector<uint8_t> out(length, 0);
    Put16(out.data(), static_cast<uint16_t>(length));
    Put16(out.data() + 2, command);
    Put32(out.data() + 4, sequence);
    return out;
}

void PutId(std::vector<uint8_t>& out, size_t at, const core::PeerId& id) {
    std::memcpy(out.data() + at, id.bytes.data(), core::kPeerIdBytes);
}
void PutHash(std::vector<uint8_t>& out, size_t at, const core::TaskHash& hash) {
    std::memcpy(out.data() + at, hash.bytes.data(), hash.bytes.size());
}
core::PeerId GetId(std::span<const uint8_t> b, size_t at) {
    return core::PeerId::FromBytes(b.subspan(at).first<core::kPeerIdBytes>());
}
core::TaskHash GetHash(std::span<const uint8_t> b, size_t at) {
    return core::TaskHash::FromBytes(b.subspan(at, 20));
}

enum class Size { kExact, kAtLeast };

// The common checks: command, length field equal to the bytes given, and the size rule.
bool Check(std::span<const uint8_t> b, uint16_t command, Size rule, size_t size, uint32_t& sequence) {
    if (b.size() < kTrackerHeaderBytes || b.size() > kMaxTrackerMessageBytes) {
        return false;
    }
    if (Get16(b.data()) != b.size() || Get16(b.data() + 2) != command) {
        return false;
    }
    if (rule == Size::kExact ? b.size() != size : b.size() < size) {
        return false;
    }
    sequence = Get32(b.data() + 4);
    return true;
}

std::vector<uint8_t> EncodeIdOnly(uint16_t command, uint32_t sequence, const core::PeerId& id) {
    std::vector<uint8_t> out = Start(kPeerOnlyBytes, command, sequence);
    PutId(out, 8, id);
    return out;
}

std::vector<uint8_t> EncodeIdHash(uint16_t command, uint32_t sequence, const core::PeerId& id,
                                  const core::TaskHash& hash) {
    std::vector<uint8_t> out = Start(kHashRequestBytes, command, sequence);
    PutId(out, 8, id);
    PutHash(out, 28, hash);
    return out;
}

template <typename T>
bool DecodeIdOnly(std::span<const uint8_t> b, uint16_t command, T& out) {
    if (!Check(b, command, Size::kExact, kPeerOnlyBytes, out.sequence)) {
        return false;
    }
    out.peerId = GetId(b, 8);
    return true;
}

template <typename T>
bool DecodeIdHash(std::span<const uint8_t> b, uint16_t command, T& out) {
    if (!Check(b, command, Size::kExact, kHashRequestBytes, out.sequence)) {
        return false;
    }
    out.peerId = GetId(b, 8);
    out.hash = GetHash(b, 28);
    return true;
}

}  // namespace

std::optional<TrackerHeader> PeekHeader(std::span<const uint8_t> bytes) {
    if (bytes.size() < kTrackerHeaderBytes) {
        return std::nullopt;
    }
    return TrackerHeader{Get16(bytes.data()), Get16(bytes.data() + 2), Get32(bytes.data() + 4)};
}

void SetSequence(std::span<uint8_t> message, uint32_t sequence) {
    if (message.size() >= kTrackerHeaderBytes) {
        Put32(message.data() + 4, sequence);
    }
}

void SetRequestPeerId(std::span<uint8_t> message, const core::PeerId& id) {
    if (message.size() >= kTrackerHeaderBytes + core::kPeerIdBytes) {
        std::memcpy(message.data() + 8, id.bytes.data(), core::kPeerIdBytes);
    }
}

DatagramKind ClassifyDatagram(std::span<const uint8_t> d) {
    if (d.size() >= kTrackerHeaderBytes && d.size() <= kMaxTrackerMessageBytes &&
        Get16(d.data()) == d.size()) {
        return DatagramKind::kTracker;
    }
    if (d.size() >= 4 && Get32(d.data()) == d.size()) {
        return DatagramKind::kReliableUdp;
    }
    return DatagramKind::kOther;
}

std::vector<uint8_t> Encode(const LoginRequest& m) {
    std::vector<uint8_t> out = Start(kLoginRequestBytes, kCmdLogin, m.sequence);
    PutId(out, 8, m.peerId);
    PutNet32(out.data() + 28, m.localAddr);
    PutNet16(out.data() + 32, m.listenPort);
    out[34] = m.natType;
    return out;
}

bool Decode(std::span<const uint8_t> b, LoginRequest& out) {
    if (!Check(b, kCmdLogin, Size::kExact, kLoginRequestBytes, out.sequence)) {
        return false;
    }
    out.peerId = GetId(b, 8);
    out.localAddr = GetNet32(b.data() + 28);
    out.listenPort = GetNet16(b.data() + 32);
    out.natType = b[34];
    return true;
}

std::vector<uint8_t> Encode(const LoginReply& m) {
    std::vector<uint8_t> out = Start(kLoginReplyBytes, kCmdLogin, m.sequence);
    PutNet32(out.data() + 8, m.addr);
    PutNet16(out.data() + 12, m.port);
    out[14] = m.result;
    return out;
}

bool Decode(std::span<const uint8_t> b, LoginReply& out) {
    if (!Check(b, kCmdLogin, Size::kAtLeast, kLoginReplyMinBytes, out.sequence)) {
        return false;
    }
    // A login request (36 bytes) is not a reply, whatever its bytes say.
    if (b.size() == kLoginRequestBytes) {
        return false;
    }
    out.addr = GetNet32(b.data() + 8);
    out.port = GetNet16(b.data() + 12);
    out.result = b[14];
    return true;
}

std::vector<uint8_t> Encode(const LogoutRequest& m) {
    return EncodeIdOnly(kCmdLogout, m.sequence, m.peerId);
}
bool Decode(std::span<const uint8_t> b, LogoutRequest& out) {
    return DecodeIdOnly(b, kCmdLogout, out);
}
std::vector<uint8_t> Encode(const KeepAliveRequest& m) {
    return EncodeIdOnly(kCmdKeepAlive, m.sequence, m.peerId);
}
bool Decode(std::span<const uint8_t> b, KeepAliveRequest& out) {
    return DecodeIdOnly(b, kCmdKeepAlive, out);
}

std::vector<uint8_t> Encode(const KeepAliveReply& m) {
    std::vector<uint8_t> out = Start(kKeepAliveReplyBytes, kCmdKeepAlive, m.sequence);
    out[8] = m.status;
    return out;
}

bool Decode(std::span<const uint8_t> b, KeepAliveReply& out) {
    if (!Check(b, kCmdKeepAlive, Size::kAtLeast, kKeepAliveReplyMinBytes, out.sequence) ||
        b.size() == kPeerOnlyBytes) {
        return false;
    }
    out.status = b[8];
    return true;
}

std::vector<uint8_t> Encode(const ShareRequest& m) {
    return EncodeIdHash(kCmdShare, m.sequence, m.peerId, m.hash);
}
bool Decode(std::span<const uint8_t> b, ShareRequest& out) {
    return DecodeIdHash(b, kCmdShare, out);
}

std::vector<uint8_t> Encode(const ShareReply& m) {
    std::vector<uint8_t> out = Start(kShareReplyBytes, kCmdShare, m.sequence);
    PutHash(out, 8, m.hash);
    out[28] = m.result;
    return out;
}

bool Decode(std::span<const uint8_t> b, ShareReply& out) {
    if (!Check(b, kCmdShare, Size::kAtLeast, kShareReplyMinBytes, out.sequence) ||
        b.size() == kHashRequestBytes) {
        return false;
    }
    out.hash = GetHash(b, 8);
    out.result = b[28];
    return true;
}

std::vector<uint8_t> Encode(const StopShareRequest& m) {
    return EncodeIdHash(kCmdStopShare, m.sequence, m.peerId, m.hash);
}
bool Decode(std::span<const uint8_t> b, StopShareRequest& out) {
    return DecodeIdHash(b, kCmdStopShare, out);
}

std::vector<uint8_t> Encode(const StopShareReply& m) {
    std::vector<uint8_t> out = Start(kStopShareReplyBytes, kCmdStopShare, m.sequence);
    PutHash(out, 8, m.hash);
    return out;
}

bool Decode(std::span<const uint8_t> b, StopShareReply& out) {
    if (!Check(b, kCmdStopShare, Size::kAtLeast, kStopShareReplyBytes, out.sequence) ||
        b.size() == kHashRequestBytes) {
        return false;
    }
    out.hash = GetHash(b, 8);
    return true;
}

std::vector<uint8_t> Encode(const SourceListRequest& m) {
    return EncodeIdHash(kCmdSourceList, m.sequence, m.peerId, m.hash);
}
bool Decode(std::span<const uint8_t> b, SourceListRequest& out) {
    return DecodeIdHash(b, kCmdSourceList, out);
}

std::vector<uint8_t> Encode(const SourceListReply& m) {
    size_t n = std::min(m.entries.size(), kMaxSourceEntries);
    std::vector<uint8_t> out =
        Start(kSourceReplyHeadBytes + kSourceEntryBytes * n, kCmdSourceList, m.sequence);
    PutHash(out, 8, m.hash);
    out[28] = m.result;
    uint8_t* p = out.data() + kSourceReplyHeadBytes;
    for (size_t i = 0; i < n; ++i, p += kSourceEntryBytes) {
        const SourceEntry& e = m.entries[i];
        std::memcpy(p, e.peerIdTail.data(), core::kPeerIdTailBytes);
        PutNet32(p + 12, e.addr);
        PutNet16(p + 16, e.port);
        p[18] = e.natType;
        p[19] = e.versionType;
    }
    return out;
}

bool Decode(std::span<const uint8_t> b, SourceListReply& out) {
    if (!Check(b, kCmdSourceList, Size::kAtLeast, kSourceReplyHeadBytes, out.sequence)) {
        return false;
    }
    size_t body = b.size() - kSourceReplyHeadBytes;
    if (body % kSourceEntryBytes != 0) {
        return false;
    }
    out.hash = GetHash(b, 8);
    out.result = b[28];
    out.entries.clear();
    out.entries.reserve(body / kSourceEntryBytes);
    for (const uint8_t* p = b.data() + kSourceReplyHeadBytes; p < b.data() + b.size();
         p += kSourceEntryBytes) {
        SourceEntry e;
        std::memcpy(e.peerIdTail.data(), p, core::kPeerIdTailBytes);
        e.addr = GetNet32(p + 12);
        e.port = GetNet16(p + 16);
        e.natType = p[18];
        e.versionType = p[19];
        out.entries.push_back(e);
    }
    return true;
}

std::vector<uint8_t> Encode(const RelayRequest& m) {
    std::vector<uint8_t> out = Start(kRelayRequestBytes, kCmdRelay, m.sequence);
    PutId(out, 8, m.peerId);
    PutId(out, 28, m.remotePeerId);
    PutHash(out, 48, m.hash);
    return out;
}

bool Decode(std::span<const uint8_t> b, RelayRequest& out) {
    if (!Check(b, kCmdRelay, Size::kExact, kRelayRequestBytes, out.sequence)) {
        return false;
    }
    out.peerId = GetId(b, 8);
    out.remotePeerId = GetId(b, 28);
    out.hash = GetHash(b, 48);
    return true;
}

std::vector<uint8_t> Encode(const RelayReply& m) {
    std::vector<uint8_t> out = Start(kRelayReplyBytes, kCmdRelay, m.sequence);
    out[8] = m.result;
    return out;
}

bool Decode(std::span<const uint8_t> b, RelayReply& out) {
    if (!Check(b, kCmdRelay, Size::kAtLeast, kRelayReplyMinBytes, out.sequence) ||
        b.size() == kRelayRequestBytes) {
        return false;
    }
    out.result = b.size() > 8 ? b[8] : 0;
    return true;
}

std::vector<uint8_t> Encode(const RelayNotice& m) {
    std::vector<uint8_t> out = Start(kRelayNoticeBytes, kCmdRelayNotice, m.sequence);
    PutHash(out, 8, m.hash);
    PutId(out, 28, m.peerId);
    PutNet32(out.data() + 48, m.addr);
    PutNet16(out.data() + 52, m.port);
    out[54] = m.natType;
    return out;
}

bool Decode(std::span<const uint8_t> b, RelayNotice& out) {
    if (!Check(b, kCmdRelayNotice, Size::kAtLeast, kRelayNoticeMinBytes, out.sequence)) {
        return false;
    }
    out.hash = GetHash(b, 8);
    out.peerId = GetId(b, 28);
    out.addr = GetNet32(b.data() + 48);
    out.port = GetNet16(b.data() + 52);
    out.natType = b[54];
    return true;
}

std::string AddrText(uint32_t addrNet) {
    char text[INET_ADDRSTRLEN] = {};
    in_addr a{};
    a.s_addr = addrNet;
    inet_ntop(AF_INET, &a, text, sizeof text);
    return text;
}

namespace {

std::string Fmt(const char* format, auto... args) {
    char line[512];
    std::snprintf(line, sizeof line, format, args...);
    return line;
}

std::string HashShort(const core::TaskHash& h) {
    return h.ToText();
}

template <typename T>
std::string DescribeHashRequest(const char* name, const T& m) {
    return Fmt("%s seq=%u id=%s hash=%s", name, m.sequence, m.peerId.Printable().c_str(),
               HashShort(m.hash).c_str());
}

std::string DescribeToServer(std::span<const uint8_t> b, uint16_t command) {
    switch (command) {
        case kCmdLogin: {
            LoginRequest m;
            if (Decode(b, m)) {
                return Fmt("login seq=%u id=%s addr=%s port=%u nat=%u", m.sequence,
                           m.peerId.Printable().c_str(), AddrText(m.localAddr).c_str(), ntohs(m.listenPort),
                           m.natType);
            }
            break;
        }
        case kCmdLogout: {
            LogoutRequest m;
            if (Decode(b, m)) {
                return Fmt("logout seq=%u id=%s", m.sequence, m.peerId.Printable().c_str());
            }
            break;
        }
        case kCmdKeepAlive: {
            KeepAliveRequest m;
            if (Decode(b, m)) {
                return Fmt("keep-alive seq=%u id=%s", m.sequence, m.peerId.Printable().c_str());
            }
            break;
        }
        case kCmdShare: {
            ShareRequest m;
            if (Decode(b, m)) {
                return DescribeHashRequest("share", m);
            }
            break;
        }
        case kCmdStopShare: {
            StopShareRequest m;
            if (Decode(b, m)) {
                return DescribeHashRequest("stop-share", m);
            }
            break;
        }
        case kCmdSourceList: {
            SourceListRequest m;
            if (Decode(b, m)) {
                return DescribeHashRequest("sources", m);
            }
            break;
        }
        case kCmdRelay: {
            RelayRequest m;
            if (Decode(b, m)) {
                return Fmt("relay seq=%u id=%s remote=%s hash=%s", m.sequence, m.peerId.Printable().c_str(),
                           m.remotePeerId.Printable().c_str(), HashShort(m.hash).c_str());
            }
            break;
        }
        default:
            break;
    }
    return Fmt("bad %u (len %zu)", command, b.size());
}

std::string DescribeFromServer(std::span<const uint8_t> b, uint16_t command) {
    switch (command) {
        case kCmdLogin: {
            LoginReply m;
            if (Decode(b, m)) {
                return Fmt("login-reply seq=%u addr=%s port=%u result=%u", m.sequence,
                           AddrText(m.addr).c_str(), ntohs(m.port), m.result);
            }
            break;
        }
        case kCmdKeepAlive: {
            KeepAliveReply m;
            if (Decode(b, m)) {
                return Fmt("keep-alive-reply seq=%u status=%u", m.sequence, m.status);
            }
            break;
        }
        case kCmdShare: {
            ShareReply m;
            if (Decode(b, m)) {
                return Fmt("share-reply seq=%u hash=%s result=%u", m.sequence, HashShort(m.hash).c_str(),
                           m.result);
            }
            break;
        }
        case kCmdStopShare: {
            StopShareReply m;
            if (Decode(b, m)) {
                return Fmt("stop-share-reply seq=%u hash=%s", m.sequence, HashShort(m.hash).c_str());
            }
            break;
        }
        case kCmdSourceList: {
            SourceListReply m;
            if (Decode(b, m)) {
                std::string line = Fmt("sources-reply seq=%u hash=%s result=%u n=%zu", m.sequence,
                                       HashShort(m.hash).c_str(), m.result, m.entries.size());
                for (const SourceEntry& e : m.entries) {
                    line += Fmt(" %s:%u/nat%u/v%u", AddrText(e.addr).c_str(), ntohs(e.port), e.natType,
                                e.versionType);
                }
                return line;
            }
            break;
        }
        case kCmdRelay: {
            RelayReply m;
            if (Decode(b, m)) {
                return Fmt("relay-reply seq=%u result=%u", m.sequence, m.result);
            }
            break;
        }
        case kCmdRelayNotice: {
            RelayNotice m;
            if (Decode(b, m)) {
                return Fmt("relay-notice seq=%u hash=%s id=%s addr=%s port=%u nat=%u", m.sequence,
                           HashShort(m.hash).c_str(), m.peerId.Printable().c_str(), AddrText(m.addr).c_str(),
                           ntohs(m.port), m.natType);
            }
            break;
        }
        default:
            break;
    }
    return Fmt("bad %u (len %zu)", command, b.size());
}

}  // namespace

std::string DescribeTrackerMessage(std::span<const uint8_t> bytes, TrackerDirection direction) {
    std::optional<TrackerHeader> h = PeekHeader(bytes);
    if (!h) {
        return Fmt("bad (len %zu)", bytes.size());
    }
    return direction == TrackerDirection::kToServer ? DescribeToServer(bytes, h->command)
                                                    : DescribeFromServer(bytes, h->command);
}

bool CTrackerStreamReader::Feed(std::span<const uint8_t> bytes,
                                const std::function<void(std::span<const uint8_t>)>& onMessage) {
    if (m_broken) {
        return false;
    }
    // Whole messages straight from `bytes` where possible; only a tail is ever kept.
    size_t used = 0;
    while (used < bytes.size()) {
        if (m_buffer.size() < 2) {
            size_t need = 2 - m_buffer.size();
            size_t take = std::min(need, bytes.size() - used);
            m_buffer.insert(m_buffer.end(), bytes.begin() + used, bytes.begin() + used + take);
            used += take;
            if (m_buffer.size() < 2) {
                break;
            }
        }
        size_t length = Get16(m_buffer.data());
        if (length < kTrackerHeaderBytes || length > kMaxTrackerMessageBytes) {
            m_broken = true;
            m_buffer.clear();
            return false;
        }
        size_t take = std::min(length - m_buffer.size(), bytes.size() - used);
        m_buffer.insert(m_buffer.end(), bytes.begin() + used, bytes.begin() + used + take);
        used += take;
        if (m_buffer.size() < length) {
            break;
        }
        std::vector<uint8_t> message;
        message.swap(m_buffer);
        onMessage(message);
    }
    return true;
}

}  // namespace tessali::sources
