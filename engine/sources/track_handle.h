// CTrackHandle: what the tracker thread does with each tracker message the agent passes on:
// re-announcing after the tracker forgot us, share and stop-sharing confirmations, source lists
// opening peer connections, and relay notices from peers that want to be reached. It reaches
// tasks, peers and the network only through the seams given at construction. Called from the
// tracker thread; the request senders may be called from any thread.
#pragma once

#include <cstdint>
#include <functional>
#include <span>
#include <string>

#include "engine/core/task_hash.h"
#include "engine/net/datagram_sender.h"
#include "engine/net/peer_connector.h"
#include "engine/sources/tracker_interface.h"
#include "engine/sources/tracker_list.h"
#include "engine/sources/tracker_messages.h"

namespace tessali::sources {

// What the handler asks of the task manager.
class ITrackTasks {
public:
    virtual ~ITrackTasks() = default;
    // The task exists, is not complete and is not being deleted.
    virtual bool WantsPeers(const core::TaskHash& hash) = 0;
    // The task exists and is downloading (run state 1).
    virtual bool IsDownloading(const core::TaskHash& hash) = 0;
    virtual bool HasPeerWithId(const core::TaskHash& hash, const core::PeerId& id) = 0;
    virtual void SetSharedFlag(const core::TaskHash& hash, uint8_t value) = 0;
    // Every complete or shared task is announced as a source again.
    virtual void AnnounceAllSources() = 0;
    // The announce URLs of the task's seed (empty while the seed is unknown).
    virtual std::vector<std::string> SeedTrackers(const core::TaskHash& hash) = 0;
};

// The engine's own facts the handler compares against.
struct TrackHandleEnv {
    std::function<uint32_t()> natType;
    std::function<uint32_t()> localAddr;   // network order
    std::function<uint16_t()> listenPort;  // host order
};

class CTrackHandle {
public:
    CTrackHandle(CTrackerList& list, CTrackerInterface& agent, ITrackTasks& tasks,
                 net::IPeerConnector& connector, net::IDatagramSender& sender, TrackHandleEnv env,
                 std::string engineTrackerUrl);

    // Dispatches one message (its length field already checked against its size).
    void Handle(std::span<const uint8_t> message);

    // Request senders: share and stop sharing queued normally, the source list as urgent.
    void SendShare(const core::TaskHash& hash);
    void SendStopShare(const core::TaskHash& hash);
    void SendSourceRequest(const core::TaskHash& hash);

    const std::string& EngineTrackerUrl() const { return m_url; }

private:
    void OnShareReply(const ShareReply& reply);
    void OnSourceList(const SourceListReply& reply);
    void OnRelayNotice(const RelayNotice& notice);
    bool IsOwnAddress(uint32_t addr, uint16_t port);

    CTrackerList& m_list;
    CTrackerInterface& m_agent;
    ITrackTasks& m_tasks;
    net::IPeerConnector& m_connector;
    net::IDatagramSender& m_sender;
    TrackHandleEnv m_env;
    std::string m_url;
};

}  // namespace tessali::sources
