#include "engine/sources/bt_tracker_wire.h"

#include <arpa/inet.h>

#include <algorithm>
#include <charconv>
#include <cstdio>
#include <cstring>

#include "engine/core/engine_env.h"
#include "engine/platform/http_head.h"

namespace tessali::sources {
namespace {

void PutBe32(uint8_t* p, uint32_t v) {
    p[0] = static_cast<uint8_t>(v >> 24);
    p[1] = static_cast<uint8_t>(v >> 16);
    p[2] = static_cast<uint8_t>(v >> 8);
    p[3] = static_cast<uint8_t>(v);
}

bool IsAlnum(uint8_t c) {
    return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
}

}  // namespace

std::string BtAnnouncePath(std::string_view url) {
    size_t start = url.find("//");
    start = start == std::string_view::npos ? 0 : start + 2;
    size_t slash = url.find('/', start);
    if (slash == std::string_view::npos) {
        return {};
    }
    return std::string(url.substr(slash, kBtAnnouncePathBytes));
}

std::string BtUrlEscape(std::span<const uint8_t> bytes) {
    std::string out;
    out.reserve(bytes.size() * 3);
    for (uint8_t c : bytes) {
        if (IsAlnum(c)) {
            out += static_cast<char>(c);
        } else {
            char hex[4];
            std::snprintf(hex, sizeof hex, "%%%02X", c);
            out += hex;
        }
    }
    return out;
}

std::string BtPathEscape(std::string_view path) {
    std::string out;
    for (char ch : path) {
        uint8_t c = static_cast<uint8_t>(ch);
        if (IsAlnum(c) || c == '/' || c == '.' || c == '-' || c == '_' || c == '~') {
            out += ch;
        } else {
            char hex[4];
            std::snprintf(hex, sizeof hex, "%%%02X", c);
            out += hex;
        }
    }
    return out;
}

std::string BuildBtHttpAnnounce(const BtAnnounceRecord& record, uint16_t listenPort,
                                uint32_t trackerAddrNet) {
    std::string path =
        BtPathEscape(record.path.empty() ? std::string_view("/") : std::string_view(record.path));
    std::string hash = BtUrlEscape(record.infoHash);
    std::string id = BtUrlEscape(record.peerId);
    std::string host = core::AddressText(trackerAddrNet);
    std::string out;
    out.resize(path.size() + hash.size() + id.size() + host.size() + 512);
    int n = std::snprintf(
        out.data(), out.size(),
        "GET %s?info_hash=%s&peer_id=%s&port=%d&natmapped=1&uploaded=0&downloaded=0&left=1024&numwant="
        "200&compact=1&no_peer_id=1&event=started HTTP/1.1\r\nHost: %s\r\nConnection: close\r\nAccept: "
        "*/*\r\nAccept-Encoding: gzip\r\nUser-Agent: Mozilla/4.0 (compatible; MSIE 6.0; Windows NT 5.1; "
        "SV1;)\r\nPragma: no-cache\r\nCache-Control: no-cache\r\n\r\n",
        path.c_str(), hash.c_str(), id.c_str(), static_cast<int>(listenPort), host.c_str());
    out.resize(n > 0 ? static_cast<size_t>(n) : 0);
    return out;
}

BtHttpReply FrameBtHttpReply(std::string_view bytes, bool ended) {
    BtHttpReply out;
    auto refuse = [&] {
        out.verdict = BtHttpReply::kRefused;
        return out;
    };
    // Trackers answer in HTTP/1.0 or 1.1; anything but a 200 carries no peers.
    constexpr std::string_view kOk11 = "HTTP/1.1 200 OK";
    constexpr std::string_view kOk10 = "HTTP/1.0 200 OK";
    size_t probe = std::min(bytes.size(), kOk11.size());
    if (bytes.substr(0, probe) != kOk11.substr(0, probe) &&
        bytes.substr(0, probe) != kOk10.substr(0, probe)) {
        return refuse();
    }
    if (bytes.size() > kMaxBtHttpReplyBytes) {
        return refuse();
    }
    platform::HttpHeadOptions options;
    options.maxHeadBytes = kMaxBtHttpReplyBytes;
    platform::HttpHeadEnd headEnd = platform::FindHttpHeadEnd(bytes, options);
    if (headEnd.kind != platform::HttpHeadEnd::kFound) {
        return ended ? refuse() : out;
    }
    std::optional<platform::CHttpHead> head =
        platform::ReadHttpHead(bytes.substr(0, headEnd.bodyOffset), options);
    if (!head) {
        return refuse();
    }
    std::optional<std::string_view> lengthText = head->Find("Content-Length");
    if (!lengthText) {
        return ended ? refuse() : out;
    }
    std::optional<uint64_t> length = platform::ParseHttpLength(*lengthText);
    if (!length) {
        return refuse();
    }
    size_t contentLength = static_cast<size_t>(std::min<uint64_t>(*length, kMaxBtHttpReplyBytes));
    std::string_view body = bytes.substr(headEnd.bodyOffset);
    // The whole body is waited for: a peer list cut at a receive boundary would lose peers.
    if (body.size() < contentLength && !ended) {
        return out;
    }
    if (body.empty()) {
        return refuse();
    }
    body = body.substr(0, std::min(body.size(), contentLength));
    size_t interval = body.find("intervali");
    size_t peersAt = body.find("peers", interval == std::string_view::npos ? 0 : interval);
    if (interval == std::string_view::npos || peersAt == std::string_view::npos) {
        return refuse();
    }
    std::string_view rest = body.substr(peersAt + 5);
    size_t count = 0;
    auto [cend, cec] = std::from_chars(rest.data(), rest.data() + rest.size(), count);
    if (cec != std::errc() || cend == rest.data() + rest.size() || *cend != ':') {
        // "peersl...": a dictionary list, which carries no compact entries.
        return refuse();
    }
    std::string_view list = rest.substr(static_cast<size_t>(cend - rest.data()) + 1);
    size_t take = std::min({count, list.size(), kMaxPeersPerReply * kBtPeerEntryBytes});
    take -= take % kBtPeerEntryBytes;
    out.peers.assign(list.begin(), list.begin() + static_cast<std::ptrdiff_t>(take));
    out.verdict = BtHttpReply::kPeers;
    return out;
}

std::array<uint8_t, kUdpConnectBytes> BuildUdpConnect(uint32_t transaction) {
    std::array<uint8_t, kUdpConnectBytes> out{0x00, 0x00, 0x04, 0x17, 0x27, 0x10, 0x19, 0x80};
    PutBe32(&out[8], 0);
    // The transaction id goes out in host order, as it always has; trackers only echo it.
    std::memcpy(&out[12], &transaction, 4);
    return out;
}

std::optional<std::array<uint8_t, kUdpAnnounceBytes>> BuildUdpAnnounce(std::span<const uint8_t> connectReply,
                                                                       uint32_t transaction,
                                                                       std::span<const uint8_t, 20> infoHash,
                                                                       std::span<const uint8_t, 20> peerId,
                                                                       uint16_t listenPort) {
    if (connectReply.size() < 16) {
        return std::nullopt;
    }
    std::array<uint8_t, kUdpAnnounceBytes> out{};
    std::memcpy(&out[0], &connectReply[8], 8);
    PutBe32(&out[8], 1);
    std::memcpy(&out[12], &transaction, 4);
    std::memcpy(&out[16], infoHash.data(), 20);
    std::memcpy(&out[36], peerId.data(), 20);
    // downloaded 0 (56..63); left: 00 00 00 64 00 00 00 00 (64..71); uploaded 0 (72..79)
    out[67] = 0x64;
    // event 0 (80), IP 0 (84), key 0 (88), num_want -1 (92), port (96)
    PutBe32(&out[92], 0xFFFFFFFFu);
    out[96] = static_cast<uint8_t>(listenPort >> 8);
    out[97] = static_cast<uint8_t>(listenPort);
    return out;
}

std::optional<uint32_t> UdpReplyAction(std::span<const uint8_t> datagram) {
    if (datagram.size() < 4) {
        return std::nullopt;
    }
    return uint32_t{datagram[0]} << 24 | uint32_t{datagram[1]} << 16 | uint32_t{datagram[2]} << 8 |
           datagram[3];
}

std::vector<BtPeerEntry> SplitCompactPeers(std::span<const uint8_t> compact) {
    std::vector<BtPeerEntry> out;
    for (size_t at = 0; at + kBtPeerEntryBytes <= compact.size(); at += kBtPeerEntryBytes) {
        BtPeerEntry e{};
        std::memcpy(&e.addr, &compact[at], 4);
        std::memcpy(&e.port, &compact[at + 4], 2);
        out.push_back(e);
    }
    return out;
}

}  // namespace tessali::sources
