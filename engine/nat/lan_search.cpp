#include "engine/nat/lan_search.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <charconv>
#include <cstdio>
#include <cstring>
#include <memory>

#include "engine/core/engine_env.h"
#include "engine/core/engine_log.h"
#include "engine/core/peer_id.h"
#include "engine/core/task_mgr.h"
#include "engine/nat/local_network.h"

namespace tessali::nat {
namespace {

constexpr std::string_view kSearchLine = "DAZIZOVORA-LAN-SEARCH * HTTP/1.1";
constexpr std::string_view kAnswerLine = "HTTP/1.1 200 OK";
constexpr size_t kMaxAddressChars = 15;

std::unique_ptr<CLanSearch> g_instance;

// The text after `key` up to the line end (or the datagram end), at most `limit` characters.
std::string_view ValueAfter(std::string_view text, std::string_view key, size_t limit, bool& found) {
    size_t at = text.find(key);
    found = at != std::string_view::npos;
    if (!found) {
        return {};
    }
    std::string_view rest = text.substr(at + key.size());
    size_t end = rest.find_first_of("\r\n");
    if (end != std::string_view::npos) {
        rest = rest.substr(0, end);
    }
    return rest.substr(0, limit);
}

core::TaskHash ReadHash(std::string_view text) {
    bool found = false;
    core::TaskHash hash;
    core::HashTextToBytes(ValueAfter(text, "HASH:", 40, found), hash.bytes);
    return hash;
}

CLanSearch::Hooks WithDefaults(CLanSearch::Hooks h) {
    if (!h.hasTask) {
        h.hasTask = [](const core::TaskHash& hash) { return core::TaskMgr().TaskExists(hash); };
    }
    if (!h.listenPort) {
        h.listenPort = [] { return core::Host().listenPort.load(); };
    }
    if (!h.peerId) {
        h.peerId = [] { return std::string(); };
    }
    return h;
}

}  // namespace

std::string BuildLanSearch(const core::TaskHash& hash) {
    char text[128];
    std::snprintf(text, sizeof(text), "DAZIZOVORA-LAN-SEARCH * HTTP/1.1\r\nHASH:%s\r\n\r\n",
                  hash.ToText().c_str());
    return text;
}

std::string BuildLanAnswer(const core::TaskHash& hash, std::string_view peerId, uint32_t address,
                           uint16_t port) {
    std::string id(peerId.substr(0, core::kPeerIdBytes));
    char text[256];
    std::snprintf(text, sizeof(text), "HTTP/1.1 200 OK\r\nHASH:%s\r\nID:%.20s\r\nIP:%.15s\r\nPORT:%d\r\n\r\n",
                  hash.ToText().c_str(), id.c_str(), DottedText(address).c_str(), static_cast<int>(port));
    return text;
}

LanDatagram ParseLanDatagram(std::span<const uint8_t> datagram) {
    std::string_view text(reinterpret_cast<const char*>(datagram.data()), datagram.size());
    LanDatagram d;
    if (text.find("HASH:") == std::string_view::npos) {
        return d;
    }
    if (text.find(kSearchLine) != std::string_view::npos) {
        d.kind = LanDatagram::kSearch;
        d.hash = ReadHash(text);
        return d;
    }
    if (text.find(kAnswerLine) == std::string_view::npos) {
        return d;
    }
    d.hash = ReadHash(text);
    bool found = false;
    std::string_view id = ValueAfter(text, "ID:", core::kPeerIdBytes, found);
    if (!id.empty()) {
        std::memcpy(d.peerId.data(), id.data(), id.size());
    }
    std::string_view ip = ValueAfter(text, "IP:", kMaxAddressChars, found);
    if (!found || !ParseDotted(ip, d.address)) {
        return d;  // kOther: an answer without a usable address cannot be connected to
    }
    std::string_view port = ValueAfter(text, "PORT:", 5 + 1, found);
    if (found) {
        unsigned value = 0;
        auto [end, ec] = std::from_chars(port.data(), port.data() + port.size(), value);
        if (ec != std::errc() || value > 65535) {
            return d;
        }
        d.port = static_cast<uint16_t>(value);
    }
    d.kind = LanDatagram::kAnswer;
    return d;
}

CLanSearch::CLanSearch() : CLanSearch(Hooks{}) {}

CLanSearch::CLanSearch(Hooks hooks) : m_hooks(WithDefaults(std::move(hooks))) {}

CLanSearch::~CLanSearch() {
    if (m_socket >= 0) {
        close(m_socket);
    }
}

CLanSearch& CLanSearch::Instance() {
    if (!g_instance) {
        g_instance = std::make_unique<CLanSearch>();
    }
    return *g_instance;
}

void CLanSearch::Destroy() {
    g_instance.reset();
}

void CLanSearch::SetHooks(Hooks hooks) {
    m_hooks = WithDefaults(std::move(hooks));
}

void CLanSearch::SetPeerIdSource(std::function<std::string()> peerId) {
    Hooks h = m_hooks;
    h.peerId = std::move(peerId);
    m_hooks = WithDefaults(std::move(h));
}

bool CLanSearch::Start() {
    return Start(core::Host().localAddress.load());
}

bool CLanSearch::Start(uint32_t localAddress) {
    if (!m_notStarted) {
        return false;
    }
    m_notStarted = false;
    int fd = socket(AF_INET, SOCK_DGRAM, 0);
    if (fd < 0) {
        return false;
    }
    auto fail = [fd] {
        close(fd);
        return false;
    };
    unsigned char ttl = 3, loop = 0;
    int one = 1, zero = 0;
    if (setsockopt(fd, IPPROTO_IP, IP_MULTICAST_TTL, &ttl, sizeof(ttl)) != 0 ||
        setsockopt(fd, IPPROTO_IP, IP_MULTICAST_LOOP, &loop, sizeof(loop)) != 0 ||
        setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof(one)) != 0 ||
        setsockopt(fd, IPPROTO_IP, IP_MULTICAST_ALL, &zero, sizeof(zero)) != 0) {
        return fail();
    }
    // Linux delivers group datagrams only to sockets bound to the group or to any address, so
    // the socket binds to any address; the local address picks the interface for sending and
    // for the membership instead.
    sockaddr_in bindAddr{};
    bindAddr.sin_family = AF_INET;
    bindAddr.sin_port = htons(kLanSearchPort);
    bindAddr.sin_addr.s_addr = htonl(INADDR_ANY);
    if (bind(fd, reinterpret_cast<const sockaddr*>(&bindAddr), sizeof(bindAddr)) != 0) {
        return fail();
    }
    in_addr iface{};
    iface.s_addr = localAddress;
    if (localAddress != 0 && setsockopt(fd, IPPROTO_IP, IP_MULTICAST_IF, &iface, sizeof(iface)) != 0) {
        return fail();
    }
    int flags = fcntl(fd, F_GETFL, 0);
    if (flags < 0 || fcntl(fd, F_SETFL, flags | O_NONBLOCK) != 0) {
        return fail();
    }
    ip_mreq group{};
    inet_pton(AF_INET, kLanGroupAddress, &group.imr_multiaddr);
    group.imr_interface.s_addr = localAddress;
    if (setsockopt(fd, IPPROTO_IP, IP_ADD_MEMBERSHIP, &group, sizeof(group)) != 0) {
        return fail();
    }
    m_socket = fd;
    m_localAddress = localAddress;
    return true;
}

void CLanSearch::Search(const core::TaskHash& hash) {
    if (m_socket < 0) {
        return;
    }
    std::string text = BuildLanSearch(hash);
    core::EngineLog(core::kLogDebug, "request local source %s\n", hash.ToText().c_str());
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(kLanSearchPort);
    inet_pton(AF_INET, kLanGroupAddress, &to.sin_addr);
    sendto(m_socket, text.data(), text.size(), 0, reinterpret_cast<const sockaddr*>(&to), sizeof(to));
}

void CLanSearch::Step() {
    if (m_socket < 0) {
        return;
    }
    uint8_t buf[kLanDatagramBytes];
    sockaddr_in from{};
    socklen_t fromLen = sizeof(from);
    ssize_t n = recvfrom(m_socket, buf, sizeof(buf), 0, reinterpret_cast<sockaddr*>(&from), &fromLen);
    if (n <= 0) {
        return;
    }
    LanDatagram d = ParseLanDatagram({buf, static_cast<size_t>(n)});
    if (d.kind == LanDatagram::kSearch) {
        HandleSearch(d, &from, fromLen);
    } else if (d.kind == LanDatagram::kAnswer) {
        HandleAnswer(d);
    }
}

void CLanSearch::HandleSearch(const LanDatagram& d, const void* from, unsigned fromLen) {
    if (!m_hooks.hasTask(d.hash)) {
        return;
    }
    std::string answer = BuildLanAnswer(d.hash, m_hooks.peerId(), m_localAddress, m_hooks.listenPort());
    sendto(m_socket, answer.data(), answer.size(), 0, static_cast<const sockaddr*>(from), fromLen);
    core::EngineLog(core::kLogDebug, "response multicast request %s\n", d.hash.ToText().c_str());
}

void CLanSearch::HandleAnswer(const LanDatagram& d) {
    // An answer may name any address; only one on a network of this host's interfaces is a
    // local source, anything else would make the engine connect wherever the datagram says.
    const bool loopback = (ntohl(d.address) >> 24) == 127 && (ntohl(m_localAddress) >> 24) != 127;
    if (loopback || !IsOnNetworks(d.address, InterfaceNetworks(m_socket))) {
        core::EngineLog(core::kLogDebug, "ignore local peer ip %s, not on the local network\n",
                        DottedText(d.address).c_str());
        return;
    }
    if (!m_hooks.hasTask(d.hash)) {
        return;
    }
    core::EngineLog(core::kLogDebug, "add local peer ip %s, hash %s\n", DottedText(d.address).c_str(),
                    d.hash.ToText().c_str());
    if (m_hooks.sink) {
        m_hooks.sink->AddLanPeer(d.hash, d.peerId, d.address, d.port);
    }
}

}  // namespace tessali::nat
