#include "engine/sources/bt_tracker_client.h"

#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>

#include "engine/core/engine_env.h"
#include "engine/core/engine_log.h"
#include "engine/core/task_mgr.h"
#include "engine/core/tracker_url.h"
#include "engine/net/dns_cache.h"
#include "engine/net/net_engine.h"
#include "engine/platform/tick.h"

namespace tessali::sources {
namespace {

bool EngineResolve(const std::string& host, uint32_t& addr, bool& pending) {
    net::CDNSCache::Result r = net::DnsCache().Lookup(host, addr);
    pending = r == net::CDNSCache::kPending;
    return r == net::CDNSCache::kResolved;
}

}  // namespace

CBtTrackerClient::CBtTrackerClient(BtTrackerSettings settings, core::ITaskPeers* tasks)
    : m_settings(std::move(settings)), m_tasks(tasks), m_resolver(EngineResolve) {}

CBtTrackerClient::~CBtTrackerClient() {
    Stop();
    for (auto& [fd, ex] : m_exchanges) {
        ::close(fd);
    }
}

void CBtTrackerClient::SetSettings(const BtTrackerSettings& settings) {
    std::lock_guard lock(m_lock);
    m_settings = settings;
}

void CBtTrackerClient::Start() {
    if (m_thread.joinable()) {
        return;
    }
    m_running = true;
    m_thread = std::thread([this] { Worker(); });
}

void CBtTrackerClient::Stop() {
    m_running = false;
    m_exchangeAdded.Set();
    if (m_thread.joinable()) {
        m_thread.join();
    }
}

size_t CBtTrackerClient::OpenExchanges() {
    std::lock_guard lock(m_lock);
    // Exchanges the worker is handling right now are still open.
    return m_exchanges.size() + m_inHand;
}

int CBtTrackerClient::Announce(const core::TaskHash& hash, const std::string& url) {
    std::optional<core::TrackerUrlParts> parts = core::SplitTrackerUrl(url);
    if (!parts) {
        return kBtAnnounceFailed;
    }
    uint32_t addr = 0;
    bool pending = false;
    if (!m_resolver(parts->host, addr, pending)) {
        if (!pending) {
            return kBtAnnounceFailed;
        }
        // The cache resolves on its own thread: one more look after a short wait.
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        if (!m_resolver(parts->host, addr, pending)) {
            return pending ? kBtAnnouncePending : kBtAnnounceFailed;
        }
    }
    bool udp = url.find("udp:") != std::string::npos;
    int fd = ::socket(AF_INET, udp ? SOCK_DGRAM : SOCK_STREAM, 0);
    if (fd < 0) {
        return kBtAnnounceFailed;
    }
    fcntl(fd, F_SETFL, fcntl(fd, F_GETFL, 0) | O_NONBLOCK);
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_addr.s_addr = addr;
    sa.sin_port = htons(parts->port);
    if (::connect(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0 && errno != EINPROGRESS) {
        ::close(fd);
        return kBtAnnounceFailed;
    }
    Exchange ex;
    ex.fd = fd;
    ex.udp = udp;
    ex.hash = hash;
    ex.url = url;
    ex.trackerAddr = addr;
    ex.trackerPort = parts->port;
    ex.started = platform::GetTick();
    {
        std::lock_guard lock(m_lock);
        m_exchanges.emplace(fd, std::move(ex));
    }
    m_exchangeAdded.Set();
    return kBtAnnounceStarted;
}

void CBtTrackerClient::Dispatch(Exchange& ex, uint8_t id, std::span<const uint8_t> payload) {
    BtTrackerSettings settings;
    {
        std::lock_guard lock(m_lock);
        settings = m_settings;
    }
    // Unset facts are the engine's own, read now: the listening port is chosen after start-up.
    if (settings.listenPort == 0) {
        settings.listenPort = core::Host().listenPort;
    }
    if (settings.ownAddresses.empty() && core::Host().localAddress != 0) {
        settings.ownAddresses.push_back(core::Host().localAddress);
    }
    CBtTrackHandle handle(*this, settings, m_tasks != nullptr ? *m_tasks : core::TaskMgr());
    if (!handle.Handle(ex, id, payload)) {
        ex.connected = false;
        ::close(ex.fd);
        ex.fd = -1;
    }
}

bool CBtTrackerClient::OnReadable(Exchange& ex) {
    uint8_t buffer[4096];
    if (ex.udp) {
        while (ex.fd >= 0) {
            sockaddr_in from{};
            socklen_t fromLen = sizeof from;
            ssize_t n =
                ::recvfrom(ex.fd, buffer, sizeof buffer, 0, reinterpret_cast<sockaddr*>(&from), &fromLen);
            if (n < 0) {
                // EAGAIN: wait for the next datagram; anything else (refused port) ends the exchange.
                return errno == EAGAIN || errno == EWOULDBLOCK;
            }
            std::span<const uint8_t> d(buffer, static_cast<size_t>(n));
            // Only the tracker's answer to the request we sent last may lead us to peers.
            if (from.sin_addr.s_addr != ex.trackerAddr || from.sin_port != htons(ex.trackerPort) ||
                !ex.sentRequest || d.size() < 8 ||
                !std::equal(ex.transaction.begin(), ex.transaction.end(), d.begin() + 4)) {
                continue;
            }
            std::optional<uint32_t> action = UdpReplyAction(d);
            if (action == 0u) {
                Dispatch(ex, kMsgBtUdpConnected, d);
            } else if (action == 1u && d.size() >= kUdpAnnounceReplyHeader) {
                Dispatch(ex, kMsgBtPeers, d.subspan(kUdpAnnounceReplyHeader));
            }
            // Errors (action 3) and anything else are ignored; the exchange times out.
        }
        return ex.fd >= 0;
    }
    bool ended = false;
    while (true) {
        ssize_t n = ::recv(ex.fd, buffer, sizeof buffer, 0);
        if (n > 0) {
            size_t room = kMaxBtHttpReplyBytes + 1 - std::min(ex.received.size(), kMaxBtHttpReplyBytes + 1);
            ex.received.append(reinterpret_cast<char*>(buffer), std::min(static_cast<size_t>(n), room));
            continue;
        }
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            break;
        }
        if (n < 0 && errno == EINTR) {
            continue;
        }
        ended = true;
        break;
    }
    BtHttpReply reply = FrameBtHttpReply(ex.received, ended);
    if (reply.verdict == BtHttpReply::kPeers) {
        Dispatch(ex, kMsgBtPeers, reply.peers);
        return false;
    }
    if (reply.verdict == BtHttpReply::kRefused) {
        core::EngineLog(core::kLogDebug, "bt tracker %s refused the announce\n", ex.url.c_str());
        return false;
    }
    return !ended;
}

void CBtTrackerClient::CloseExchange(int fd) {
    if (fd >= 0) {
        ::close(fd);
    }
}

void CBtTrackerClient::Worker() {
    std::vector<pollfd> fds;
    while (m_running) {
        fds.clear();
        std::vector<int> fresh;  // UDP sockets whose "open" message is still due
        uint32_t now = platform::GetTick();
        {
            std::lock_guard lock(m_lock);
            for (auto it = m_exchanges.begin(); it != m_exchanges.end();) {
                if (platform::TickElapsed(now, it->second.started) >= kBtExchangeTimeoutMs) {
                    core::EngineLog(core::kLogDebug, "bt tracker %s timed out\n", it->second.url.c_str());
                    ::close(it->first);
                    it = m_exchanges.erase(it);
                    continue;
                }
                if (it->second.udp && !it->second.connected) {
                    fresh.push_back(it->first);
                }
                short events = it->second.udp || it->second.connected ? POLLIN : POLLOUT;
                fds.push_back({it->first, events, 0});
                ++it;
            }
        }
        auto take = [this](int fd, Exchange& out) {
            std::lock_guard lock(m_lock);
            auto it = m_exchanges.find(fd);
            if (it == m_exchanges.end()) {
                return false;
            }
            out = std::move(it->second);
            m_exchanges.erase(it);
            ++m_inHand;
            return true;
        };
        auto putBack = [this](Exchange&& ex) {
            std::lock_guard lock(m_lock);
            int fd = ex.fd;
            m_exchanges.emplace(fd, std::move(ex));
            --m_inHand;
        };
        auto drop = [this] {
            std::lock_guard lock(m_lock);
            --m_inHand;
        };
        for (int fd : fresh) {
            Exchange ex;
            if (take(fd, ex)) {
                ex.connected = true;
                const uint8_t zero = 0;
                Dispatch(ex, kMsgBtUdpOpen, std::span<const uint8_t>(&zero, 1));
                if (ex.fd >= 0) {
                    putBack(std::move(ex));
                } else {
                    drop();
                }
            }
        }
        if (fds.empty()) {
            // Nothing open: asleep until an announce starts an exchange.
            m_exchangeAdded.Wait(100);
            continue;
        }
        if (::poll(fds.data(), fds.size(), 25) <= 0) {
            continue;
        }
        for (const pollfd& p : fds) {
            if (p.revents == 0) {
                continue;
            }
            Exchange ex;
            if (!take(p.fd, ex)) {
                continue;
            }
            bool keep = true;
            if (!ex.udp && !ex.connected) {
                int err = 0;
                socklen_t len = sizeof err;
                getsockopt(ex.fd, SOL_SOCKET, SO_ERROR, &err, &len);
                if (err != 0 || (p.revents & (POLLERR | POLLHUP)) != 0) {
                    keep = false;
                } else {
                    ex.connected = true;
                    const uint8_t zero = 0;
                    Dispatch(ex, kMsgBtHttpConnected, std::span<const uint8_t>(&zero, 1));
                    keep = ex.fd >= 0;
                }
            } else {
                keep = OnReadable(ex) && ex.fd >= 0;
            }
            if (keep) {
                putBack(std::move(ex));
            } else {
                CloseExchange(ex.fd);
                drop();
            }
        }
    }
}

bool CBtTrackHandle::Handle(CBtTrackerClient::Exchange& ex, uint8_t id, std::span<const uint8_t> payload) {
    uint32_t tick = platform::GetTick();
    switch (id) {
        case kMsgBtHttpConnected: {
            BtAnnounceRecord record;
            std::copy(ex.hash.bytes.begin(), ex.hash.bytes.end(), record.infoHash.begin());
            record.peerId = m_settings.peerId;
            record.path = BtAnnouncePath(ex.url);
            std::string request = BuildBtHttpAnnounce(record, m_settings.listenPort, ex.trackerAddr);
            return ::send(ex.fd, request.data(), request.size(), MSG_NOSIGNAL) ==
                   static_cast<ssize_t>(request.size());
        }
        case kMsgBtUdpOpen: {
            auto connect = BuildUdpConnect(tick);
            std::copy_n(connect.begin() + 12, 4, ex.transaction.begin());
            ex.sentRequest = true;
            return ::send(ex.fd, connect.data(), connect.size(), 0) == static_cast<ssize_t>(connect.size());
        }
        case kMsgBtUdpConnected: {
            auto announce =
                BuildUdpAnnounce(payload, tick, ex.hash.Span(), m_settings.peerId, m_settings.listenPort);
            if (!announce) {
                return true;  // a short datagram: wait for another
            }
            std::copy_n(announce->begin() + 12, 4, ex.transaction.begin());
            return ::send(ex.fd, announce->data(), announce->size(), 0) ==
                   static_cast<ssize_t>(announce->size());
        }
        case kMsgBtPeers: {
            ConnectPeers(ex.hash, payload, m_settings, m_tasks);
            if (m_client.m_answered) {
                m_client.m_answered(ex.hash, ex.url);
            }
            return false;  // the exchange is over: its connection closes
        }
        default:
            return true;
    }
}

size_t CBtTrackHandle::ConnectPeers(const core::TaskHash& hash, std::span<const uint8_t> compact,
                                    const BtTrackerSettings& settings, core::ITaskPeers& tasks) {
    std::vector<BtPeerEntry> entries = SplitCompactPeers(compact);
    if (entries.size() > kMaxPeersPerReply) {
        entries.resize(kMaxPeersPerReply);
    }
    std::set<std::pair<uint32_t, uint16_t>> seen;
    size_t asked = 0;
    uint16_t ownPort = htons(settings.listenPort);
    for (const BtPeerEntry& e : entries) {
        bool self = e.port == ownPort && std::find(settings.ownAddresses.begin(), settings.ownAddresses.end(),
                                                   e.addr) != settings.ownAddresses.end();
        if (self || !seen.insert({e.addr, e.port}).second || tasks.HasPeerAt(hash, e.addr, e.port)) {
            continue;
        }
        core::EngineLog(core::kLogDebug, "bt __ %s %d\n", core::AddressText(e.addr).c_str(), ntohs(e.port));
        net::SourcePeer peer;
        peer.addr = e.addr;
        peer.port = e.port;
        peer.natType = 0;
        peer.versionType = 1;
        peer.bitTorrent = true;
        if (net::ConnectToSource(hash, peer)) {
            ++asked;
        }
    }
    return asked;
}

namespace {
std::mutex g_clientLock;
CBtTrackerClient* g_client = nullptr;
}  // namespace

CBtTrackerClient& BtTrackerClient() {
    std::lock_guard lock(g_clientLock);
    if (g_client == nullptr) {
        g_client = new CBtTrackerClient(BtTrackerSettings{});
    }
    return *g_client;
}

void DestroyBtTrackerClient() {
    std::lock_guard lock(g_clientLock);
    delete g_client;
    g_client = nullptr;
}

}  // namespace tessali::sources
