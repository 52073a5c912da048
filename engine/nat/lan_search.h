// LAN source search: engines on one local network find each other for a task without a tracker.
// A search for a hash is multicast to 229.255.255.250:20110; every engine that has the task
// answers by unicast with its peer id, address and listen port, and the searcher hands the peer
// to the peer layer. One process-wide instance; Search and Step run on the CommonRoutine thread
// (tests may build private instances and drive them from one thread).
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <span>
#include <string>
#include <string_view>

#include "engine/core/task_hash.h"
#include "engine/nat/lan_peer_sink.h"

namespace tessali::nat {

constexpr const char* kLanGroupAddress = "229.255.255.250";
constexpr uint16_t kLanSearchPort = 20110;
constexpr size_t kLanDatagramBytes = 1024;

// Wire texts. Hashes are written as 40 upper-case digits.
std::string BuildLanSearch(const core::TaskHash& hash);
std::string BuildLanAnswer(const core::TaskHash& hash, std::string_view peerId, uint32_t address,
                           uint16_t port);

struct LanDatagram {
    enum Kind { kOther, kSearch, kAnswer } kind = kOther;
    core::TaskHash hash;
    std::array<uint8_t, 20> peerId{};  // answers: the bytes after "ID:" (zero-filled when shorter)
    uint32_t address = 0;              // answers: network order
    uint16_t port = 0;                 // answers: 0 when "PORT:" is absent
};

// Reads a received datagram within its bytes. A malformed answer (no usable address, a port
// above 65535) reads as kOther.
LanDatagram ParseLanDatagram(std::span<const uint8_t> datagram);

class CLanSearch {
public:
    struct Hooks {
        // Whether the engine has a task with this hash (default: the task manager).
        std::function<bool(const core::TaskHash&)> hasTask;
        // The engine's listen port (default: the host facts) and own peer id (default: none yet).
        std::function<uint16_t()> listenPort;
        std::function<std::string()> peerId;
        ILanPeerSink* sink = nullptr;
    };

    CLanSearch();
    explicit CLanSearch(Hooks hooks);
    ~CLanSearch();
    CLanSearch(const CLanSearch&) = delete;
    CLanSearch& operator=(const CLanSearch&) = delete;

    static CLanSearch& Instance();
    static void Destroy();

    void SetHooks(Hooks hooks);
    // Set by the layers that own them once they exist: the peer layer's connect operation and
    // the tracker agent's peer id.
    void SetPeerSink(ILanPeerSink* sink) { m_hooks.sink = sink; }
    void SetPeerIdSource(std::function<std::string()> peerId);

    // Opens the socket on the host's local address (or `localAddress`, network order). Only the
    // first call may succeed; any later call returns false.
    bool Start();
    bool Start(uint32_t localAddress);
    bool Started() const { return m_socket >= 0; }
    // Multicasts a search for `hash`; nothing before a successful start.
    void Search(const core::TaskHash& hash);
    // Handles at most one waiting datagram.
    void Step();

private:
    void HandleSearch(const LanDatagram& d, const void* from, unsigned fromLen);
    void HandleAnswer(const LanDatagram& d);

    Hooks m_hooks;
    bool m_notStarted = true;
    int m_socket = -1;
    uint32_t m_localAddress = 0;
};

}  // namespace tessali::nat
