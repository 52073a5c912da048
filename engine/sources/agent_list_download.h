// Downloading the agent list from the update server: one plain HTTP GET of "/agent.cfg", the body
// saved through a temporary file and then moved over the target ("Agent.ini"). Blocking (10 s
// receive time-out); run only on the tracker agent's own thread.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

namespace tessali::sources {

constexpr int kAgentListReceiveTimeoutMs = 10000;
constexpr size_t kAgentListChunkBytes = 16384;
// The list is a small ini file: a body longer than this is refused rather than written.
constexpr size_t kMaxAgentListBytes = 1 << 20;

// "http://host[:port]/path" -> host part and path (without its leading '/').
struct AgentListUrl {
    std::string hostPart;
    std::string path;
};
AgentListUrl SplitAgentListUrl(const std::string& url);
// The request text sent for `url`.
std::string AgentListRequest(const AgentListUrl& url);

// Downloads `url` into `targetPath`; false on any failure, with the target left as it was.
// `resolve` turns a host name into an IPv4 address (network order, 0 on failure).
bool DownloadAgentList(const std::string& url, const std::string& targetPath,
                       const std::function<uint32_t(const std::string&)>& resolve);

}  // namespace tessali::sources
