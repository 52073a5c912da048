// CBtTrackerClient: announces tasks to BitTorrent trackers over HTTP or UDP (BEP 15) and hands the
// peers they list to the peer connector. One exchange per announce, from the connection it opens
// to the peer list that closes it; replies become the synthetic messages 20-23, handled by
// CBtTrackHandle as they would be on the peer thread. The exchanges run on the client's own worker
// thread; Announce is safe from any thread.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <set>
#include <span>
#include <string>
#include <thread>
#include <vector>

#include "engine/core/task_hash.h"
#include "engine/core/task_peers.h"
#include "engine/net/peer_connector.h"
#include "engine/platform/event.h"
#include "engine/sources/bt_tracker_wire.h"

namespace tessali::sources {

// Synthetic message ids of tracker exchanges.
constexpr uint8_t kMsgBtPeers = 20;          // payload: compact peer entries
constexpr uint8_t kMsgBtHttpConnected = 21;  // payload: one zero byte
constexpr uint8_t kMsgBtUdpOpen = 22;        // payload: one zero byte
constexpr uint8_t kMsgBtUdpConnected = 23;   // payload: the connect reply datagram

// The id BitTorrent peers are added with until their handshake tells theirs.
constexpr char kBtPeerIdText[] = "-BT0000-000000000001";
// An exchange that has not answered by then is abandoned (the announce pass retries it).
constexpr uint32_t kBtExchangeTimeoutMs = 30000;

struct BtTrackerSettings {
    std::array<uint8_t, 20> peerId{};
    uint16_t listenPort = 0;  // host order; 0: the engine's listening port at each announce
    // Our own addresses (network order): entries at one of them with our listening port are us.
    // Empty: the engine's local address.
    std::vector<uint32_t> ownAddresses;
};

// Results of Announce.
constexpr int kBtAnnounceStarted = 0;
constexpr int kBtAnnouncePending = 1;  // the host name is still being resolved: ask again later
constexpr int kBtAnnounceFailed = -1;

class CBtTrackerClient {
public:
    using Resolver = std::function<bool(const std::string& host, uint32_t& addrNet, bool& pending)>;
    using AnsweredFn = std::function<void(const core::TaskHash& hash, const std::string& url)>;

    // `tasks` (nullptr: the engine's task manager) says which peers a task already has.
    explicit CBtTrackerClient(BtTrackerSettings settings, core::ITaskPeers* tasks = nullptr);
    ~CBtTrackerClient();
    CBtTrackerClient(const CBtTrackerClient&) = delete;
    CBtTrackerClient& operator=(const CBtTrackerClient&) = delete;

    void Start();
    void Stop();
    // Name resolution (default: the engine's host-name cache) and the tracker list's "answered"
    // mark; set both before Start.
    void SetResolver(Resolver resolver) { m_resolver = std::move(resolver); }
    void SetAnsweredCallback(AnsweredFn answered) { m_answered = std::move(answered); }
    void SetSettings(const BtTrackerSettings& settings);

    // Opens an exchange with the tracker at `url` ("udp:" in it: a UDP tracker) for task `hash`.
    int Announce(const core::TaskHash& hash, const std::string& url);
    size_t OpenExchanges();

private:
    friend class CBtTrackHandle;
    struct Exchange {
        int fd = -1;
        bool udp = false;
        bool connected = false;  // TCP: the connect finished; UDP: the socket is open
        core::TaskHash hash;
        std::string url;
        uint32_t trackerAddr = 0;  // network order
        uint16_t trackerPort = 0;  // host order
        uint32_t started = 0;      // tick
        // UDP: the transaction id of the last request sent, as on the wire; a reply must carry it.
        std::array<uint8_t, 4> transaction{};
        bool sentRequest = false;
        std::string received;  // HTTP reply so far (bounded)
    };

    void Worker();
    // Reads what arrived; false when the exchange ends (closed or refused).
    bool OnReadable(Exchange& ex);
    void CloseExchange(int fd);
    void Dispatch(Exchange& ex, uint8_t id, std::span<const uint8_t> payload);

    BtTrackerSettings m_settings;
    core::ITaskPeers* m_tasks;
    Resolver m_resolver;
    AnsweredFn m_answered;
    std::mutex m_lock;  // guards m_exchanges and m_settings
    std::map<int, Exchange> m_exchanges;
    platform::Event m_exchangeAdded;  // wakes an idle worker (and Stop)
    size_t m_inHand = 0;  // exchanges the worker has taken out of m_exchanges to handle; guarded
    std::atomic<bool> m_running{false};
    std::thread m_thread;
};

// The handler of the synthetic tracker messages of one exchange.
class CBtTrackHandle {
public:
    CBtTrackHandle(CBtTrackerClient& client, const BtTrackerSettings& settings, core::ITaskPeers& tasks)
        : m_client(client), m_settings(settings), m_tasks(tasks) {}
    // Returns false when the exchange is over (peers handled, or nothing more can come).
    bool Handle(CBtTrackerClient::Exchange& ex, uint8_t id, std::span<const uint8_t> payload);
    // The peer-list step alone: connects every new entry once; the number of connections asked for.
    static size_t ConnectPeers(const core::TaskHash& hash, std::span<const uint8_t> compact,
                               const BtTrackerSettings& settings, core::ITaskPeers& tasks);

private:
    CBtTrackerClient& m_client;
    const BtTrackerSettings& m_settings;
    core::ITaskPeers& m_tasks;
};

// The engine's client, created on first use; DestroyBtTrackerClient ends it (engine shut-down).
// Whoever owns the tracker list sets its settings (own peer id, listening port, own addresses)
// and its answered callback before the first announce.
CBtTrackerClient& BtTrackerClient();
void DestroyBtTrackerClient();

}  // namespace tessali::sources
