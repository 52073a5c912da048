// `mirt seed build` and `mirt seed info`: make a native seed for a local file as the share builder
// does, and show what a seed holds. Neither starts the engine; the engine tracker URL comes from
// the deployment file.

#include <cstdlib>
#include <optional>

#include "engine/core/engine_api.h"
#include "engine/platform/deploy_config.h"
#include "engine/platform/file.h"
#include "tools/mirt/commands.h"

namespace tessali::mirt {
namespace {

std::string EngineTrackerUrl() {
    return "http://" + platform::Deploy().trackerHost;
}

bool ParseSeconds(const std::string& text, uint64_t& out) {
    if (text.empty() || text.size() > 19 || text.find_first_not_of("0123456789") != std::string::npos) {
        return false;
    }
    out = std::strtoull(text.c_str(), nullptr, 10);
    return true;
}

int RunSeedBuild(const std::vector<std::string>& args) {
    SeedBuildOptions request;
    std::string file;
    std::optional<std::string> tracker;
    std::optional<std::string> out;
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string& a = args[i];
        bool hasValue = i + 1 < args.size();
        if ((a == "--tracker" || a == "--out" || a == "--date" || a == "--adurl") && !hasValue) {
            PrintError(a + " needs a value");
            return 2;
        }
        if (a == "--tracker") {
            tracker = args[++i];
        } else if (a == "--out") {
            out = args[++i];
        } else if (a == "--adurl") {
            request.adUrl = args[++i];
        } else if (a == "--date") {
            uint64_t date = 0;
            if (!ParseSeconds(args[++i], date)) {
                PrintError("--date takes a number of seconds");
                return 2;
            }
            request.creationDate = date;
        } else if (!a.empty() && a[0] == '-') {
            PrintError("unknown option " + a);
            return 2;
        } else if (file.empty()) {
            file = a;
        } else {
            PrintError("seed build takes one FILE");
            return 2;
        }
    }
    if (file.empty()) {
        PrintError(
            "usage: mirt seed build FILE [--tracker URL] [--out SEED] [--date SECONDS] [--adurl TEXT]");
        return 2;
    }
    request.filePath = file;
    request.seedPath = out ? *out : file + ".torrent";
    request.trackerUrl = tracker ? *tracker : EngineTrackerUrl();
    std::string hash;
    int built = BuildSeed(request, EngineTrackerUrl(), &hash);
    if (built == -1) {
        PrintError("cannot build a seed for " + file +
                   " (its name needs a '.', it must be a readable non-empty file, and the seed writable)");
        return 1;
    }
    if (built != 0) {
        PrintError("the seed written to " + request.seedPath + " does not load");
        return 1;
    }
    PrintLine(hash + " " + request.seedPath);
    return 0;
}

int RunSeedInfo(const std::vector<std::string>& args) {
    if (args.size() != 1) {
        PrintError("usage: mirt seed info SEED");
        return 2;
    }
    SeedSummary seed;
    if (!ReadSeed(args[0], EngineTrackerUrl(), &seed)) {
        PrintError("cannot load the seed " + args[0]);
        return 1;
    }
    PrintLine("name: " + seed.name);
    PrintLine("length: " + std::to_string(seed.length));
    PrintLine("piece length: " + std::to_string(seed.pieceLength));
    PrintLine("piece count: " + std::to_string(seed.pieceCount));
    PrintLine("hash: " + seed.hashText);
    PrintLine(std::string("native: ") + (seed.native ? "yes" : "no"));
    PrintLine("info hash: " + seed.infoHashText);
    for (const std::string& t : seed.trackers) {
        PrintLine("tracker: " + t);
    }
    for (const auto& [name, length] : seed.files) {
        PrintLine("file: " + name + " " + std::to_string(length));
    }
    if (!seed.adUrl.empty()) {
        PrintLine("ad url: " + seed.adUrl);
    }
    PrintLine("creation date: " + std::to_string(seed.creationDate));
    return 0;
}

MirtCommandRegistrar g_seedBuild(
    {"seed build",
     "seed build FILE [--tracker URL] [--out SEED] [--date SECONDS] [--adurl TEXT]\n"
     "                             build a seed for FILE; print \"<HASH> <SEED>\"",
     RunSeedBuild});
MirtCommandRegistrar g_seedInfo(
    {"seed info", "seed info SEED             print name, length, piece length, piece count, hash, trackers",
     RunSeedInfo});

}  // namespace
}  // namespace tessali::mirt
