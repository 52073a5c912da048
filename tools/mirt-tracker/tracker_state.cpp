#include "tools/mirt-tracker/tracker_state.h"

#include <algorithm>

#include "engine/sources/tracker_messages.h"

namespace tessali::mirt_tracker {

using namespace tessali::sources;
using platform::Tick;

namespace {

template <typename T, typename F>
bool With(std::span<const uint8_t> message, F&& handle) {
    T request;
    if (!Decode(message, request)) {
        return false;
    }
    handle(request);
    return true;
}

}  // namespace

CTrackerState::CTrackerState(TrackerOptions options) : m_options(options) {
    m_options.maxSources = std::min(m_options.maxSources, kMaxSourceEntries);
}

bool CTrackerState::Handle(std::span<const uint8_t> message, const Origin& from, Tick now,
                           std::vector<Outgoing>& out) {
    std::optional<TrackerHeader> h = PeekHeader(message);
    if (!h) {
        return false;
    }
    switch (h->command) {
        case kCmdLogin:
            return With<LoginRequest>(message, [&](const auto& r) { OnLogin(r, from, now, out); });
        case kCmdLogout:
            return With<LogoutRequest>(message, [&](const auto& r) { OnLogout(r, from); });
        case kCmdKeepAlive:
            return With<KeepAliveRequest>(message, [&](const auto& r) { OnKeepAlive(r, from, now, out); });
        case kCmdShare:
            return With<ShareRequest>(message, [&](const auto& r) { OnShare(r, from, now, out); });
        case kCmdStopShare:
            return With<StopShareRequest>(message, [&](const auto& r) { OnStopShare(r, from, now, out); });
        case kCmdSourceList:
            return With<SourceListRequest>(message, [&](const auto& r) { OnSourceList(r, from, now, out); });
        case kCmdRelay:
            return With<RelayRequest>(message, [&](const auto& r) { OnRelay(r, from, now, out); });
        default:
            return false;  // replies, notices and unknown commands are not for the server
    }
}

Outgoing CTrackerState::Reply(const Origin& to, std::vector<uint8_t> bytes) {
    Outgoing o;
    o.tcp = to.tcp;
    o.conn = to.conn;
    o.addr = to.addr;
    o.port = to.port;
    o.bytes = std::move(bytes);
    return o;
}

CTrackerState::Peer* CTrackerState::Known(const core::PeerId& id, const Origin& from, Tick now,
                                          bool keepUdpPort) {
    auto it = m_peers.find(id.Tail());
    // The peer id is public (source lists carry it), so a request naming it counts only from
    // the address that logged in; anyone else is told to log in.
    if (it == m_peers.end() || it->second.addr != from.addr) {
        return nullptr;
    }
    Peer& p = it->second;
    p.lastSeen = now;
    p.lastViaTcp = from.tcp;
    if (from.tcp) {
        p.tcpConn = from.conn;
    } else if (!keepUdpPort) {
        p.udpPort = from.port;  // follows a NAT that re-mapped the engine's socket
    }
    return &p;
}

void CTrackerState::Remove(std::map<core::PeerIdTail, Peer>::iterator it) {
    for (const core::TaskHash& hash : it->second.shares) {
        auto s = m_sharers.find(hash);
        if (s != m_sharers.end()) {
            s->second.erase(it->first);
            if (s->second.empty()) {
                m_sharers.erase(s);
                m_rotation.erase(hash);
            }
        }
    }
    m_peers.erase(it);
}

std::pair<uint32_t, uint16_t> CTrackerState::Advertised(const Peer& p) const {
    if (p.natType == 0 || p.udpPort == 0) {
        return {p.addr, p.listenPort};
    }
    return {p.addr, p.udpPort};
}

void CTrackerState::OnLogin(const LoginRequest& req, const Origin& from, Tick now,
                            std::vector<Outgoing>& out) {
    LoginReply reply;
    reply.sequence = req.sequence;
    reply.addr = from.addr;
    reply.port = from.tcp ? 0 : from.port;
    if (m_options.redirect) {
        reply.addr = m_options.redirect->first;
        reply.port = m_options.redirect->second;
        reply.result = kLoginRedirect;
        out.push_back(Reply(from, Encode(reply)));
        return;
    }
    if (!req.peerId.IsWellFormed()) {
        reply.result = kLoginPeerIdRefused;
        out.push_back(Reply(from, Encode(reply)));
        return;
    }
    auto it = m_peers.find(req.peerId.Tail());
    if (it == m_peers.end()) {
        if (m_peers.size() >= m_options.maxPeers) {
            Expire(now);
        }
        if (m_peers.size() >= m_options.maxPeers) {
            reply.result = kLoginRefusedFull;
            out.push_back(Reply(from, Encode(reply)));
            return;
        }
        it = m_peers.emplace(req.peerId.Tail(), Peer{}).first;
    }
    // A known id logging in again (restart, new NAT type, new address) keeps its shares: the
    // engine re-announces them only after a keep-alive says it was forgotten.
    Peer& p = it->second;
    bool sameAddr = p.addr == from.addr;
    p.id = req.peerId;
    p.addr = from.addr;
    p.localAddr = req.localAddr;
    p.listenPort = req.listenPort;
    p.natType = req.natType;
    p.lastSeen = now;
    p.lastViaTcp = from.tcp;
    if (from.tcp) {
        p.tcpConn = from.conn;
        if (!sameAddr) {
            p.udpPort = 0;
        }
    } else {
        p.udpPort = from.port;
    }
    reply.result = kLoginAccepted;
    out.push_back(Reply(from, Encode(reply)));
}

void CTrackerState::OnLogout(const LogoutRequest& req, const Origin& from) {
    auto it = m_peers.find(req.peerId.Tail());
    if (it != m_peers.end() && it->second.addr == from.addr) {
        Remove(it);
    }
}

void CTrackerState::OnKeepAlive(const KeepAliveRequest& req, const Origin& from, Tick now,
                                std::vector<Outgoing>& out) {
    KeepAliveReply reply;
    reply.sequence = req.sequence;
    reply.status = Known(req.peerId, from, now) ? kKeepAliveLoggedIn : kKeepAliveNotLoggedIn;
    out.push_back(Reply(from, Encode(reply)));
}

void CTrackerState::OnShare(const ShareRequest& req, const Origin& from, Tick now,
                            std::vector<Outgoing>& out) {
    ShareReply reply;
    reply.sequence = req.sequence;
    reply.hash = req.hash;
    Peer* p = Known(req.peerId, from, now);
    if (!p) {
        reply.result = kShareNotLoggedIn;
    } else if (p->shares.count(req.hash)) {
        reply.result = kShareAlreadyShared;
    } else if (p->shares.size() >= m_options.maxSharesPerPeer) {
        reply.result = kShareTooMany;
    } else {
        p->shares.insert(req.hash);
        m_sharers[req.hash].insert(req.peerId.Tail());
        reply.result = kShareAdded;
    }
    out.push_back(Reply(from, Encode(reply)));
}

void CTrackerState::OnStopShare(const StopShareRequest& req, const Origin& from, Tick now,
                                std::vector<Outgoing>& out) {
    if (Peer* p = Known(req.peerId, from, now); p && p->shares.erase(req.hash)) {
        auto s = m_sharers.find(req.hash);
        if (s != m_sharers.end()) {
            s->second.erase(req.peerId.Tail());
            if (s->second.empty()) {
                m_sharers.erase(s);
                m_rotation.erase(req.hash);
            }
        }
    }
    // Answered whether or not it was shared, so the engine stops retransmitting.
    StopShareReply reply;
    reply.sequence = req.sequence;
    reply.hash = req.hash;
    out.push_back(Reply(from, Encode(reply)));
}

void CTrackerState::OnSourceList(const SourceListRequest& req, const Origin& from, Tick now,
                                 std::vector<Outgoing>& out) {
    SourceListReply reply;
    reply.sequence = req.sequence;
    reply.hash = req.hash;
    if (!Known(req.peerId, from, now)) {
        reply.result = kSourcesNotLoggedIn;
        out.push_back(Reply(from, Encode(reply)));
        return;
    }
    reply.result = kSourcesOk;
    auto s = m_sharers.find(req.hash);
    if (s != m_sharers.end()) {
        // Reachable peers first (the engine stops opening once it has enough), then by NAT
        // type. The class that does not fit whole is rotated between askers, so that with more
        // sharers than fit, successive askers meet different ones.
        std::map<uint8_t, std::vector<const Peer*>> byNat;
        for (const core::PeerIdTail& tail : s->second) {
            auto it = m_peers.find(tail);
            if (it != m_peers.end() && tail != req.peerId.Tail()) {
                byNat[it->second.natType].push_back(&it->second);
            }
        }
        for (auto& [nat, group] : byNat) {
            size_t room = m_options.maxSources - reply.entries.size();
            if (room == 0) {
                break;
            }
            size_t first = 0;
            if (group.size() > room) {
                size_t& turn = m_rotation[req.hash];
                first = turn % group.size();
                turn += room;
            }
            for (size_t i = 0; i < std::min(room, group.size()); ++i) {
                const Peer& p = *group[(first + i) % group.size()];
                SourceEntry e;
                e.peerIdTail = p.id.Tail();
                std::tie(e.addr, e.port) = Advertised(p);
                e.natType = p.natType;
                e.versionType = core::VersionType(p.id.Version());
                reply.entries.push_back(e);
            }
        }
    }
    out.push_back(Reply(from, Encode(reply)));
}

void CTrackerState::OnRelay(const RelayRequest& req, const Origin& from, Tick now,
                            std::vector<Outgoing>& out) {
    RelayReply reply;
    reply.sequence = req.sequence;
    // A relay request may come from a fresh carrier socket rather than the engine's tracker
    // socket, so it does not move the recorded UDP port.
    Peer* asker = Known(req.peerId, from, now, /*keepUdpPort=*/true);
    auto target = m_peers.find(req.remotePeerId.Tail());
    if (!asker) {
        reply.result = kRelayNotLoggedIn;
    } else if (target == m_peers.end() || (target->second.tcpConn < 0 && target->second.udpPort == 0)) {
        reply.result = kRelayRemoteUnknown;
    } else {
        RelayNotice notice;
        notice.hash = req.hash;
        notice.peerId = asker->id;
        notice.natType = asker->natType;
        if (asker->natType == 0 || from.tcp) {
            std::tie(notice.addr, notice.port) = Advertised(*asker);
        } else {
            // The socket the request came from is the one the asker connects from: the other
            // side opens its NAT toward exactly this mapping.
            notice.addr = from.addr;
            notice.port = from.port;
        }
        // The way the peer last spoke is the way it is listening now: an engine whose UDP is
        // blocked keeps its relay open, one whose requests are answered closes it.
        const Peer& t = target->second;
        Outgoing o;
        o.tcp = t.tcpConn >= 0 && (t.lastViaTcp || t.udpPort == 0);
        o.conn = t.tcpConn;
        o.addr = t.addr;
        o.port = t.udpPort;
        o.bytes = Encode(notice);
        out.push_back(std::move(o));
        reply.result = kRelayNoticeSent;
    }
    out.push_back(Reply(from, Encode(reply)));
}

size_t CTrackerState::Expire(Tick now) {
    size_t gone = 0;
    for (auto it = m_peers.begin(); it != m_peers.end();) {
        auto next = std::next(it);
        if (platform::TickElapsed(now, it->second.lastSeen) > m_options.expireMs) {
            Remove(it);
            ++gone;
        }
        it = next;
    }
    return gone;
}

void CTrackerState::ConnectionClosed(int conn) {
    for (auto& [tail, p] : m_peers) {
        if (p.tcpConn == conn) {
            p.tcpConn = -1;
            p.lastViaTcp = false;
        }
    }
}

size_t CTrackerState::SharerCount(const core::TaskHash& hash) const {
    auto s = m_sharers.find(hash);
    return s == m_sharers.end() ? 0 : s->second.size();
}

}  // namespace tessali::mirt_tracker
