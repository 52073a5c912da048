// The reference tracker's memory: who is logged in (keyed by the last twelve characters of the
// peer id, which survive a version change), which peers share which task, and how each message is
// answered. Socket-free: the caller feeds messages with their origin and sends what comes back.
// Single-threaded: the server's one loop owns it.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <set>
#include <span>
#include <string>
#include <vector>

#include "engine/core/peer_id.h"
#include "engine/core/task_hash.h"
#include "engine/platform/tick.h"
#include "engine/sources/tracker_messages.h"

namespace tessali::mirt_tracker {

// Where a message came from: a UDP source endpoint, or an agent relay TCP connection.
struct Origin {
    bool tcp = false;
    int conn = -1;      // TCP connection id
    uint32_t addr = 0;  // network order: datagram source, or the TCP connection's peer
    uint16_t port = 0;  // network order: datagram source port (TCP: the connection's port, unused)
};

// One message to send: over UDP to addr:port, or on TCP connection `conn`.
struct Outgoing {
    bool tcp = false;
    int conn = -1;
    uint32_t addr = 0;  // network order
    uint16_t port = 0;  // network order
    std::vector<uint8_t> bytes;
};

struct TrackerOptions {
    uint32_t expireMs = 180000;      // a login with no message for this long is forgotten
    size_t maxSources = 50;          // entries per source reply (never above what fits a datagram)
    size_t maxPeers = 100000;        // logins held; further new peer ids are refused
    size_t maxSharesPerPeer = 4096;  // tasks one peer may share
    // When set, every login is answered "redirect" to this address (network order) and port
    // (network order, 0 = unchanged); nothing is recorded.
    std::optional<std::pair<uint32_t, uint16_t>> redirect;
};

class CTrackerState {
public:
    explicit CTrackerState(TrackerOptions options = {});

    // Handles one tracker message; appends the replies and notices to `out`. Messages that do
    // not decode as a request, and commands the server does not serve, are ignored (false).
    bool Handle(std::span<const uint8_t> message, const Origin& from, platform::Tick now,
                std::vector<Outgoing>& out);
    // Forgets logins silent for longer than the expiry; the number forgotten.
    size_t Expire(platform::Tick now);
    // A TCP relay connection went away: notices to its peers go over UDP again.
    void ConnectionClosed(int conn);

    size_t PeerCount() const { return m_peers.size(); }
    size_t SharerCount(const core::TaskHash& hash) const;
    bool IsLoggedIn(const core::PeerIdTail& tail) const { return m_peers.count(tail) != 0; }

private:
    struct Peer {
        core::PeerId id;
        uint32_t addr = 0;     // as seen by the server, network order
        uint16_t udpPort = 0;  // the peer's UDP source port as seen (network order), 0 = unknown
        uint32_t localAddr = 0;
        uint16_t listenPort = 0;  // network order
        uint8_t natType = 0;
        int tcpConn = -1;
        bool lastViaTcp = false;  // how its latest message came: notices go the same way
        platform::Tick lastSeen = 0;
        std::set<core::TaskHash> shares;
    };

    void OnLogin(const sources::LoginRequest& req, const Origin& from, platform::Tick now,
                 std::vector<Outgoing>& out);
    void OnLogout(const sources::LogoutRequest& req, const Origin& from);
    void OnKeepAlive(const sources::KeepAliveRequest& req, const Origin& from, platform::Tick now,
                     std::vector<Outgoing>& out);
    void OnShare(const sources::ShareRequest& req, const Origin& from, platform::Tick now,
                 std::vector<Outgoing>& out);
    void OnStopShare(const sources::StopShareRequest& req, const Origin& from, platform::Tick now,
                     std::vector<Outgoing>& out);
    void OnSourceList(const sources::SourceListRequest& req, const Origin& from, platform::Tick now,
                      std::vector<Outgoing>& out);
    void OnRelay(const sources::RelayRequest& req, const Origin& from, platform::Tick now,
                 std::vector<Outgoing>& out);

    // The logged-in peer named by `id`, when the message comes from the address it logged in
    // from; refreshes its activity (and, unless `keepUdpPort`, its UDP port) on the way.
    Peer* Known(const core::PeerId& id, const Origin& from, platform::Tick now, bool keepUdpPort = false);
    void Remove(std::map<core::PeerIdTail, Peer>::iterator it);
    // The address and port other peers should use for `p`: its listening port when it is
    // reachable, its UDP mapping otherwise.
    std::pair<uint32_t, uint16_t> Advertised(const Peer& p) const;
    static Outgoing Reply(const Origin& to, std::vector<uint8_t> bytes);

    TrackerOptions m_options;
    std::map<core::PeerIdTail, Peer> m_peers;
    std::map<core::TaskHash, std::set<core::PeerIdTail>> m_sharers;
    std::map<core::TaskHash, size_t> m_rotation;
};

}  // namespace tessali::mirt_tracker
