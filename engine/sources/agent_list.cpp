#include "engine/sources/agent_list.h"

#include <arpa/inet.h>

#include <charconv>
#include <cstdio>

#include "engine/sources/tracker_messages.h"

namespace tessali::sources {
namespace {

// A value no real key holds, to tell a missing key from an empty one.
constexpr const char* kMissing = "\x01";

std::optional<AgentAddress> Parse(const std::string& ip, const std::string& port) {
    in_addr a{};
    if (inet_pton(AF_INET, ip.c_str(), &a) != 1) {
        return std::nullopt;
    }
    int p = 0;
    auto [end, ec] = std::from_chars(port.data(), port.data() + port.size(), p);
    if (ec != std::errc() || end != port.data() + port.size() || p < 1 || p > 65535) {
        return std::nullopt;
    }
    return AgentAddress{a.s_addr, static_cast<uint16_t>(p)};
}

}  // namespace

std::vector<AgentAddress> ReadAgentList(const platform::CIniFile& ini) {
    std::vector<AgentAddress> out;
    for (int n = 0; n < kMaxAgentListEntries; ++n) {
        std::string ip = ini.GetString(kAgentListSection, "ip" + std::to_string(n), kMissing);
        std::string port = ini.GetString(kAgentListSection, "port" + std::to_string(n), kMissing);
        if (ip == kMissing || port == kMissing) {
            break;
        }
        if (std::optional<AgentAddress> a = Parse(ip, port)) {
            out.push_back(*a);
        }
    }
    return out;
}

std::optional<AgentAddress> ReadLastAgent(const platform::CIniFile& ini) {
    return Parse(ini.GetString(kAgentListSection, "ip"), ini.GetString(kAgentListSection, "port"));
}

bool WriteLastAgent(const platform::CIniFile& ini, const AgentAddress& agent) {
    const auto* b = reinterpret_cast<const uint8_t*>(&agent.addr);
    char ip[32];
    std::snprintf(ip, sizeof ip, "%d.%d.%d.%d", b[0], b[1], b[2], b[3]);
    return ini.WriteString(kAgentListSection, "ip", ip) &&
           ini.WriteString(kAgentListSection, "port", std::to_string(agent.port));
}

std::string FormatAgentList(std::span<const AgentAddress> agents) {
    std::string text = "[" + std::string(kAgentListSection) + "]\r\n";
    for (size_t n = 0; n < agents.size(); ++n) {
        text += "ip" + std::to_string(n) + "=" + AddrText(agents[n].addr) + "\r\n";
        text += "port" + std::to_string(n) + "=" + std::to_string(agents[n].port) + "\r\n";
    }
    return text;
}

}  // namespace tessali::sources
