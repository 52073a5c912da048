// Deployment files for tests, with every key of resources/deploy.ini by name. The defaults point
// every server at a loopback port where nothing listens and fix the NAT type, so an engine
// reaches only what its test starts and names.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace tessali::test {

struct DeployOptions {
    // [servers]
    std::string manifestBase = "http://127.0.0.1:1/";
    std::string statsHost = "127.0.0.1:1";
    std::string homePage = "http://127.0.0.1:1/";
    // [engine]
    std::string trackerHost = "127.0.0.1:1";
    std::string trackerIp = "127.0.0.1";
    std::string updateHost = "127.0.0.1:1";
    std::string agentHost = "127.0.0.1:1";
    std::string agentIp = "127.0.0.1";
    std::string stunPrimary = "127.0.0.1:1";
    std::string stunFallback = "127.0.0.1:1";
    uint16_t listenPort = 0;
    std::optional<int> natType = 0;  // nothing: detected with STUN
    std::string logFile;             // "": no engine log
    int logLevel = 1;
    bool lanSearch = false;
    uint32_t maxUpload = 0;  // KiB/s, 0 = no limit
    uint32_t maxDownload = 0;
};

// The file's text: both sections, every key.
std::string DeployText(const DeployOptions& options);
// Writes DeployText to `path`; false when it could not be written.
bool WriteDeployFile(const std::string& path, const DeployOptions& options);

}  // namespace tessali::test
