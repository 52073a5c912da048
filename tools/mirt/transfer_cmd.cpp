// `mirt share` and `mirt get`: a headless seeder and a headless downloader. Both run one engine,
// print one flushed line per event, and stop through the engine's shut-down on SIGINT/SIGTERM,
// so no resume record is left half-written.

#include <limits.h>
#include <stdlib.h>

#include <cstdio>
#include <string>

#include "engine/core/engine_api.h"
#include "engine/core/protocol_link.h"
#include "engine/core/task_mgr.h"
#include "engine/platform/file.h"
#include "tools/mirt/commands.h"

namespace tessali::mirt {
namespace {

// Absolute form of a path whose folder exists (the file itself may not).
std::string AbsolutePath(const std::string& path) {
    std::string folder = platform::DirName(path);
    if (folder.empty()) {
        folder = "./";
    }
    char resolved[PATH_MAX];
    if (realpath(folder.c_str(), resolved) == nullptr) {
        return {};
    }
    return platform::WithTrailingSlash(resolved) + platform::BaseName(path);
}

bool StartEngine() {
    InstallStopSignals();
    if (!EngineStartNetwork() || EngineInit() != 0) {
        PrintError("engine start failed");
        return false;
    }
    return true;
}

int RunShare(const std::vector<std::string>& args) {
    if (args.empty()) {
        PrintError("usage: mirt share FILE...");
        return 2;
    }
    if (!StartEngine()) {
        return 1;
    }
    int shared = 0;
    for (const std::string& arg : args) {
        std::string path = AbsolutePath(arg);
        core::TaskHash hash;
        if (path.empty() || !platform::FileExists(path) ||
            core::TaskMgr().CreateShareTask(path, hash, nullptr, 0) != 0) {
            PrintError("cannot share " + arg);
            continue;
        }
        core::LinkAnnounceSource(hash);
        PrintLine(hash.ToText() + " " + path);
        ++shared;
    }
    if (shared > 0) {
        while (!WaitForStop(1000)) {
        }
    }
    EngineUninit();
    return shared > 0 ? 0 : 1;
}

int RunGet(const std::vector<std::string>& args) {
    std::vector<std::string> positional;
    std::vector<std::string> peers;
    std::string framing = "plain";
    for (size_t i = 0; i < args.size(); ++i) {
        if ((args[i] == "--peer" || args[i] == "--framing") && i + 1 >= args.size()) {
            PrintError(args[i] + " needs a value");
            return 2;
        }
        if (args[i] == "--peer") {
            peers.push_back(args[++i]);
        } else if (args[i] == "--framing") {
            framing = args[++i];
            if (framing != "plain" && framing != "http" && framing != "scrambled" && framing != "udp") {
                PrintError("--framing is plain, http, scrambled or udp");
                return 2;
            }
        } else if (!args[i].empty() && args[i][0] == '-') {
            PrintError("unknown option " + args[i]);
            return 2;
        } else {
            positional.push_back(args[i]);
        }
    }
    if (positional.size() != 2) {
        PrintError("usage: mirt get HASH DEST [--peer ADDR:PORT]... [--framing plain|http|scrambled|udp]");
        return 2;
    }
    const std::string hashText = positional[0];
    const std::string dest = AbsolutePath(positional[1]);
    if (dest.empty() || platform::BaseName(dest).empty()) {
        PrintError("the folder of " + positional[1] + " does not exist");
        return 2;
    }
    if (!StartEngine()) {
        return 1;
    }
    int r = AddHashTask(hashText, dest);
    if (r < 0) {
        PrintError("cannot create the task for " + hashText);
        EngineUninit();
        return 1;
    }
    if (!peers.empty()) {
        PrintLine("note: direct peer connections are not part of this engine build yet");
    }
    core::TaskHash hash = core::TaskHash::FromText(hashText);
    int exitCode = 3;  // interrupted
    while (true) {
        core::TaskInfoRecord info{};
        if (!QueryTask(hashText, &info)) {
            PrintError("the task disappeared");
            exitCode = 1;
            break;
        }
        int64_t total = info.TotalSize();
        int64_t have = info.HaveSize();
        char line[256];
        std::snprintf(line, sizeof line, "progress %lld/%lld bytes %.1f%% down %u B/s peers %u",
                      static_cast<long long>(have), static_cast<long long>(total),
                      total > 0 ? 100.0 * static_cast<double>(have) / static_cast<double>(total) : 0.0,
                      info.downloadRate, info.peerCount);
        PrintLine(line);
        if (core::TaskMgr().IsComplete(hash)) {
            PrintLine("complete " + dest);
            exitCode = 0;
            break;
        }
        if (WaitForStop(1000)) {
            break;
        }
    }
    EngineUninit();
    return exitCode;
}

MirtCommandRegistrar g_share(
    {"share",
     "share FILE...               share each file, print \"<HASH> <FILE>\", run until SIGINT/SIGTERM",
     RunShare});
MirtCommandRegistrar g_get({"get",
                            "get HASH DEST [--peer ADDR:PORT]... [--framing plain|http|scrambled|udp]\n"
                            "                             download task HASH into DEST; exit 0 once complete",
                            RunGet});

}  // namespace
}  // namespace tessali::mirt
