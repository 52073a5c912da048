// `mirt status`: starts the engine, reports where it keeps its files and how it is reachable,
// and shuts it down again. A quick check that an installation and its deployment file work.

#include "engine/core/engine_api.h"
#include "engine/platform/deploy_config.h"
#include "tools/mirt/commands.h"

namespace tessali::mirt {
namespace {

int RunStatus(const std::vector<std::string>& args) {
    if (!args.empty()) {
        PrintError("status takes no arguments");
        return 2;
    }
    if (!EngineStartNetwork()) {
        PrintError("network start failed");
        return 1;
    }
    if (EngineInit() != 0) {
        PrintError("engine start failed");
        return 1;
    }
    const auto& deploy = platform::Deploy();
    PrintLine("engine started");
    PrintLine("deployment file: " +
              (deploy.path.empty() ? std::string("(none, built-in defaults)") : deploy.path));
    const EngineFacts facts = QueryEngineFacts();
    PrintLine("engine root: " + facts.rootFolder);
    PrintLine("data folder: " + facts.dataFolder);
    PrintLine("local address: " + facts.localAddress);
    PrintLine("listen port: " + std::to_string(facts.listenPort));
    PrintLine("nat type: " + std::to_string(facts.natType));
    PrintLine("engine tracker: " + facts.trackerHost + " (" + facts.trackerAddress + ")");
    EngineUninit();
    PrintLine("engine stopped");
    return 0;
}

MirtCommandRegistrar g_status(
    {"status", "status                     start the engine, show its folders, address and port, stop it",
     RunStatus});

}  // namespace
}  // namespace tessali::mirt
