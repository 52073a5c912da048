// The engine's server names and addresses, taken from the deployment file at EngineInit: the
// engine tracker (host name in a 32-byte field, its address and port, the fallback address),
// the agent-list server, the second tracker address and the STUN servers.
// Written once during start-up, read by the protocol layers afterwards.
#pragma once

#include <cstdint>
#include <string>

namespace tessali::core {

constexpr size_t kHostFieldBytes = 32;

struct EngineConfig {
    char trackerHost[kHostFieldBytes] = {};  // "host[:port]" as configured
    char agentListHost[kHostFieldBytes] = {};
    std::string trackerName;  // host part
    uint16_t trackerPort = 80;
    uint32_t trackerAddr = 0;  // network order; resolved, else the fallback
    uint32_t fallbackTrackerAddr = 0;
    uint32_t secondTrackerAddr = 0;
    std::string agentHost;  // default agent relay "host[:port]"
    uint32_t agentAddr = 0;
    std::string stunPrimary;
    std::string stunFallback;
    uint32_t allocationGranularity = 4096;

    // "http://" + tracker host: added as tracker of every download task and written into built seeds.
    std::string TrackerUrl() const { return std::string("http://") + trackerHost; }
};

EngineConfig& Config();

// Dotted IPv4 text or a name resolved with getaddrinfo; 0 when neither works.
uint32_t ResolveIPv4(const std::string& host);

}  // namespace tessali::core
