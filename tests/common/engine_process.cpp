#include "common/engine_process.h"

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>

#include "common/ports.h"
#include "common/wait_until.h"

namespace tessali::test {

std::string MirtProgram() {
    const char* other = std::getenv("TESSALI_TEST_MIRT");
    return other != nullptr && *other != '\0' ? other : TESSALI_BINARY_DIR "/tools/mirt";
}

CEngineProcess::CEngineProcess(const std::string& dir, DeployOptions deploy, const std::string& xdgDir)
    : CChildProcess(dir), m_deploy(std::move(deploy)), m_xdg(xdgDir.empty() ? Dir() + "xdg/" : xdgDir) {
    if (m_xdg.back() != '/') {
        m_xdg += '/';
    }
    std::filesystem::create_directories(m_xdg);
    if (m_deploy.logFile.empty()) {
        m_deploy.logFile = Dir() + "engine.log";
    }
    WriteDeployFile(DeployPath(), m_deploy);
}

namespace {

DeployOptions ListeningOn(uint16_t listenPort) {
    DeployOptions o;
    o.listenPort = listenPort;
    return o;
}

}  // namespace

CEngineProcess::CEngineProcess(const std::string& dir, uint16_t listenPort, const std::string& xdgDir)
    : CEngineProcess(dir, ListeningOn(listenPort), xdgDir) {}

bool CEngineProcess::Start(std::vector<std::string> args) {
    return CChildProcess::Start(MirtProgram(), std::move(args),
                                {{"XDG_DATA_HOME", m_xdg}, {"TESSALI_DEPLOY", DeployPath()}});
}

std::vector<std::string> CEngineProcess::SeedFiles() const {
    std::vector<std::string> out;
    for (const auto& e : std::filesystem::recursive_directory_iterator(m_xdg)) {
        if (e.path().extension() == ".torrent") {
            out.push_back(e.path().string());
        }
    }
    return out;
}

std::string CEngineProcess::Log() const {
    std::ifstream in(m_deploy.logFile, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

std::string CEngineProcess::LogTail(size_t bytes) const {
    std::string log = Log();
    return log.size() > bytes ? log.substr(log.size() - bytes) : log;
}

bool CEngineProcess::WaitLog(const std::string& text, int seconds) const {
    return WaitUntil([&] { return Log().find(text) != std::string::npos; }, seconds * 1000, 50);
}

Seeder StartSeeder(const TempDir& tmp, const std::string& name, const std::string& file) {
    Seeder s;
    s.port = FreeTcpUdpPort();
    s.mirt = std::make_unique<CEngineProcess>(tmp.Path() + name + "/", s.port);
    s.mirt->Start({"share", file});
    std::string line = s.mirt->WaitLine(file, 60);
    s.hash = line.substr(0, line.find(' '));
    return s;
}

}  // namespace tessali::test
