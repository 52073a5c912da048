// The agent list: the relay servers an engine may reach its tracker through when UDP fails. It is
// an ini file ("Agent.ini", downloaded as "/agent.cfg") with section "AGENTLIST": "ip%d"/"port%d"
// for the list, "ip"/"port" for the agent last logged in through. Reads and writes go through
// CIniFile, so one writer at a time.
#pragma once

#include <compare>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "engine/platform/ini_file.h"

namespace tessali::sources {

inline constexpr const char* kAgentListFile = "Agent.ini";
inline constexpr const char* kAgentListPath = "/agent.cfg";
inline constexpr const char* kAgentListSection = "AGENTLIST";
// A list longer than this is read only this far (the file may come from anywhere).
constexpr int kMaxAgentListEntries = 256;

struct AgentAddress {
    uint32_t addr = 0;  // network order
    uint16_t port = 0;  // host order, as written in the file

    auto operator<=>(const AgentAddress&) const = default;
};

// "ip0"/"port0", "ip1"/"port1", ... until a key is missing; entries whose address is not dotted
// IPv4 or whose port is not 1-65535 are skipped.
std::vector<AgentAddress> ReadAgentList(const platform::CIniFile& ini);
// The agent last logged in through ("ip"/"port"), when present and valid.
std::optional<AgentAddress> ReadLastAgent(const platform::CIniFile& ini);
// Writes "ip" as "%d.%d.%d.%d" and "port" as "%d".
bool WriteLastAgent(const platform::CIniFile& ini, const AgentAddress& agent);
// The text of an agent list file naming `agents`, as a server publishes it.
std::string FormatAgentList(std::span<const AgentAddress> agents);

}  // namespace tessali::sources
