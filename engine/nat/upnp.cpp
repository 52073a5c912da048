#include "engine/nat/upnp.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <memory>
#include <optional>

#include "engine/core/engine_log.h"
#include "engine/platform/http_head.h"
#include "engine/platform/thread.h"

namespace tessali::nat {
namespace {

constexpr int kPasses = 3;
constexpr int kStepsBetweenPasses = 20;  // of 100 ms
constexpr uint32_t kStepMs = 100;
constexpr int kRouterTimeoutMs = 3000;

std::unique_ptr<CUpnp> g_instance;

void SetTimeouts(int fd, int ms) {
    timeval tv{ms / 1000, (ms % 1000) * 1000};
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof(tv));
    setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof(tv));
}

bool SendTo(int fd, const std::string& text, uint32_t addr, uint16_t port) {
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(port);
    to.sin_addr.s_addr = addr;
    return sendto(fd, text.data(), text.size(), 0, reinterpret_cast<const sockaddr*>(&to), sizeof(to)) ==
           static_cast<ssize_t>(text.size());
}

// True once the headers are in and the body they announce with Content-Length is complete.
bool AnswerComplete(const std::string& answer) {
    platform::HttpHeadOptions options;
    options.firstLine = platform::HttpFirstLine::kSkipped;
    options.bareLf = true;  // within the head, as the header values are read everywhere here
    options.maxHeadBytes = kDescriptionBytes;
    platform::HttpHeadOptions ending = options;
    ending.bareLf = false;  // but only CR LF CR LF ends it, as HttpBody expects
    platform::HttpHeadEnd end = platform::FindHttpHeadEnd(answer, ending);
    if (end.kind != platform::HttpHeadEnd::kFound) {
        return false;
    }
    std::optional<platform::CHttpHead> head =
        platform::ReadHttpHead(std::string_view(answer).substr(0, end.bodyOffset), options);
    std::optional<std::string_view> value = head ? head->Find("Content-Length") : std::nullopt;
    std::optional<uint64_t> length = value ? platform::ParseHttpLength(*value) : std::nullopt;
    return length && answer.size() - end.bodyOffset >= *length;
}

}  // namespace

bool RouterExchange(uint32_t address, uint16_t port, const std::string& request, size_t maxBytes,
                    std::string& answer) {
    answer.clear();
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    if (fd < 0) {
        return false;
    }
    SetTimeouts(fd, kRouterTimeoutMs);
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(port);
    to.sin_addr.s_addr = address;
    bool ok = connect(fd, reinterpret_cast<const sockaddr*>(&to), sizeof(to)) == 0;
    size_t sent = 0;
    while (ok && sent < request.size()) {
        ssize_t n = send(fd, request.data() + sent, request.size() - sent, MSG_NOSIGNAL);
        ok = n > 0;
        sent += ok ? static_cast<size_t>(n) : 0;
    }
    char buf[1024];
    while (ok && answer.size() < maxBytes) {
        ssize_t n = recv(fd, buf, std::min(sizeof(buf), maxBytes - answer.size()), 0);
        if (n <= 0) {
            break;  // closed, or silent past the time-out: what arrived is the answer
        }
        answer.append(buf, static_cast<size_t>(n));
        if (AnswerComplete(answer)) {
            break;
        }
    }
    close(fd);
    return ok && !answer.empty();
}

CUpnp::~CUpnp() {
    Shutdown();
}

CUpnp& CUpnp::Instance() {
    if (!g_instance) {
        g_instance = std::make_unique<CUpnp>();
    }
    return *g_instance;
}

void CUpnp::Destroy() {
    g_instance.reset();
}

std::set<std::string> CUpnp::Gateways() const {
    std::lock_guard lock(m_lock);
    return m_gateways;
}

bool CUpnp::Prepare(uint32_t localAddress, const std::string& routeFile) {
    if (!m_idle) {
        return false;
    }
    std::lock_guard lock(m_lock);
    m_description = kMappingDescription;
    m_internalClient = DottedText(localAddress);
    m_gateways = ReadDefaultGateways(routeFile);
    if (m_gateways.empty()) {
        return false;
    }
    if (m_socket >= 0) {
        close(m_socket);
        m_socket = -1;
    }
    int fd = socket(AF_INET, SOCK_DGRAM, 0);
    if (fd < 0) {
        return false;
    }
    unsigned char ttl = 6, loop = 0;
    timeval tv{0, static_cast<suseconds_t>(kStepMs * 1000)};
    bool ok = setsockopt(fd, IPPROTO_IP, IP_MULTICAST_TTL, &ttl, sizeof(ttl)) == 0 &&
              setsockopt(fd, IPPROTO_IP, IP_MULTICAST_LOOP, &loop, sizeof(loop)) == 0 &&
              setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof(tv)) == 0 &&
              setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof(tv)) == 0;
    if (ok && localAddress != 0) {
        // The search leaves by the interface of the engine's own address.
        in_addr iface{};
        iface.s_addr = localAddress;
        ok = setsockopt(fd, IPPROTO_IP, IP_MULTICAST_IF, &iface, sizeof(iface)) == 0;
    }
    if (!ok) {
        close(fd);
        return false;
    }
    m_socket = fd;
    return true;
}

void CUpnp::SetMappingTarget(uint32_t localAddress, uint16_t port) {
    std::lock_guard lock(m_lock);
    m_internalClient = DottedText(localAddress);
    m_description = kMappingDescription;
    m_internalPort = port;
    m_externalPort = port;
}

bool CUpnp::SendSearches(int fd, const std::set<std::string>& gateways) {
    uint32_t group = 0;
    ParseDotted(kSsdpAddress, group);
    for (const char* service : {kWanPppService, kWanIpService}) {
        std::string search = BuildSsdpSearch(service);
        if (!SendTo(fd, search, group, kSsdpPort)) {
            return false;
        }
        for (const std::string& g : gateways) {
            uint32_t addr = 0;
            if (ParseDotted(g, addr) && !SendTo(fd, search, addr, kSsdpPort)) {
                return false;
            }
        }
    }
    return true;
}

int CUpnp::SearchAndMap(uint16_t listenPort) {
    int fd;
    std::set<std::string> gateways;
    {
        std::lock_guard lock(m_lock);
        bool expected = true;
        if (m_socket < 0 || !m_idle.compare_exchange_strong(expected, false)) {
            return -1;
        }
        fd = m_socket;
        gateways = m_gateways;
    }
    m_tcpMapped = false;
    m_udpMapped = false;
    m_internalPort = listenPort;
    m_externalPort = listenPort;

    std::thread receiver([this, fd] { ReceiverThread(fd); });
    bool sendFailed = false;
    for (int pass = 0; pass < kPasses && !sendFailed; ++pass) {
        if (!SendSearches(fd, gateways)) {
            sendFailed = true;
            break;
        }
        int steps = pass + 1 < kPasses ? kStepsBetweenPasses : 1;
        for (int i = 0; i < steps && !(m_tcpMapped && m_udpMapped); ++i) {
            platform::SleepMs(kStepMs);
        }
        if (m_tcpMapped && m_udpMapped) {
            break;
        }
    }
    m_idle = true;
    // The receiver finishes the answer it is handling before it sees the flag, so the mapped
    // flags are final once it has been joined.
    receiver.join();
    if (sendFailed) {
        return -1;
    }
    if (m_tcpMapped) {
        core::EngineLog(core::kLogDebug, "*****port mapping ok!!\n");
        return 0;
    }
    return -1;
}

void CUpnp::Shutdown() {
    m_idle = true;
    std::lock_guard lock(m_lock);
    m_gateways.clear();
    if (m_socket >= 0) {
        close(m_socket);
        m_socket = -1;
    }
}

void CUpnp::ReceiverThread(int fd) {
    platform::SetCurrentThreadName("UpnpReceiver");
    char buf[kSsdpDatagramBytes];
    while (!m_idle && !(m_tcpMapped && m_udpMapped)) {
        sockaddr_in from{};
        socklen_t fromLen = sizeof(from);
        ssize_t n = recvfrom(fd, buf, sizeof(buf), 0, reinterpret_cast<sockaddr*>(&from), &fromLen);
        if (n <= 0) {
            platform::SleepMs(1);
            continue;
        }
        HandleAnswer(buf, static_cast<size_t>(n), from.sin_addr.s_addr);
    }
}

void CUpnp::HandleAnswer(const char* data, size_t size, uint32_t from) {
    const std::string sender = DottedText(from);
    core::EngineLog(core::kLogDebug, "router:%s!!\r\n", sender.c_str());
    SsdpAnswer answer;
    if (!ParseSsdpAnswer(std::string_view(data, size), answer)) {
        return;
    }
    // Only a gateway of this host may be asked to forward ports, and the answer must come from
    // the address it names: otherwise any host on the network could steer the mapping.
    std::set<std::string> gateways = Gateways();
    if (!gateways.count(answer.host) || answer.host != sender) {
        core::EngineLog(core::kLogDebug, "router:%s not a gateway, ignored!!\r\n", answer.host.c_str());
        return;
    }
    core::EngineLog(core::kLogDebug, "router:%s____ok__%.15s!!\r\n", sender.c_str(), answer.host.c_str());
    std::string description;
    if (!RouterExchange(from, answer.port, BuildDescriptionRequest(answer.path, answer.hostHeader),
                        kDescriptionBytes, description) ||
        description.find("200 OK") == std::string::npos) {
        return;
    }
    UpnpRouter router;
    router.address = from;
    router.port = answer.port;
    router.serviceType = answer.serviceType;
    if (!FindControlUrl(HttpBody(description), router.controlUrl)) {
        core::EngineLog(core::kLogDebug, "router:%s description has no control url!!\r\n", sender.c_str());
        return;
    }
    MapWithRouter(router);
}

void CUpnp::MapWithRouter(const UpnpRouter& router) {
    if (!m_tcpMapped && !MapProtocol(router, "TCP", m_tcpMapped)) {
        return;
    }
    if (!m_udpMapped) {
        MapProtocol(router, "UDP", m_udpMapped);
    }
}

bool CUpnp::MapProtocol(const UpnpRouter& router, const char* protocol, std::atomic<bool>& mapped) {
    SoapMapping m;
    m.externalPort = m_externalPort;
    m.internalPort = m_internalPort;
    m.protocol = protocol;
    {
        std::lock_guard lock(m_lock);
        m.internalClient = m_internalClient;
        m.description = m_description;
    }
    const bool tcp = m.protocol == "TCP";
    const std::string routerAddress = DottedText(router.address);
    auto request = [&](SoapAction action) {
        return BuildSoapRequest(action, router.controlUrl, routerAddress, router.port, router.serviceType, m);
    };

    std::string answer;
    if (RouterExchange(router.address, router.port, request(SoapAction::kGetSpecificPortMappingEntry),
                       kSoapAnswerBytes, answer) &&
        answer.find("200 OK") != std::string::npos) {
        std::string client, description;
        if (FindElementText(answer, "NewInternalClient", client) && client == m.internalClient &&
            FindElementText(answer, "NewPortMappingDescription", description) &&
            description == m.description) {
            core::EngineLog(core::kLogDebug,
                            tcp ? "###tcp port mapping ok!!!\n" : "###udp port mapping ok!!!\n");
            mapped = true;
            return true;
        }
    }
    // Whatever the router said about the delete, a clean exchange lets the add go ahead.
    if (!RouterExchange(router.address, router.port, request(SoapAction::kDeletePortMapping),
                        kSoapAnswerBytes, answer)) {
        core::EngineLog(core::kLogDebug, "DelPortMapping Fail!!\n");
        return false;
    }
    if (!RouterExchange(router.address, router.port, request(SoapAction::kAddPortMapping), kSoapAnswerBytes,
                        answer) ||
        answer.find("200 OK") == std::string::npos) {
        core::EngineLog(core::kLogDebug, "AddPortMapping Fail!!\n");
        return false;
    }
    core::EngineLog(core::kLogDebug,
                    tcp ? "###tcp port mapping finish!!!\n" : "###udp port mapping finish!!!\n");
    mapped = true;
    return true;
}

}  // namespace tessali::nat
