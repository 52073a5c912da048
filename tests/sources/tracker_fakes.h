// Fakes for the tracker side's seams: an agent that records what is queued, a task manager view
// and a datagram sender that records its calls (the peer connector is the shared recording one).
#pragma once

#include <atomic>
#include <functional>
#include <map>
#include <mutex>
#include <set>
#include <vector>

#include "common/fakes/recording_connector.h"
#include "engine/net/datagram_sender.h"
#include "engine/net/peer_connector.h"
#include "engine/sources/track_handle.h"
#include "engine/sources/tracker_interface.h"
#include "engine/sources/tracker_messages.h"

namespace tessali::test {

class FakeTrackerAgent : public sources::CTrackerInterface {
public:
    struct Queued {
        std::vector<uint8_t> bytes;
        bool urgent;
    };
    bool Start() override { return true; }
    void Stop() override {}
    void QueueMessage(std::vector<uint8_t> message, bool urgent) override {
        queued.push_back({std::move(message), urgent});
    }
    bool TakeReceived(std::span<uint8_t>, size_t&) override { return false; }
    bool WaitReceived(uint32_t) override { return false; }
    void Login() override {}
    uint32_t OwnExternalAddress() override { return externalAddr; }
    uint32_t TrackerServerAddress() override { return 0; }
    uint16_t TrackerServerPort() override { return 0; }
    bool LoggedIn() override { return true; }
    bool NatType6() override { return false; }
    core::PeerId OwnPeerId() override { return {}; }
    int UdpSocket() override { return -1; }
    bool ConnectThroughNat(uint32_t, uint16_t, uint32_t, const core::PeerId&,
                           std::span<const uint8_t, 20>) override {
        return false;
    }

    std::vector<uint16_t> QueuedCommands() const {
        std::vector<uint16_t> out;
        for (const Queued& q : queued) {
            out.push_back(sources::PeekHeader(q.bytes)->command);
        }
        return out;
    }

    uint32_t externalAddr = 0;
    std::vector<Queued> queued;
};

class FakeTrackTasks : public sources::ITrackTasks {
public:
    struct Task {
        bool wantsPeers = true;
        int runState = 1;
        std::set<core::PeerId> peers;
        uint8_t shared = 0;
        std::vector<std::string> seedTrackers;
    };
    bool WantsPeers(const core::TaskHash& h) override {
        std::lock_guard lock(m_lock);
        auto it = tasks.find(h);
        return it != tasks.end() && it->second.wantsPeers;
    }
    bool IsDownloading(const core::TaskHash& h) override {
        std::lock_guard lock(m_lock);
        auto it = tasks.find(h);
        return it != tasks.end() && it->second.wantsPeers && it->second.runState == 1;
    }
    bool HasPeerWithId(const core::TaskHash& h, const core::PeerId& id) override {
        std::lock_guard lock(m_lock);
        auto it = tasks.find(h);
        return it != tasks.end() && it->second.peers.contains(id);
    }
    void SetSharedFlag(const core::TaskHash& h, uint8_t v) override {
        std::lock_guard lock(m_lock);
        tasks[h].shared = v;
    }
    uint8_t Shared(const core::TaskHash& h) {
        std::lock_guard lock(m_lock);
        return tasks[h].shared;
    }
    std::vector<std::string> SeedTrackers(const core::TaskHash& h) override {
        std::lock_guard lock(m_lock);
        auto it = tasks.find(h);
        return it != tasks.end() ? it->second.seedTrackers : std::vector<std::string>{};
    }
    void AnnounceAllSources() override {
        ++announceAll;
        if (onAnnounceAll) {
            onAnnounceAll();
        }
    }

    // Tests that share the fake with other threads change `tasks` only before those start.
    std::map<core::TaskHash, Task> tasks;
    std::atomic<int> announceAll{0};
    std::function<void()> onAnnounceAll;

private:
    std::mutex m_lock;
};

class RecordingSender : public net::IDatagramSender {
public:
    struct Sent {
        int sock;
        uint32_t addr;
        uint16_t port;
        std::vector<uint8_t> bytes;
    };
    int SendTo(int sock, uint32_t addr, uint16_t port, std::span<const uint8_t> bytes) override {
        sent.push_back({sock, addr, port, {bytes.begin(), bytes.end()}});
        return static_cast<int>(bytes.size());
    }
    std::vector<Sent> sent;
};

}  // namespace tessali::test
