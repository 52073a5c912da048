#include "engine/net/dispatch.h"

#include <arpa/inet.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <optional>
#include <string_view>

#include "engine/core/engine_env.h"
#include "engine/core/engine_log.h"
#include "engine/net/peer_wire.h"
#include "engine/net/scramble.h"
#include "engine/platform/http_head.h"

namespace tessali::net {
namespace {

constexpr size_t kFatal = SIZE_MAX;
constexpr std::string_view kPost = "POST ";

bool StartsWith(std::span<const uint8_t> bytes, std::string_view text) {
    return bytes.size() >= text.size() && std::memcmp(bytes.data(), text.data(), text.size()) == 0;
}

// One plain message from `pos`: the offset after it, `pos` when it is incomplete (or framing
// stops there), kFatal after an error that was already reported.
size_t FrameOneIn(IDispatchHost& host, CConnEntry& entry, std::span<const uint8_t> bytes, size_t pos,
                  bool engineOnly) {
    std::span<const uint8_t> rest = bytes.subspan(pos);
    if (!entry.handshakeSeen) {
        if (rest.size() < kHandshakeBytes) {
            return pos;
        }
        std::span<const uint8_t> hs = rest.first(kHandshakeBytes);
        if (hs[0] != 19 || !Contains(hs, engineOnly ? "MIRT protocol" : "protocol")) {
            return pos;
        }
        entry.handshakeSeen = true;
        host.Emit(entry, hs);
        return pos + kHandshakeBytes;
    }
    if (rest.size() < 5) {
        return pos;
    }
    uint32_t n = GetU32(rest.data());
    if (n == kStopLength) {
        return pos;
    }
    // Nothing legal is longer; buffering for it would let a peer make us hold any amount.
    if (uint64_t{n} + 4 > kMaxMessageBytes) {
        core::EngineLog(core::kLogFail, "message length %u from %s is above the largest message, dropped\n",
                        n, entry.key.Text().c_str());
        host.FramingError(entry);
        return kFatal;
    }
    if (rest.size() < size_t{n} + 4) {
        return pos;
    }
    host.Emit(entry, rest.first(size_t{n} + 4));
    return pos + n + 4;
}

size_t FrameOne(IDispatchHost& host, CConnEntry& entry, size_t pos, bool engineOnly) {
    return FrameOneIn(host, entry, entry.buffer, pos, engineOnly);
}

size_t FrameAllIn(IDispatchHost& host, CConnEntry& entry, std::span<const uint8_t> bytes, size_t pos,
                  bool engineOnly) {
    while (true) {
        size_t next = FrameOneIn(host, entry, bytes, pos, engineOnly);
        if (next == kFatal || next == pos) {
            return next;
        }
        pos = next;
    }
}

// Whether the buffer starts with a whole scrambled handshake frame.
bool LooksScrambledHandshake(std::span<const uint8_t> buffer) {
    std::optional<ScrambledHead> head = PeekScrambledHead(buffer);
    if (!head || head->padding > kMaxPadding || !head->keysMatch || head->firstBytes[0] != 19) {
        return false;
    }
    size_t frame = kScrambleHeadBytes + head->padding + kHandshakeBytes;
    if (buffer.size() < frame) {
        return false;
    }
    std::vector<uint8_t> copy(buffer.begin(), buffer.begin() + static_cast<std::ptrdiff_t>(frame));
    UnscrambleFrame(copy);
    return Contains(std::span(copy).subspan(kScrambleHeadBytes + head->padding), "protocol");
}

bool LooksHttp(std::span<const uint8_t> buffer) {
    HttpHead head;
    return StartsWith(buffer, kPost) && ParseHttpHead(buffer, head) && head.hasLength &&
           head.contentLength > 0;
}

}  // namespace

void CConnEntry::Append(std::span<const uint8_t> data) {
    if (buffer.capacity() < buffer.size() + data.size()) {
        // Grown in whole receive chunks.
        size_t want = buffer.size() + data.size();
        buffer.reserve((want + kRecvChunkBytes - 1) / kRecvChunkBytes * kRecvChunkBytes);
    }
    buffer.insert(buffer.end(), data.begin(), data.end());
}

void CConnEntry::Consume(size_t n) {
    n = std::min(n, buffer.size());
    buffer.erase(buffer.begin(), buffer.begin() + static_cast<std::ptrdiff_t>(n));
}

int CDispatch::Send(const CConnEntry& entry, std::span<const uint8_t> message) {
    return m_host.SendRaw(entry.key, entry.transport, message);
}

void CDispatch::OnConnected(const CConnEntry& entry) {
    m_host.PostSynthetic(entry, kMsgConnected);
}
void CDispatch::OnClosed(const CConnEntry& entry) {
    m_host.PostSynthetic(entry, kMsgClosed);
}
void CDispatch::Post32(const CConnEntry& entry) {
    m_host.PostSynthetic(entry, kMsgPosted);
}
void CBtHttpTrackDispatch::OnConnected(const CConnEntry& entry) {
    m_host.PostSynthetic(entry, 21);
}
void CBtUdpTrackDispatch::OnConnected(const CConnEntry& entry) {
    m_host.PostSynthetic(entry, 22);
}

size_t CDispatch::FrameMessages(CConnEntry& entry, size_t offset, bool engineOnly) {
    return FrameAllIn(m_host, entry, entry.buffer, offset, engineOnly);
}

size_t CBtDispatch::FrameDirect(CConnEntry& entry, std::span<const uint8_t> data) {
    return entry.buffer.empty() ? FrameAllIn(m_host, entry, data, 0, false) : 0;
}

int CBtDispatch::Frame(CConnEntry& entry) {
    size_t pos = FrameMessages(entry, 0, false);
    if (pos == kFatal) {
        return -1;
    }
    if (pos > 0) {
        entry.Consume(pos);
        return 0;
    }
    std::span<const uint8_t> buf = entry.buffer;
    if (!entry.handshakeSeen) {
        // 68 bytes that are no handshake cannot be framed here.
        return buf.size() >= kHandshakeBytes ? -1 : 0;
    }
    return buf.size() >= 5 && GetU32(buf.data()) == kStopLength ? -1 : 0;
}

bool ParseHttpHead(std::span<const uint8_t> buffer, HttpHead& out) {
    std::string_view text(reinterpret_cast<const char*>(buffer.data()), buffer.size());
    platform::HttpHeadOptions options;
    options.firstLine = platform::HttpFirstLine::kSkipped;  // "POST /service HTTP/1.1"
    options.maxHeadBytes = kMaxHttpHead;
    platform::HttpHeadEnd end = platform::FindHttpHeadEnd(text, options);
    if (end.kind != platform::HttpHeadEnd::kFound) {
        return false;
    }
    std::optional<platform::CHttpHead> head = platform::ReadHttpHead(text.substr(0, end.bodyOffset), options);
    if (!head) {
        return false;
    }
    out = HttpHead{};
    out.headBytes = end.bodyOffset;
    std::optional<std::string_view> value = head->Find("Content-Length");
    std::optional<uint64_t> length = value ? platform::ParseHttpLength(*value) : std::nullopt;
    if (length) {
        out.hasLength = true;
        out.contentLength = static_cast<size_t>(std::min<uint64_t>(*length, SIZE_MAX));
    }
    return true;
}

std::vector<uint8_t> BuildHttpHead(size_t bodyBytes, uint32_t addr, uint16_t port) {
    char head[1024];
    int n = std::snprintf(head, sizeof head,
                          "POST /service HTTP/1.1\r\nAccept: */*\r\nCache-Control: no-cache\r\nConnection: "
                          "Keep-Alive\r\nContent-Length: %d\r\nHost: %s:%d\r\nUser-Agent: Mozilla/4.0 "
                          "(compatible; MSIE 6.0; Windows NT 5.1; SV1;)\r\n\r\n",
                          static_cast<int>(bodyBytes), core::AddressText(addr).c_str(),
                          static_cast<int>(ntohs(port)));
    return std::vector<uint8_t>(head, head + std::max(0, n));
}

int CMirtHttpDispatch::Frame(CConnEntry& entry) {
    size_t pos = 0;
    while (true) {
        std::span<const uint8_t> rest = std::span<const uint8_t>(entry.buffer).subspan(pos);
        if (StartsWith(rest, kPost)) {
            HttpHead head;
            if (!ParseHttpHead(rest, head)) {
                if (rest.size() > kMaxHttpHead) {
                    m_host.FramingError(entry);
                    return -1;
                }
                break;
            }
            // A body we would never frame would otherwise stay buffered for good.
            if (!head.hasLength || head.contentLength > kMaxHttpBody) {
                core::EngineLog(core::kLogFail, "http tunnel body of %zu bytes from %s refused\n",
                                head.contentLength, entry.key.Text().c_str());
                m_host.FramingError(entry);
                return -1;
            }
            pos += head.headBytes;
            continue;
        }
        size_t next = FrameOne(m_host, entry, pos, true);
        if (next == kFatal) {
            return -1;
        }
        if (next == pos) {
            break;
        }
        pos = next;
    }
    if (pos > 0) {
        entry.Consume(pos);
        return 0;
    }
    // Nothing consumed: an incomplete head or message is waited for; 68 bytes that are neither
    // a head nor a handshake cannot be framed here.
    bool head = StartsWith(entry.buffer, kPost);
    return !head && !entry.handshakeSeen && entry.buffer.size() >= kHandshakeBytes ? -1 : 0;
}

int CMirtHttpDispatch::Send(const CConnEntry& entry, std::span<const uint8_t> message) {
    // Head and body leave in one write whatever the size: as two writes, a body behind the
    // unacknowledged head waits for the peer's delayed acknowledge (Nagle), about 40 ms per
    // block. The bytes on the wire are the same.
    std::vector<uint8_t> out = BuildHttpHead(message.size(), entry.key.addr, entry.key.port);
    out.insert(out.end(), message.begin(), message.end());
    int r = m_host.SendRaw(entry.key, entry.transport, out);
    // 0: no room for it now, nothing went out.
    return r <= 0 ? r : static_cast<int>(message.size());
}

CMirtDispatch::CMirtDispatch(IDispatchHost& host, std::function<uint32_t()> random)
    : CDispatch(host), m_random(std::move(random)) {}

int CMirtDispatch::Frame(CConnEntry& entry) {
    size_t pos = 0;
    while (true) {
        std::span<uint8_t> rest = std::span<uint8_t>(entry.buffer).subspan(pos);
        size_t least = entry.handshakeSeen ? 21 : 85;
        if (rest.size() < least) {
            break;
        }
        std::optional<ScrambledHead> head = PeekScrambledHead(rest);
        if (!head) {
            break;
        }
        if (head->padding > kMaxPadding || !head->keysMatch) {
            core::EngineLog(core::kLogFail, "CMirtDispatch ProcessPhase decode1 Error!!!!\n");
            m_host.FramingError(entry);
            return -1;
        }
        size_t message = kHandshakeBytes;
        if (entry.handshakeSeen) {
            message = size_t{GetU32(head->firstBytes.data())} + 4;
            size_t m = message + head->padding;
            if (m > kMaxScrambledMessage) {
                core::EngineLog(core::kLogFail, "CMirtDispatch ProcessPhase decode2 Error,%d,%d,%d!!!!\n",
                                static_cast<int>(message), static_cast<int>(head->padding),
                                static_cast<int>(m + 21));
                m_host.FramingError(entry);
                return -1;
            }
        } else if (head->firstBytes[0] != 19) {
            core::EngineLog(core::kLogFail, "CMirtDispatch ProcessPhase decode1 Error!!!!\n");
            m_host.FramingError(entry);
            return -1;
        }
        size_t frame = kScrambleHeadBytes + head->padding + message;
        if (rest.size() < frame) {
            break;
        }
        UnscrambleFrame(rest.first(frame));
        std::span<const uint8_t> body = rest.subspan(kScrambleHeadBytes + head->padding, message);
        // A frame of a length our senders never make (short and not a multiple of 4) decodes
        // its tail differently from the head we peeked at; it is not one of ours.
        if (std::memcmp(body.data(), head->firstBytes.data(), 4) != 0 ||
            std::memcmp(rest.data() + 9 + head->padding, rest.data(), 8) != 0) {
            core::EngineLog(core::kLogFail, "CMirtDispatch ProcessPhase decode1 Error!!!!\n");
            m_host.FramingError(entry);
            return -1;
        }
        if (!entry.handshakeSeen) {
            if (!Contains(body, "MIRT protocol")) {
                m_host.FramingError(entry);
                return -1;
            }
            entry.handshakeSeen = true;
        }
        m_host.Emit(entry, body);
        pos += frame;
    }
    entry.Consume(pos);
    return 0;
}

int CMirtDispatch::Send(const CConnEntry& entry, std::span<const uint8_t> message) {
    std::vector<uint8_t> frame = BuildScrambledFrame(message, m_random);
    int r = m_host.SendRaw(entry.key, entry.transport, frame);
    return r <= 0 ? r : static_cast<int>(message.size());
}

uint8_t DetectForm(std::span<const uint8_t> buffer, uint8_t transport) {
    if (transport == 1) {
        if (LooksHttp(buffer)) {
            return kDispatchHttp;
        }
        if (buffer.size() >= 85 && LooksScrambledHandshake(buffer)) {
            return kDispatchScrambled;
        }
    }
    if (!buffer.empty() && buffer[0] == 19 && Contains(buffer, "protocol")) {
        return kDispatchPlain;
    }
    return kDispatchUnknown;
}

uint8_t DetectFallbackForm(std::span<const uint8_t> buffer, uint8_t transport) {
    if (transport == 1) {
        if (LooksHttp(buffer)) {
            return kDispatchHttp;
        }
        if (buffer.size() >= 21) {
            std::optional<ScrambledHead> head = PeekScrambledHead(buffer);
            if (head && head->padding <= kMaxPadding && head->keysMatch) {
                return kDispatchScrambled;
            }
        }
    }
    if (buffer.size() >= 5 && buffer[4] >= 1 && buffer[4] <= 11) {
        uint32_t n = GetU32(buffer.data());
        if (n != kStopLength && buffer.size() >= uint64_t{n} + 4) {
            return kDispatchPlain;
        }
    }
    return kDispatchUnknown;
}

}  // namespace tessali::net
