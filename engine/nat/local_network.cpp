#include "engine/nat/local_network.h"

#include <arpa/inet.h>
#include <net/if.h>
#include <netinet/in.h>
#include <sys/ioctl.h>

#include <charconv>
#include <cstring>
#include <fstream>
#include <sstream>

namespace tessali::nat {
namespace {

constexpr unsigned kRouteUp = 0x1;       // RTF_UP
constexpr unsigned kRouteGateway = 0x2;  // RTF_GATEWAY

bool ParseHex32(std::string_view text, uint32_t& out) {
    if (text.empty() || text.size() > 8) {
        return false;
    }
    auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), out, 16);
    return ec == std::errc() && end == text.data() + text.size();
}

}  // namespace

std::set<std::string> ParseDefaultGateways(std::string_view routeText) {
    std::set<std::string> gateways;
    std::istringstream in{std::string(routeText)};
    std::string line;
    bool header = true;
    while (std::getline(in, line)) {
        if (header) {  // "Iface Destination Gateway Flags ..."
            header = false;
            continue;
        }
        std::istringstream fields(line);
        std::string iface, dest, gateway, flags, refcnt, use, metric, mask;
        if (!(fields >> iface >> dest >> gateway >> flags >> refcnt >> use >> metric >> mask)) {
            continue;
        }
        uint32_t d = 0, g = 0, f = 0, m = 0;
        if (!ParseHex32(dest, d) || !ParseHex32(gateway, g) || !ParseHex32(flags, f) ||
            !ParseHex32(mask, m)) {
            continue;
        }
        // The kernel prints the network-order word as a host-order number, so the value read
        // back is already the in-memory address.
        if (d != 0 || m != 0 || g == 0 || (f & (kRouteUp | kRouteGateway)) != (kRouteUp | kRouteGateway)) {
            continue;
        }
        gateways.insert(DottedText(g));
    }
    return gateways;
}

std::set<std::string> ReadDefaultGateways(const std::string& routeFile) {
    std::ifstream in(routeFile);
    if (!in) {
        return {};
    }
    std::ostringstream text;
    text << in.rdbuf();
    return ParseDefaultGateways(text.str());
}

std::vector<Ipv4Network> InterfaceNetworks(int fd) {
    std::vector<Ipv4Network> networks;
    // SIOCGIFCONF on the socket itself answers for the socket's own network namespace.
    std::vector<ifreq> reqs(64);
    ifconf conf{};
    conf.ifc_len = static_cast<int>(reqs.size() * sizeof(ifreq));
    conf.ifc_req = reqs.data();
    if (ioctl(fd, SIOCGIFCONF, &conf) != 0) {
        return networks;
    }
    size_t count = static_cast<size_t>(conf.ifc_len) / sizeof(ifreq);
    for (size_t i = 0; i < count && i < reqs.size(); ++i) {
        ifreq req = reqs[i];
        if (req.ifr_addr.sa_family != AF_INET) {
            continue;
        }
        Ipv4Network net;
        net.address = reinterpret_cast<const sockaddr_in*>(&req.ifr_addr)->sin_addr.s_addr;
        ifreq flags = reqs[i];
        if (ioctl(fd, SIOCGIFFLAGS, &flags) != 0 || !(flags.ifr_flags & IFF_UP)) {
            continue;
        }
        ifreq mask = reqs[i];
        if (ioctl(fd, SIOCGIFNETMASK, &mask) != 0) {
            continue;
        }
        net.mask = reinterpret_cast<const sockaddr_in*>(&mask.ifr_netmask)->sin_addr.s_addr;
        networks.push_back(net);
    }
    return networks;
}

bool IsOnNetworks(uint32_t addr, const std::vector<Ipv4Network>& networks) {
    for (const Ipv4Network& net : networks) {
        if ((addr & net.mask) == (net.address & net.mask)) {
            return true;
        }
    }
    return false;
}

std::string DottedText(uint32_t addrNetworkOrder) {
    in_addr a{};
    a.s_addr = addrNetworkOrder;
    char text[INET_ADDRSTRLEN] = {};
    inet_ntop(AF_INET, &a, text, sizeof(text));
    return text;
}

bool ParseDotted(std::string_view text, uint32_t& addrNetworkOrder) {
    if (text.empty() || text.size() >= INET_ADDRSTRLEN) {
        return false;
    }
    char buf[INET_ADDRSTRLEN] = {};
    std::memcpy(buf, text.data(), text.size());
    in_addr a{};
    if (inet_pton(AF_INET, buf, &a) != 1) {
        return false;
    }
    addrNetworkOrder = a.s_addr;
    return true;
}

}  // namespace tessali::nat
