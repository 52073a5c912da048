// The dispatchers: each cuts one connection's received bytes into whole messages in one wire
// form (plain, HTTP-tunnelled, scrambled) and wraps outgoing messages in the same form. One
// shared instance per form; the connection's state lives in its CConnEntry, and everything a
// dispatcher does to the outside goes through IDispatchHost. Framing runs on the peer thread
// under the dispatch manager's lock; Send may run on any thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <span>
#include <vector>

#include "engine/core/connection_key.h"
#include "engine/platform/tick.h"

namespace tessali::net {

enum DispatchType : uint8_t {
    kDispatchUnknown = 0,
    kDispatchHttp = 1,
    kDispatchScrambled = 2,
    kDispatchPlain = 3,
    kDispatchBtHttpTracker = 6,
    kDispatchBtUdpTracker = 7,
};

constexpr size_t kRecvChunkBytes = 18432;
constexpr size_t kMaxHttpBody = 133120;
// A stream that matches no form is dropped once this much of it is buffered.
constexpr size_t kMaxUndetectedBytes = 65536;
// An HTTP head longer than this is not one of ours.
constexpr size_t kMaxHttpHead = 4096;
// The largest scrambled frame (message plus padding) before the stream counts as broken.
constexpr size_t kMaxScrambledMessage = 511979;

// One connection's dispatch state.
struct CConnEntry {
    core::ConnectionKey key;
    uint8_t transport = 1;
    uint8_t type = kDispatchUnknown;
    bool handshakeSeen = false;
    bool closing = false;         // a framing error closed it; nothing more is framed
    bool ownCarrier = false;      // reliable UDP: the carrier socket was made for this connection
    platform::Tick opened = 0;    // when the entry was made (the handshake deadline counts from it)
    std::vector<uint8_t> buffer;  // received, not yet framed

    void Append(std::span<const uint8_t> data);
    // Removes the first `n` bytes (consumed by framing).
    void Consume(size_t n);
};

class IDispatchHost {
public:
    virtual ~IDispatchHost() = default;
    // A whole message of `entry`'s connection.
    virtual void Emit(const CConnEntry& entry, std::span<const uint8_t> message) = 0;
    // A synthetic message (30 connected, 31 closed, 32 posted, 21/22 tracker connected).
    virtual void PostSynthetic(const CConnEntry& entry, uint8_t id) = 0;
    // Raw bytes onto the connection's transport; bytes sent or -1.
    virtual int SendRaw(const core::ConnectionKey& key, uint8_t transport,
                        std::span<const uint8_t> bytes) = 0;
    // The stream is broken: the connection is to be closed (it gets its synthetic 31).
    virtual void FramingError(CConnEntry& entry) = 0;
};

class CDispatch {
public:
    explicit CDispatch(IDispatchHost& host) : m_host(host) {}
    virtual ~CDispatch() = default;
    // 0 when messages were produced or the stream is incomplete; -1 when nothing could be consumed.
    virtual int Frame(CConnEntry& entry) { return -1; }
    virtual int Send(const CConnEntry& entry, std::span<const uint8_t> message);
    virtual void OnConnected(const CConnEntry& entry);
    virtual void OnClosed(const CConnEntry& entry);
    virtual void Post32(const CConnEntry& entry);

    uint8_t Marker() const { return m_marker; }

protected:
    // Plain message framing of the buffer from `offset`: emits whole messages, returns the
    // offset after the last one, or SIZE_MAX after a fatal error (already reported).
    size_t FrameMessages(CConnEntry& entry, size_t offset, bool engineOnly);

    IDispatchHost& m_host;
    const uint8_t m_marker = 1;
};

class CBtDispatch : public CDispatch {
public:
    using CDispatch::CDispatch;
    int Frame(CConnEntry& entry) override;
    // Frames whole messages straight out of `data`, bytes that follow the entry's buffer, without
    // copying them into it; only with an empty buffer (else nothing is used). Returns how many
    // bytes were used (the rest, an unfinished message, belongs in the buffer), SIZE_MAX after a
    // fatal error (already reported).
    size_t FrameDirect(CConnEntry& entry, std::span<const uint8_t> data);
};

class CMirtHttpDispatch : public CDispatch {
public:
    using CDispatch::CDispatch;
    int Frame(CConnEntry& entry) override;
    int Send(const CConnEntry& entry, std::span<const uint8_t> message) override;
};

class CMirtDispatch : public CDispatch {
public:
    // `random` feeds keys and padding (tests pin it).
    CMirtDispatch(IDispatchHost& host, std::function<uint32_t()> random);
    int Frame(CConnEntry& entry) override;
    int Send(const CConnEntry& entry, std::span<const uint8_t> message) override;

private:
    std::function<uint32_t()> m_random;
};

class CBtHttpTrackDispatch : public CDispatch {
public:
    using CDispatch::CDispatch;
    void OnConnected(const CConnEntry& entry) override;
};

class CBtUdpTrackDispatch : public CDispatch {
public:
    using CDispatch::CDispatch;
    void OnConnected(const CConnEntry& entry) override;
};

// The dispatcher of an outgoing connection to an engine peer of version type 1, 2 or 3.
inline uint8_t FramingForVersion(uint8_t versionType) {
    return versionType == 2 ? kDispatchHttp : versionType == 3 ? kDispatchScrambled : kDispatchPlain;
}

// Which form the first bytes of an inbound stream are in (0 = not known yet).
uint8_t DetectForm(std::span<const uint8_t> buffer, uint8_t transport);
// After plain framing made no progress: the form the stream seems to be in instead (0 = none).
uint8_t DetectFallbackForm(std::span<const uint8_t> buffer, uint8_t transport);

// "POST " head: the head length and the body length; false while the head is incomplete and for
// one that does not end within kMaxHttpHead.
struct HttpHead {
    size_t headBytes = 0;
    size_t contentLength = 0;
    bool hasLength = false;
};
bool ParseHttpHead(std::span<const uint8_t> buffer, HttpHead& out);
std::vector<uint8_t> BuildHttpHead(size_t bodyBytes, uint32_t addr, uint16_t port);

}  // namespace tessali::net
