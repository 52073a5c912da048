#include "engine/sources/tracker_agent.h"

#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <random>

#include "engine/core/engine_log.h"
#include "engine/net/dns_cache.h"
#include "engine/platform/deploy_config.h"
#include "engine/platform/ini_file.h"
#include "engine/platform/thread.h"
#include "engine/sources/agent_list_download.h"

namespace tessali::sources {

using core::EngineLog;
using core::kLogDebug;
using core::kLogFail;
using core::kLogPlain;
using platform::GetTick;
using platform::Tick;
using platform::TickBefore;
using platform::TickElapsed;

namespace {

constexpr int kUdpWaitMs = 200;
constexpr int kRelayPauseMs = 100;
constexpr int kLogoutSends = 3;
constexpr uint32_t kLogoutGapMs = 30;
constexpr uint32_t kDropLogEveryMs = 10000;

uint64_t ClockCounter() {
    using namespace std::chrono;
    uint64_t ns =
        static_cast<uint64_t>(duration_cast<nanoseconds>(steady_clock::now().time_since_epoch()).count());
    // Two engines started in the same instant still differ by process.
    return ns ^ (static_cast<uint64_t>(getpid()) << 32);
}

sockaddr_in SockAddr(uint32_t addr, uint16_t portHost) {
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_addr.s_addr = addr;
    sa.sin_port = htons(portHost);
    return sa;
}

}  // namespace

CTrackerAgent::CTrackerAgent(TrackerAgentSettings settings) : m_settings(std::move(settings)) {
    m_trackerAddr = m_settings.trackerAddr;
    m_trackerPort = m_settings.trackerPort;
    if (!m_settings.counter) {
        m_settings.counter = ClockCounter;
    }
    if (!m_settings.resolve) {
        m_settings.resolve = [](const std::string& name) {
            uint32_t a = net::CDNSCache::ResolveWithSystem(name);
            return a == net::kDnsFailed ? 0u : a;
        };
    }
    if (!m_settings.facts) {
        m_settings.facts = [] { return LoginFacts{}; };
    }
}

CTrackerAgent::~CTrackerAgent() {
    Stop();
}

uint32_t CTrackerAgent::Resolve(const std::string& name) {
    return name.empty() ? 0 : m_settings.resolve(name);
}

void CTrackerAgent::ResolveTracker() {
    uint32_t addr = Resolve(m_settings.trackerName);
    std::lock_guard lock(m_stateLock);
    // An unreachable name keeps the address we had (or the configured fallback).
    if (addr != 0) {
        m_trackerAddr = addr;
    }
}

uint32_t CTrackerAgent::TrackerServerAddress() {
    std::lock_guard lock(m_stateLock);
    return m_trackerAddr;
}

uint16_t CTrackerAgent::TrackerServerPort() {
    std::lock_guard lock(m_stateLock);
    return m_trackerPort;
}

core::PeerId CTrackerAgent::OwnPeerId() {
    std::lock_guard lock(m_stateLock);
    return m_peerId;
}

std::optional<AgentAddress> CTrackerAgent::CurrentAgent() {
    std::lock_guard lock(m_stateLock);
    return m_agent;
}

int CTrackerAgent::BindUdp(uint16_t port) {
    int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        return -1;
    }
    int size = static_cast<int>(kUdpSocketBufferBytes);
    setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &size, sizeof size);
    setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &size, sizeof size);
    sockaddr_in sa = SockAddr(m_settings.bindAddr, port);
    if (bind(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

bool CTrackerAgent::OpenSocket() {
    int fd = m_settings.bindPort != 0 ? BindUdp(m_settings.bindPort) : -1;
    std::mt19937 random(static_cast<uint32_t>(m_settings.counter()));
    for (int i = 0; fd < 0 && i < 64; ++i) {
        fd = BindUdp(static_cast<uint16_t>(4096 + random() % 4096));
    }
    if (fd < 0) {
        return false;
    }
    sockaddr_in sa{};
    socklen_t len = sizeof sa;
    getsockname(fd, reinterpret_cast<sockaddr*>(&sa), &len);
    m_boundPort = ntohs(sa.sin_port);
    m_fd = fd;
    return true;
}

bool CTrackerAgent::MoveUdpSocket(uint16_t port) {
    if (port == 0 || !m_running.load()) {
        return false;
    }
    if (port == m_boundPort.load()) {
        return true;
    }
    int fd = BindUdp(port);
    if (fd < 0) {
        return false;
    }
    int old = m_fd.exchange(fd);
    m_boundPort = port;
    // The UDP thread may be waiting on the old socket: it closes it once it has let go.
    if (int earlier = m_retiredFd.exchange(old); earlier >= 0) {
        close(earlier);
    }
    m_wake.Signal();
    EngineLog(kLogDebug, "tracker socket moved to port %u\n", static_cast<unsigned>(port));
    return true;
}

void CTrackerAgent::LoadPeerId() {
    platform::CIniFile ini(m_settings.rootFolder + core::kPeerIdIniFile);
    std::optional<core::PeerId> stored =
        core::PeerId::FromText(ini.GetString(core::kPeerIdIniSection, core::kPeerIdIniKey));
    std::lock_guard lock(m_stateLock);
    if (stored && stored->IsWellFormed()) {
        m_peerId = core::WithVersion(*stored, core::kEngineVersion);
    } else {
        m_peerId = core::GeneratePeerId(core::kEngineVersion, m_settings.counter());
    }
}

void CTrackerAgent::NewPeerId() {
    core::PeerId id = core::GeneratePeerId(core::kEngineVersion, m_settings.counter());
    {
        std::lock_guard lock(m_stateLock);
        // The counter may not have moved since the refused id was made.
        if (id == m_peerId) {
            id = core::GeneratePeerId(core::kEngineVersion, m_settings.counter() + 1);
        }
        m_peerId = id;
    }
    m_queue.SetPeerId(id);
}

void CTrackerAgent::StorePeerId() {
    platform::CIniFile ini(m_settings.rootFolder + core::kPeerIdIniFile);
    core::PeerId id = OwnPeerId();
    ini.WriteString(core::kPeerIdIniSection, core::kPeerIdIniKey, id.Text());
}

bool CTrackerAgent::Start() {
    if (m_started.exchange(true)) {
        return true;
    }
    LoginFacts facts = m_settings.facts();
    if (facts.localAddr == 0) {
        m_started = false;
        return false;
    }
    m_running = true;
    m_natType6 = facts.natType == 6;
    ResolveTracker();
    if (!OpenSocket()) {
        m_running = false;
        m_started = false;
        return false;
    }
    m_lastReply = GetTick();
    LoadPeerId();
    Login();
    m_udpThread = std::thread([this] { UdpLoop(); });
    m_agentThread = std::thread([this] { AgentLoop(); });
    return true;
}

void CTrackerAgent::Stop() {
    if (!m_started.load() || !m_running.load()) {
        return;
    }
    bool wasLoggedIn = m_loggedIn.exchange(false);
    if (wasLoggedIn) {
        std::vector<uint8_t> logout = Encode(LogoutRequest{0, OwnPeerId()});
        for (int i = 0; i < kLogoutSends; ++i) {
            if (i > 0) {
                platform::SleepMs(kLogoutGapMs);
            }
            SendToTracker(logout);
        }
    }
    m_running = false;
    m_wake.Signal();
    if (m_udpThread.joinable()) {
        m_udpThread.join();
    }
    if (m_agentThread.joinable()) {
        m_agentThread.join();
    }
    for (std::atomic<int>* slot : {&m_fd, &m_retiredFd}) {
        if (int fd = slot->exchange(-1); fd >= 0) {
            close(fd);
        }
    }
    m_receivedEvent.Set();
}

void CTrackerAgent::QueueMessage(std::vector<uint8_t> message, bool urgent) {
    if (message.size() < kTrackerHeaderBytes || message.size() > kMaxTrackerMessageBytes) {
        return;
    }
    m_queue.Queue(std::move(message), urgent, OwnPeerId(), GetTick());
    m_wake.Signal();
}

void CTrackerAgent::Login() {
    // One login at a time: a second would only be answered twice.
    for (uint16_t c : m_queue.AwaitingCommands()) {
        if (c == kCmdLogin) {
            m_wake.Signal();
            return;
        }
    }
    LoginFacts f = m_settings.facts();
    LoginRequest login{0, OwnPeerId(), f.localAddr, htons(f.listenPort), static_cast<uint8_t>(f.natType)};
    QueueMessage(Encode(login), true);
}

void CTrackerAgent::RefreshLogin(std::vector<uint8_t>& bytes) {
    LoginRequest login;
    if (!Decode(bytes, login)) {
        return;
    }
    // The listening port is chosen after the agent starts and the NAT type may be detected
    // again: the login says what holds when it goes out.
    LoginFacts f = m_settings.facts();
    login.localAddr = f.localAddr;
    login.listenPort = htons(f.listenPort);
    login.natType = static_cast<uint8_t>(f.natType);
    bytes = Encode(login);
    m_loginPort = f.listenPort;
    m_loginNat = f.natType;
}

void CTrackerAgent::SendToTracker(std::vector<uint8_t> bytes) {
    int fd = m_fd.load();
    if (fd < 0) {
        return;
    }
    std::optional<TrackerHeader> h = PeekHeader(bytes);
    if (h && h->command == kCmdLogin) {
        RefreshLogin(bytes);
    }
    uint32_t addr;
    uint16_t port;
    {
        std::lock_guard lock(m_stateLock);
        addr = m_trackerAddr;
        port = m_trackerPort;
    }
    m_sender.SendTo(fd, addr, htons(port), bytes);
}

bool CTrackerAgent::TakeReceived(std::span<uint8_t> buffer, size_t& length) {
    std::lock_guard lock(m_receivedLock);
    if (m_received.empty() || m_received.front().size() > buffer.size()) {
        return false;
    }
    std::vector<uint8_t>& m = m_received.front();
    std::memcpy(buffer.data(), m.data(), m.size());
    length = m.size();
    m_received.pop_front();
    return true;
}

bool CTrackerAgent::WaitReceived(uint32_t timeoutMs) {
    {
        std::lock_guard lock(m_receivedLock);
        if (!m_received.empty()) {
            return true;
        }
    }
    return m_receivedEvent.Wait(timeoutMs);
}

void CTrackerAgent::PassOn(std::span<const uint8_t> message) {
    {
        std::lock_guard lock(m_receivedLock);
        if (m_received.size() >= kMaxReceivedMessages) {
            m_received.pop_front();
        }
        m_received.emplace_back(message.begin(), message.end());
    }
    m_receivedEvent.Set();
}

void CTrackerAgent::Drop(std::span<const uint8_t> message, uint32_t addr, uint16_t port, const char* why) {
    uint64_t count = ++m_dropped;
    Tick now = GetTick();
    Tick last = m_lastDropLog.load();
    if (m_dropLogged.load() && TickElapsed(now, last) < kDropLogEveryMs) {
        return;
    }
    if (!m_lastDropLog.compare_exchange_strong(last, now)) {
        return;
    }
    m_dropLogged = true;
    std::optional<TrackerHeader> h = PeekHeader(message);
    std::string from =
        addr != 0 ? AddrText(addr) + ":" + std::to_string(ntohs(port)) : std::string("the tracker");
    EngineLog(kLogFail, "tracker message %u from %s dropped: %s (%llu dropped so far)\n",
              h ? static_cast<unsigned>(h->command) : 0u, from.c_str(), why,
              static_cast<unsigned long long>(count));
}

bool CTrackerAgent::HandleDatagram(std::span<const uint8_t> d, uint32_t addr, uint16_t port) {
    switch (ClassifyDatagram(d)) {
        case DatagramKind::kTracker: {
            uint32_t trackerAddr;
            uint16_t trackerPort;
            {
                std::lock_guard lock(m_stateLock);
                trackerAddr = m_trackerAddr;
                trackerPort = m_trackerPort;
            }
            // Anyone can send us a datagram; only the tracker may steer us.
            if (addr != trackerAddr || port != htons(trackerPort)) {
                Drop(d, addr, port, "not from the tracker");
                return false;
            }
            return HandleIncoming(d, false);
        }
        case DatagramKind::kReliableUdp:
            if (m_settings.rudp != nullptr) {
                m_settings.rudp->OnDatagram(addr, port, m_fd.load(), d.data(), d.size());
            }
            return false;
        case DatagramKind::kOther:
            return false;
    }
    return false;
}

bool CTrackerAgent::HandleIncoming(std::span<const uint8_t> message, bool viaAgent) {
    std::optional<TrackerHeader> h = PeekHeader(message);
    if (!h || h->length != message.size()) {
        return false;
    }
    // A notice is the tracker speaking first; everything else must answer a request of ours,
    // which is removed before its answer is acted on, so a login queued in answer to a
    // keep-alive takes the keep-alive's place at the front.
    if (h->command != kCmdRelayNotice && !m_queue.OnReply(h->sequence, h->command)) {
        Drop(message, 0, 0, "answers no request");
        return false;
    }
    m_lastReply = GetTick();
    switch (h->command) {
        case kCmdLogin: {
            LoginReply reply;
            if (Decode(message, reply)) {
                HandleLoginReply(reply, viaAgent);
            }
            return true;
        }
        case kCmdKeepAlive: {
            KeepAliveReply reply;
            if (!Decode(message, reply)) {
                return true;
            }
            if (reply.status == kKeepAliveNotLoggedIn) {
                m_loggedIn = false;
                Login();
            } else if (reply.status == kKeepAliveLoggedIn) {
                m_loggedIn = true;
            }
            PassOn(message);
            return true;
        }
        default:
            PassOn(message);
            return true;
    }
}

void CTrackerAgent::HandleLoginReply(const LoginReply& reply, bool viaAgent) {
    switch (reply.result) {
        case kLoginAccepted: {
            m_externalAddr = reply.addr;
            if (viaAgent) {
                if (std::optional<AgentAddress> agent = CurrentAgent()) {
                    WriteLastAgent(platform::CIniFile(m_settings.rootFolder + kAgentListFile), *agent);
                }
            }
            StorePeerId();
            uint32_t nat = m_settings.facts().natType;
            if (nat < 6 || !m_settings.redetectNat || m_settings.redetectNat() >= 6) {
                m_loggedIn = true;
                PassOn(Encode(reply));
                EngineLog(kLogPlain, "---------login ok---------\n");
            } else {
                // The NAT type changed: the tracker must learn the new one.
                if (m_settings.refreshLocalAddress) {
                    m_settings.refreshLocalAddress();
                }
                Login();
            }
            return;
        }
        case kLoginPeerIdRefused:
            m_loggedIn = false;
            NewPeerId();
            Login();
            return;
        case kLoginRedirect: {
            if (reply.addr == 0) {
                m_loggedIn = false;
                return;
            }
            {
                // Bytes 12-13 are our own port as the tracker saw it, not a port to move to: the
                // tracker port stays the one we were given.
                std::lock_guard lock(m_stateLock);
                m_trackerAddr = reply.addr;
            }
            Login();
            m_loggedIn = false;
            return;
        }
        default:
            m_loggedIn = false;
    }
}

void CTrackerAgent::UdpLoop() {
    platform::SetCurrentThreadName("TrackerUdp");
    std::vector<uint8_t> buf(kMaxTrackerMessageBytes);
    Tick lastSilenceCheck = GetTick();
    while (m_running) {
        if (int retired = m_retiredFd.exchange(-1); retired >= 0) {
            close(retired);
        }
        int fd = m_fd.load();
        pollfd p[2] = {{fd, POLLIN, 0}, {m_wake.Fd(), POLLIN, 0}};
        int r = poll(p, 2, kUdpWaitMs);
        if (r > 0 && (p[1].revents & POLLIN)) {
            m_wake.Drain();
        }
        // Drain what arrived, a bounded number at a time so the sends below are not starved.
        for (int i = 0; r > 0 && (p[0].revents & POLLIN) && i < 64; ++i) {
            sockaddr_in from{};
            socklen_t len = sizeof from;
            ssize_t n = recvfrom(fd, buf.data(), kTrackerReceiveBytes, MSG_DONTWAIT,
                                 reinterpret_cast<sockaddr*>(&from), &len);
            if (n < 0) {
                if (errno != EAGAIN && errno != EWOULDBLOCK && errno != ECONNREFUSED && errno != EINTR) {
                    platform::SleepMs(100);
                }
                break;
            }
            HandleDatagram(std::span<const uint8_t>(buf.data(), static_cast<size_t>(n)), from.sin_addr.s_addr,
                           from.sin_port);
        }

        Tick now = GetTick();
        uint32_t silence = TickElapsed(now, LastReply());
        if (TickBefore(now, LastReply())) {
            silence = 0;
        }
        if (silence > kTrackerSilenceMs && TickElapsed(now, lastSilenceCheck) > kTrackerSilenceMs) {
            lastSilenceCheck = now;
            ResolveTracker();
            m_loggedIn = false;
        }
        if (silence > kKeepAliveAfterMs && !m_queue.LoginOrKeepAliveAtFront()) {
            m_queue.Queue(Encode(KeepAliveRequest{0, OwnPeerId()}), true, OwnPeerId(), now);
        }
        // The listening port is opened after the agent starts, and the NAT type may be found
        // again: the tracker must hand out what holds now.
        if (m_loggedIn) {
            LoginFacts f = m_settings.facts();
            if (f.listenPort != m_loginPort.load() || f.natType != m_loginNat.load()) {
                Login();
            }
        }
        for (std::vector<uint8_t>& m : m_queue.TakeUdpSends(now, m_loggedIn.load())) {
            SendToTracker(std::move(m));
        }
    }
}

void CTrackerAgent::ChooseAgent() {
    platform::CIniFile ini(m_settings.rootFolder + kAgentListFile);
    std::optional<AgentAddress> last = ReadLastAgent(ini);
    std::vector<AgentAddress> list;
    if (!last) {
        if (!m_settings.updateHost.empty()) {
            DownloadAgentList("http://" + m_settings.updateHost + kAgentListPath, ini.Path(),
                              m_settings.resolve);
        }
        list = ReadAgentList(ini);
    } else {
        list = ReadAgentList(ini);
    }
    std::optional<AgentAddress> chosen = last;
    size_t index = 0;
    if (!chosen && !list.empty()) {
        index = static_cast<size_t>((m_settings.counter() >> 8) % list.size());
        chosen = list[index];
    }
    if (!chosen) {
        platform::HostPort hp = platform::ParseHostPort(m_settings.agentHost);
        uint32_t addr = Resolve(hp.host);
        if (addr == 0) {
            addr = m_settings.agentAddr;
        }
        if (addr != 0) {
            chosen = AgentAddress{addr, hp.port};
        }
    }
    std::lock_guard lock(m_stateLock);
    m_agents = std::move(list);
    m_agentIndex = index;
    m_agent = chosen;
}

bool CTrackerAgent::ConnectRelay(const AgentAddress& agent) {
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd < 0) {
        return false;
    }
    sockaddr_in sa = SockAddr(agent.addr, agent.port);
    int r = connect(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa);
    if (r != 0 && errno != EINPROGRESS) {
        close(fd);
        return false;
    }
    Tick start = GetTick();
    while (r != 0 && m_running) {
        pollfd p{fd, POLLOUT, 0};
        int pr = poll(&p, 1, 200);
        if (pr > 0) {
            int err = 0;
            socklen_t len = sizeof err;
            getsockopt(fd, SOL_SOCKET, SO_ERROR, &err, &len);
            if (err != 0) {
                close(fd);
                return false;
            }
            r = 0;
            break;
        }
        if (TickElapsed(GetTick(), start) >= kAgentConnectMs) {
            break;
        }
    }
    if (r != 0) {
        close(fd);
        return false;
    }
    m_relayFd = fd;
    m_reader = CTrackerStreamReader();
    m_relayConnected = true;
    EngineLog(kLogDebug, "agent relay connected to %s:%u\n", AddrText(agent.addr).c_str(), agent.port);
    return true;
}

void CTrackerAgent::CloseRelay() {
    if (m_relayFd >= 0) {
        close(m_relayFd);
        m_relayFd = -1;
    }
    m_relayConnected = false;
}

bool CTrackerAgent::SendRelay(std::span<const uint8_t> bytes) {
    size_t sent = 0;
    while (sent < bytes.size() && m_running) {
        ssize_t n = send(m_relayFd, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
        if (n > 0) {
            sent += static_cast<size_t>(n);
            continue;
        }
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            pollfd p{m_relayFd, POLLOUT, 0};
            poll(&p, 1, kRelayPauseMs);
            continue;
        }
        return false;
    }
    return sent == bytes.size();
}

void CTrackerAgent::PumpRelay() {
    Tick now = GetTick();
    for (std::vector<uint8_t>& m : m_queue.TakeRelaySends(now)) {
        std::optional<TrackerHeader> h = PeekHeader(m);
        if (h && h->command == kCmdLogin) {
            RefreshLogin(m);
        }
        if (!SendRelay(m)) {
            EngineLog(kLogDebug, "err: %d\n", errno);
            CloseRelay();
            return;
        }
    }
    pollfd p{m_relayFd, POLLIN, 0};
    if (poll(&p, 1, kRelayPauseMs) <= 0) {
        return;
    }
    uint8_t buf[4096];
    ssize_t n = recv(m_relayFd, buf, sizeof buf, MSG_DONTWAIT);
    if (n == 0 || (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR)) {
        EngineLog(kLogDebug, "err: %d\n", n == 0 ? 0 : errno);
        CloseRelay();
        return;
    }
    if (n < 0) {
        return;
    }
    bool ok = m_reader.Feed(std::span<const uint8_t>(buf, static_cast<size_t>(n)),
                            [this](std::span<const uint8_t> m) { HandleIncoming(m, true); });
    if (!ok) {
        EngineLog(kLogDebug, "err: broken agent stream\n");
        CloseRelay();
    }
}

void CTrackerAgent::AgentLoop() {
    platform::SetCurrentThreadName("TrackerAgent");
    ChooseAgent();
    Tick lastSwitch = GetTick();
    while (m_running) {
        Tick now = GetTick();
        // A silent tracker may be an agent that is gone: move on through the list.
        if (TickElapsed(now, LastReply()) > kTrackerSilenceMs && !TickBefore(now, LastReply()) &&
            TickElapsed(now, lastSwitch) > kTrackerSilenceMs) {
            lastSwitch = now;
            std::lock_guard lock(m_stateLock);
            if (!m_agents.empty()) {
                m_agentIndex = (m_agentIndex + 1) % m_agents.size();
                m_agent = m_agents[m_agentIndex];
            }
            if (m_relayFd >= 0) {
                close(m_relayFd);
                m_relayFd = -1;
                m_relayConnected = false;
            }
        }
        if (m_relayFd < 0) {
            std::optional<AgentAddress> agent = CurrentAgent();
            if (!agent || !m_queue.NeedsRelay(now) || !ConnectRelay(*agent)) {
                platform::SleepMs(kRelayPauseMs);
                continue;
            }
        }
        PumpRelay();
        if (m_relayFd >= 0 && m_queue.Empty()) {
            CloseRelay();
        }
    }
    CloseRelay();
}

bool CTrackerAgent::ConnectThroughNat(uint32_t addr, uint16_t port, uint32_t remoteNatType,
                                      const core::PeerId& remotePeerId,
                                      std::span<const uint8_t, 20> infoHash) {
    if (m_settings.rudp == nullptr) {
        return false;
    }
    return m_settings.rudp->ConnectThroughNat(UdpSocket(), addr, port, remoteNatType, remotePeerId.bytes,
                                              infoHash);
}

void CTrackerAgent::CRelay::SendRelayRequest(int sock, std::span<const uint8_t> request) {
    if (sock == m_agent.UdpSocket()) {
        m_agent.QueueMessage(std::vector<uint8_t>(request.begin(), request.end()), true);
        return;
    }
    // From another (fresh carrier) socket the request is what tells the tracker that socket's
    // mapping, so it has to leave from there; the queue could only send it from ours.
    uint32_t addr = m_agent.TrackerServerAddress();
    uint16_t port = m_agent.TrackerServerPort();
    m_agent.m_sender.SendTo(sock, addr, htons(port), request);
}

}  // namespace tessali::sources
