// An engine process for tests: the `mirt` program with its own data folder ($XDG_DATA_HOME),
// deployment file ($TESSALI_DEPLOY, written from named options) and engine log, on top of the
// child-process helper. Used from the test thread only.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "common/child_process.h"
#include "common/deploy_file.h"

namespace tessali::test {

// The engine program: this build's `mirt`, or the one named by $TESSALI_TEST_MIRT (to see how
// another build, an older one say, stands up to the same tests).
std::string MirtProgram();

class CEngineProcess : public CChildProcess {
public:
    // `dir` holds the deployment file, the engine log (unless `deploy` names another) and the
    // output; `xdgDir` (default: dir + "xdg/") the engine's folders. The listening port is
    // deploy.listenPort.
    CEngineProcess(const std::string& dir, DeployOptions deploy, const std::string& xdgDir = {});
    // The common case: every server unreachable, listening on `listenPort`.
    CEngineProcess(const std::string& dir, uint16_t listenPort, const std::string& xdgDir = {});

    using CChildProcess::Start;
    // Runs `mirt ARGS` in this engine's folders; a run still going is killed first.
    bool Start(std::vector<std::string> args);

    const DeployOptions& Deploy() const { return m_deploy; }
    std::string DeployPath() const { return Dir() + "deploy.ini"; }
    uint16_t ListenPort() const { return m_deploy.listenPort; }
    const std::string& Xdg() const { return m_xdg; }
    std::string DataFolder() const { return m_xdg + "Tessali/Data/"; }
    // The seed files the engine keeps in its data folder.
    std::vector<std::string> SeedFiles() const;

    std::string Log() const;
    // The last `bytes` of the engine log, for failure messages.
    std::string LogTail(size_t bytes = 4000) const;
    // Waits up to `seconds` for `text` in the engine log.
    bool WaitLog(const std::string& text, int seconds) const;

private:
    DeployOptions m_deploy;
    std::string m_xdg;
};

// A seeder of `file`: started, and its hash read from its first line.
struct Seeder {
    std::unique_ptr<CEngineProcess> mirt;
    uint16_t port = 0;
    std::string hash;
};
Seeder StartSeeder(const TempDir& tmp, const std::string& name, const std::string& file);

}  // namespace tessali::test
