#include "engine/sources/track_handle.h"

#include <arpa/inet.h>
#include <sys/socket.h>

#include <cstring>

#include "engine/core/engine_log.h"
#include "engine/sources/tracker_messages.h"

namespace tessali::sources {

using core::EngineLog;
using core::kLogDebug;
using core::TaskHash;

CTrackHandle::CTrackHandle(CTrackerList& list, CTrackerInterface& agent, ITrackTasks& tasks,
                           net::IPeerConnector& connector, net::IDatagramSender& sender, TrackHandleEnv env,
                           std::string engineTrackerUrl)
    : m_list(list),
      m_agent(agent),
      m_tasks(tasks),
      m_connector(connector),
      m_sender(sender),
      m_env(std::move(env)),
      m_url(std::move(engineTrackerUrl)) {}

void CTrackHandle::SendShare(const TaskHash& hash) {
    m_agent.QueueMessage(Encode(ShareRequest{0, {}, hash}), false);
}

void CTrackHandle::SendStopShare(const TaskHash& hash) {
    m_agent.QueueMessage(Encode(StopShareRequest{0, {}, hash}), false);
}

void CTrackHandle::SendSourceRequest(const TaskHash& hash) {
    m_agent.QueueMessage(Encode(SourceListRequest{0, {}, hash}), true);
}

void CTrackHandle::Handle(std::span<const uint8_t> message) {
    std::optional<TrackerHeader> h = PeekHeader(message);
    if (!h) {
        return;
    }
    // A message that does not decode as its command is dropped: one bad datagram must not stop
    // the handling of every later one.
    switch (h->command) {
        case kCmdLogin:
            return;
        case kCmdKeepAlive: {
            KeepAliveReply reply;
            if (Decode(message, reply) && reply.status == kKeepAliveNotLoggedIn) {
                // The tracker forgot us (it restarted, or our login expired): ask again for
                // every task and tell it again what we share.
                m_list.ActivateAll();
                m_tasks.AnnounceAllSources();
            }
            return;
        }
        case kCmdShare: {
            ShareReply reply;
            if (Decode(message, reply)) {
                OnShareReply(reply);
            }
            return;
        }
        case kCmdStopShare: {
            StopShareReply reply;
            if (Decode(message, reply)) {
                EngineLog(kLogDebug, "unshare file successful!!!\n");
                m_tasks.SetSharedFlag(reply.hash, 0);
            }
            return;
        }
        case kCmdSourceList: {
            SourceListReply reply;
            if (Decode(message, reply)) {
                OnSourceList(reply);
            }
            return;
        }
        case kCmdRelay:
            EngineLog(kLogDebug, "tracker stun resp!!!\n");
            return;
        case kCmdRelayNotice: {
            RelayNotice notice;
            if (Decode(message, notice)) {
                EngineLog(kLogDebug, "tracker stun notify!!!\n");
                OnRelayNotice(notice);
            }
            return;
        }
        default:
            return;
    }
}

void CTrackHandle::OnShareReply(const ShareReply& reply) {
    EngineLog(kLogDebug, "share file successful!!!\n");
    if (reply.result == kShareAlreadyShared) {
        EngineLog(kLogDebug, "AddSource Sucess,had been shared already!\n");
    } else if (reply.result == kShareNotLoggedIn) {
        EngineLog(kLogDebug, "AddSource Failed! Not Login\n");
        SendShare(reply.hash);
    } else if (reply.result != kShareAdded) {
        EngineLog(kLogDebug, "AddSource Failed! Result = %d\n", reply.result);
    }
    m_tasks.SetSharedFlag(reply.hash, 1);
}

bool CTrackHandle::IsOwnAddress(uint32_t addr, uint16_t port) {
    uint32_t external = m_agent.OwnExternalAddress();
    uint32_t local = m_env.localAddr ? m_env.localAddr() : 0;
    if (addr != external && addr != local) {
        return false;
    }
    uint16_t listen = m_env.listenPort ? m_env.listenPort() : 0;
    // A peer behind NAT is listed with the port of its tracker socket instead.
    uint16_t udp = 0;
    if (int fd = m_agent.UdpSocket(); fd >= 0) {
        sockaddr_in sa{};
        socklen_t len = sizeof sa;
        if (getsockname(fd, reinterpret_cast<sockaddr*>(&sa), &len) == 0) {
            udp = ntohs(sa.sin_port);
        }
    }
    uint16_t p = ntohs(port);
    return (listen != 0 && p == listen) || (udp != 0 && p == udp);
}

void CTrackHandle::OnSourceList(const SourceListReply& reply) {
    if (reply.result == kSourcesOk && m_tasks.WantsPeers(reply.hash)) {
        for (const SourceEntry& e : reply.entries) {
            if (!m_tasks.WantsPeers(reply.hash)) {
                break;
            }
            if (IsOwnAddress(e.addr, e.port)) {
                continue;
            }
            net::SourcePeer peer;
            peer.addr = e.addr;
            peer.port = e.port;
            std::memcpy(peer.idTail.data(), e.peerIdTail.data(), peer.idTail.size());
            peer.natType = e.natType;
            peer.versionType = e.versionType;
            bool started = m_connector.ConnectToSource(reply.hash, peer);
            EngineLog(kLogDebug, started ? "source %s:%u connecting\n" : "source %s:%u not connected\n",
                      AddrText(e.addr).c_str(), static_cast<unsigned>(ntohs(e.port)));
        }
    }
    m_list.MarkAnswered(reply.hash, m_url);
}

void CTrackHandle::OnRelayNotice(const RelayNotice& notice) {
    core::PeerId id = notice.peerId;
    std::memcpy(id.bytes.data(), "MIRT", 4);
    uint8_t versionType = core::VersionType(id.Version());
    if (!m_tasks.IsDownloading(notice.hash) || m_tasks.HasPeerWithId(notice.hash, id)) {
        return;
    }
    net::SourcePeer peer;
    peer.addr = notice.addr;
    peer.port = notice.port;
    core::PeerIdTail tail = id.Tail();
    std::memcpy(peer.idTail.data(), tail.data(), peer.idTail.size());
    peer.versionType = versionType;
    uint32_t e = notice.natType;
    uint32_t own = m_env.natType ? m_env.natType() : 6;
    if (e == 0 || e == 1) {
        // Type 0 is reached over TCP; type 1 over reliable UDP from a fresh carrier socket, which
        // the peer layer opens when told the peer's NAT type.
        peer.natType = static_cast<uint8_t>(e);
        m_connector.ConnectToSource(notice.hash, peer);
        return;
    }
    if (own == 2 || (own == 3 && e < 4) || own == 7) {
        // Open our NAT toward the peer; it connects to us.
        static const uint8_t kPunch[1] = {'0'};
        m_sender.SendTo(m_agent.UdpSocket(), notice.addr, notice.port, kPunch);
        return;
    }
    if (e == 2) {
        peer.natType = 0;
        m_connector.ConnectToSource(notice.hash, peer);
    }
}

}  // namespace tessali::sources
