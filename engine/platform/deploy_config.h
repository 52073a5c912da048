// The deployment file: where this installation finds its servers (manifest, statistics, engine
// tracker, agent list, STUN) and a few engine settings. Read from the path in $TESSALI_DEPLOY,
// else "deploy.ini" beside the program. Missing keys keep the loopback defaults below.
// Loaded once per process by Deploy(); tests may load private copies with LoadDeployConfig.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace tessali::platform {

struct HostPort {
    std::string host;
    uint16_t port = 80;
    std::string Text() const;  // "host:port"
};

// "host[:port]" -> host and port (default port when absent or not a number in 1..65535).
HostPort ParseHostPort(std::string_view text, uint16_t defaultPort = 80);

struct DeployConfig {
    std::string path;  // the file read ("" when none was found)

    // [servers]
    std::string manifestBase = "http://127.0.0.1:8080/";
    std::string statsHost = "127.0.0.1:8081";
    std::string homePage = "http://127.0.0.1:8080/";
    // [engine]
    std::string trackerHost = "127.0.0.1:6970";
    std::string trackerIp = "127.0.0.1";
    std::string updateHost = "127.0.0.1:8080";
    std::string agentHost = "127.0.0.1:6971";
    std::string agentIp = "127.0.0.1";
    std::string stunPrimary = "127.0.0.1:3478";
    std::string stunFallback = "127.0.0.2:3478";
    uint16_t listenPort = 0;
    std::optional<int> natType;  // unset: detect with STUN
    std::string logFile;
    int logLevel = 1;
    bool lanSearch = true;  // lan_search = 0 keeps the engine from searching the local network
    // The engine's standing transfer limits in KiB/s (0 = none).
    uint32_t maxUpload = 0;
    uint32_t maxDownload = 0;
};

// The largest transfer limit taken (KiB/s): about 4 GiB/s, so that bytes per second fit 32 bits.
constexpr uint32_t kMaxKiBPerSecond = 4194303;
// A transfer limit in KiB/s as written in the file or on a command line: decimal digits only,
// blanks around allowed, at most kMaxKiBPerSecond; nothing otherwise.
std::optional<uint32_t> ParseKiBPerSecond(std::string_view text);

// Reads `path`; a missing file gives the defaults (with path left empty).
DeployConfig LoadDeployConfig(const std::string& path);
// The file the process uses: $TESSALI_DEPLOY, else deploy.ini beside the program.
std::string DeployConfigPath();
// The process-wide configuration, loaded on first use.
const DeployConfig& Deploy();
// Replaces the process-wide configuration (tests and tools that take a path on the command line).
void SetDeploy(DeployConfig config);

}  // namespace tessali::platform
