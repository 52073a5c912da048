#include "engine/platform/deploy_config.h"

#include <cstdlib>
#include <memory>
#include <mutex>

#include "engine/platform/file.h"
#include "engine/platform/ini_file.h"

namespace tessali::platform {
namespace {

std::mutex g_lock;
std::unique_ptr<DeployConfig> g_config;

}  // namespace

std::string HostPort::Text() const {
    return host + ":" + std::to_string(port);
}

HostPort ParseHostPort(std::string_view text, uint16_t defaultPort) {
    HostPort hp;
    hp.port = defaultPort;
    size_t colon = text.rfind(':');
    if (colon == std::string_view::npos) {
        hp.host = std::string(text);
        return hp;
    }
    hp.host = std::string(text.substr(0, colon));
    std::string portText(text.substr(colon + 1));
    char* end = nullptr;
    long port = std::strtol(portText.c_str(), &end, 10);
    if (!portText.empty() && *end == '\0' && port > 0 && port <= 65535) {
        hp.port = static_cast<uint16_t>(port);
    }
    return hp;
}

std::optional<uint32_t> ParseKiBPerSecond(std::string_view text) {
    size_t first = text.find_first_not_of(" \t");
    size_t last = text.find_last_not_of(" \t");
    if (first == std::string_view::npos) {
        return std::nullopt;
    }
    text = text.substr(first, last - first + 1);
    uint64_t value = 0;
    for (char ch : text) {
        if (ch < '0' || ch > '9') {
            return std::nullopt;
        }
        value = value * 10 + static_cast<uint64_t>(ch - '0');
        if (value > kMaxKiBPerSecond) {
            return std::nullopt;
        }
    }
    return static_cast<uint32_t>(value);
}

DeployConfig LoadDeployConfig(const std::string& path) {
    DeployConfig c;
    if (!FileExists(path)) {
        return c;
    }
    c.path = path;
    CIniFile ini(path);
    auto text = [&](const char* section, const char* key, std::string& field) {
        field = ini.GetString(section, key, field);
    };
    text("servers", "manifest_base", c.manifestBase);
    text("servers", "stats_host", c.statsHost);
    text("servers", "home_page", c.homePage);
    text("engine", "tracker_host", c.trackerHost);
    text("engine", "tracker_ip", c.trackerIp);
    text("engine", "update_host", c.updateHost);
    text("engine", "agent_host", c.agentHost);
    text("engine", "agent_ip", c.agentIp);
    text("engine", "stun_primary", c.stunPrimary);
    text("engine", "stun_fallback", c.stunFallback);
    text("engine", "log_file", c.logFile);
    int port = ini.GetInt("engine", "listen_port", 0);
    c.listenPort = (port > 0 && port <= 65535) ? static_cast<uint16_t>(port) : 0;
    int nat = ini.GetInt("engine", "nat_type", -1);
    if (nat >= 0 && nat <= 7) {
        c.natType = nat;
    }
    c.logLevel = ini.GetInt("engine", "log_level", c.logLevel);
    c.lanSearch = ini.GetInt("engine", "lan_search", 1) != 0;
    c.maxUpload = ParseKiBPerSecond(ini.GetString("engine", "max_upload", "")).value_or(0);
    c.maxDownload = ParseKiBPerSecond(ini.GetString("engine", "max_download", "")).value_or(0);
    return c;
}

std::string DeployConfigPath() {
    const char* env = std::getenv("TESSALI_DEPLOY");
    if (env != nullptr && env[0] != '\0') {
        return env;
    }
    return ProgramDir() + "deploy.ini";
}

const DeployConfig& Deploy() {
    std::lock_guard lock(g_lock);
    if (!g_config) {
        g_config = std::make_unique<DeployConfig>(LoadDeployConfig(DeployConfigPath()));
    }
    return *g_config;
}

void SetDeploy(DeployConfig config) {
    std::lock_guard lock(g_lock);
    g_config = std::make_unique<DeployConfig>(std::move(config));
}

}  // namespace tessali::platform
