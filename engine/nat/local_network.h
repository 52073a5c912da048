// What the NAT components know about the host's own network: the default gateways (from the
// kernel's routing table) and the IPv4 networks of its interfaces. Answers from the network that
// name an address outside these are ignored. Stateless; safe from any thread.
#pragma once

#include <cstdint>
#include <set>
#include <string>
#include <string_view>
#include <vector>

namespace tessali::nat {

constexpr const char* kRouteFile = "/proc/net/route";

// The gateways of every default route in a file of the /proc/net/route format, as dotted texts
// (never empty and never "0.0.0.0"). A missing or malformed file gives an empty set.
std::set<std::string> ReadDefaultGateways(const std::string& routeFile = kRouteFile);
// The same from the text of such a file.
std::set<std::string> ParseDefaultGateways(std::string_view routeText);

struct Ipv4Network {
    uint32_t address = 0;  // network order
    uint32_t mask = 0;     // network order
};

// The networks of the up IPv4 interfaces in the namespace of socket `fd` (loopback included).
std::vector<Ipv4Network> InterfaceNetworks(int fd);
// True when `addr` (network order) lies in one of `networks`.
bool IsOnNetworks(uint32_t addr, const std::vector<Ipv4Network>& networks);

// Dotted text of an address in network order, and back (nullopt-free: 0 on failure, `ok` says).
std::string DottedText(uint32_t addrNetworkOrder);
bool ParseDotted(std::string_view text, uint32_t& addrNetworkOrder);

}  // namespace tessali::nat
