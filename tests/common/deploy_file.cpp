#include "common/deploy_file.h"

#include <fstream>
#include <sstream>

namespace tessali::test {

std::string DeployText(const DeployOptions& o) {
    std::ostringstream ini;
    ini << "[servers]\n"
        << "manifest_base = " << o.manifestBase << "\n"
        << "stats_host = " << o.statsHost << "\n"
        << "home_page = " << o.homePage << "\n"
        << "[engine]\n"
        << "tracker_host = " << o.trackerHost << "\n"
        << "tracker_ip = " << o.trackerIp << "\n"
        << "update_host = " << o.updateHost << "\n"
        << "agent_host = " << o.agentHost << "\n"
        << "agent_ip = " << o.agentIp << "\n"
        << "stun_primary = " << o.stunPrimary << "\n"
        << "stun_fallback = " << o.stunFallback << "\n"
        << "listen_port = " << o.listenPort << "\n"
        << "nat_type = " << (o.natType ? std::to_string(*o.natType) : std::string()) << "\n"
        << "log_file = " << o.logFile << "\n"
        << "log_level = " << o.logLevel << "\n"
        << "lan_search = " << (o.lanSearch ? 1 : 0) << "\n"
        << "max_upload = " << o.maxUpload << "\n"
        << "max_download = " << o.maxDownload << "\n";
    return ini.str();
}

bool WriteDeployFile(const std::string& path, const DeployOptions& options) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << DeployText(options);
    return static_cast<bool>(out.flush());
}

}  // namespace tessali::test
