// CTrackerAgent: the engine's tracker agent. It owns the peer id, the UDP socket shared by the
// tracker protocol and reliable UDP, the request queue with its retransmissions, the login and
// keep-alive, and the fallback relay over TCP through an agent server. Two threads: the UDP thread
// (receive, retransmit, keep-alive) and the agent thread (the relay). Replies other than login and
// keep-alive are queued for the tracker thread. State shared by the threads is under m_stateLock
// or atomic; the queue and the received FIFO have their own locks.
#pragma once

#include <atomic>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "engine/net/datagram_sender.h"
#include "engine/net/tracker_relay.h"
#include "engine/net/tudp_interface.h"
#include "engine/platform/event.h"
#include "engine/sources/agent_list.h"
#include "engine/sources/tracker_interface.h"
#include "engine/sources/tracker_messages.h"
#include "engine/sources/tracker_request_queue.h"

namespace tessali::sources {

constexpr uint32_t kKeepAliveAfterMs = 40000;
constexpr uint32_t kTrackerSilenceMs = 120000;
constexpr uint32_t kAgentConnectMs = 8000;
constexpr size_t kUdpSocketBufferBytes = 1048576;
constexpr size_t kTrackerReceiveBytes = 1500;
// Received messages wait here for the tracker thread; beyond this many the oldest is dropped.
constexpr size_t kMaxReceivedMessages = 1024;

// The engine's facts a login carries, read when the login goes out.
struct LoginFacts {
    uint32_t localAddr = 0;   // network order
    uint16_t listenPort = 0;  // host order
    uint32_t natType = 6;
};

struct TrackerAgentSettings {
    std::string rootFolder;    // holds "MirtCfg.ini" and "Agent.ini"; with a trailing '/'
    std::string trackerName;   // resolved at start and after a silence
    uint32_t trackerAddr = 0;  // network order: used while the name does not resolve
    uint16_t trackerPort = 80;
    std::string updateHost;  // "host[:port]" serving the agent list
    std::string agentHost;   // default agent "host[:port]"
    uint32_t agentAddr = 0;  // its address when the name does not resolve
    uint16_t bindPort = 0;   // the listening port the UDP socket should take (0: any)
    uint32_t bindAddr = 0;   // network order; 0 = every interface
    std::function<LoginFacts()> facts;
    // A new NAT detection after a login (the type it finds); unset keeps the current type.
    std::function<uint32_t()> redetectNat;
    // Detects the local address again before a re-login; may be unset.
    std::function<void()> refreshLocalAddress;
    // High-resolution counter for new peer ids; unset uses the clock.
    std::function<uint64_t()> counter;
    // Host name to IPv4 (network order), 0 on failure; unset uses getaddrinfo.
    std::function<uint32_t(const std::string&)> resolve;
    net::CTudpInterface* rudp = nullptr;  // gets the reliable-UDP datagrams; may be null
};

class CTrackerAgent : public CTrackerInterface {
public:
    explicit CTrackerAgent(TrackerAgentSettings settings);
    ~CTrackerAgent() override;
    CTrackerAgent(const CTrackerAgent&) = delete;
    CTrackerAgent& operator=(const CTrackerAgent&) = delete;

    // CTrackerInterface
    bool Start() override;
    void Stop() override;
    void QueueMessage(std::vector<uint8_t> message, bool urgent) override;
    bool TakeReceived(std::span<uint8_t> buffer, size_t& length) override;
    bool WaitReceived(uint32_t timeoutMs) override;
    void Login() override;
    uint32_t OwnExternalAddress() override { return m_externalAddr.load(); }
    uint32_t TrackerServerAddress() override;
    uint16_t TrackerServerPort() override;
    bool LoggedIn() override { return m_loggedIn.load(); }
    bool NatType6() override { return m_natType6.load(); }
    core::PeerId OwnPeerId() override;
    int UdpSocket() override { return m_fd.load(); }
    bool ConnectThroughNat(uint32_t addr, uint16_t port, uint32_t remoteNatType,
                           const core::PeerId& remotePeerId, std::span<const uint8_t, 20> infoHash) override;

    // What the reliable-UDP manager needs of the agent to reach peers behind NAT.
    net::ITrackerRelay& Relay() { return m_relay; }
    // The port (host order) the UDP socket is bound to; 0 before Start.
    uint16_t BoundPort() const { return m_boundPort.load(); }
    // Moves the UDP socket to `port` (host order), the listening port chosen after start: peers
    // and the tracker must reach us where the logins say. False (the socket stays where it
    // was) when the port cannot be bound. The old socket is closed by the UDP thread.
    bool MoveUdpSocket(uint16_t port);
    // The agent relay server the agent thread uses, once its list was read.
    std::optional<AgentAddress> CurrentAgent();
    bool RelayConnected() const { return m_relayConnected.load(); }
    CTrackerRequestQueue& Queue() { return m_queue; }
    // Handles one tracker message as if it had arrived over the relay (`viaAgent`) or from the
    // tracker's own address. A reply counts only when it answers a request awaiting one; a notice
    // (786) needs no request. Anything else is dropped. True when it was accepted.
    bool HandleIncoming(std::span<const uint8_t> message, bool viaAgent);
    // One datagram received on the UDP socket from `addr`:`port` (network order): tracker
    // messages count only from the tracker's address and port, reliable-UDP packets go to the
    // connection manager. True when a tracker message was accepted.
    bool HandleDatagram(std::span<const uint8_t> datagram, uint32_t addr, uint16_t port);
    // Tracker messages dropped so far: from another sender, or answering no request.
    uint64_t DroppedMessages() const { return m_dropped.load(); }

private:
    class CRelay : public net::ITrackerRelay {
    public:
        explicit CRelay(CTrackerAgent& agent) : m_agent(agent) {}
        bool LoggedIn() override { return m_agent.LoggedIn(); }
        int AgentSocket() override { return m_agent.UdpSocket(); }
        std::array<uint8_t, 20> OwnPeerId() override { return m_agent.OwnPeerId().bytes; }
        void SendRelayRequest(int sock, std::span<const uint8_t> request) override;

    private:
        CTrackerAgent& m_agent;
    };

    bool OpenSocket();
    // A UDP socket with the agent's buffer sizes bound to `port` (host order), or -1.
    int BindUdp(uint16_t port);
    void UdpLoop();
    void AgentLoop();
    void HandleLoginReply(const LoginReply& reply, bool viaAgent);
    void PassOn(std::span<const uint8_t> message);
    void SendToTracker(std::vector<uint8_t> bytes);
    // A login's address, port and NAT type as they are now.
    void RefreshLogin(std::vector<uint8_t>& bytes);
    void LoadPeerId();
    void NewPeerId();
    void StorePeerId();
    uint32_t Resolve(const std::string& name);
    void ResolveTracker();
    // The agent list: the last agent used, else the downloaded list, else the default agent.
    void ChooseAgent();
    bool ConnectRelay(const AgentAddress& agent);
    void CloseRelay();
    bool SendRelay(std::span<const uint8_t> bytes);
    void PumpRelay();
    platform::Tick LastReply() const { return m_lastReply.load(); }
    // Counts a dropped message and logs the count now and then (a flood must not fill the log).
    void Drop(std::span<const uint8_t> message, uint32_t addr, uint16_t port, const char* why);

    TrackerAgentSettings m_settings;
    CRelay m_relay{*this};
    CTrackerRequestQueue m_queue;
    net::CSocketSender m_sender;

    std::atomic<int> m_fd{-1};
    std::atomic<int> m_retiredFd{-1};  // replaced by MoveUdpSocket; the UDP thread closes it
    std::atomic<uint16_t> m_boundPort{0};
    std::atomic<bool> m_started{false};
    std::atomic<bool> m_running{false};
    std::atomic<bool> m_loggedIn{false};
    std::atomic<bool> m_natType6{false};
    std::atomic<uint32_t> m_externalAddr{0};
    std::atomic<platform::Tick> m_lastReply{0};
    // What the last login sent said.
    std::atomic<uint16_t> m_loginPort{0};
    std::atomic<uint32_t> m_loginNat{0};
    std::atomic<uint64_t> m_dropped{0};
    std::atomic<platform::Tick> m_lastDropLog{0};
    std::atomic<bool> m_dropLogged{false};

    mutable std::mutex m_stateLock;
    core::PeerId m_peerId;                // under m_stateLock
    uint32_t m_trackerAddr = 0;           // under m_stateLock
    uint16_t m_trackerPort = 80;          // under m_stateLock
    std::vector<AgentAddress> m_agents;   // under m_stateLock
    size_t m_agentIndex = 0;              // under m_stateLock
    std::optional<AgentAddress> m_agent;  // under m_stateLock

    // Agent thread only.
    int m_relayFd = -1;
    CTrackerStreamReader m_reader;
    std::atomic<bool> m_relayConnected{false};

    std::mutex m_receivedLock;
    std::deque<std::vector<uint8_t>> m_received;
    platform::Event m_receivedEvent{platform::Event::Reset::kAuto};
    platform::WakeFd m_wake;

    std::thread m_udpThread;
    std::thread m_agentThread;
};

}  // namespace tessali::sources
