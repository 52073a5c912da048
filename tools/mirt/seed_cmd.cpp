// `mirt seed build` and `mirt seed info`: make a native seed for a local file as the share builder
// does, and show what a seed holds. Neither starts the engine; the engine tracker URL comes from
// the deployment file.

#include <cstdlib>
#include <optional>

#include "engine/core/seed.h"
#include "engine/core/seed_builder.h"
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
    core::SeedBuildRequest request;
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
    request.displayName = platform::BaseName(file);
    request.seedName = request.displayName;
    request.seedPath = out ? *out : file + ".torrent";
    request.trackerUrl = tracker ? *tracker : EngineTrackerUrl();
    if (core::BuildSeedForFile(request) != 0) {
        PrintError("cannot build a seed for " + file +
                   " (its name needs a '.', it must be a readable non-empty file, and the seed writable)");
        return 1;
    }
    core::CSeed seed(request.seedPath);
    if (!seed.LoadFromDisk()) {
        PrintError("the seed written to " + request.seedPath + " does not load");
        return 1;
    }
    PrintLine(seed.TaskId(EngineTrackerUrl()).ToText() + " " + request.seedPath);
    return 0;
}

int RunSeedInfo(const std::vector<std::string>& args) {
    if (args.size() != 1) {
        PrintError("usage: mirt seed info SEED");
        return 2;
    }
    core::CSeed seed(args[0]);
    if (!seed.LoadFromDisk()) {
        PrintError("cannot load the seed " + args[0]);
        return 1;
    }
    const std::string engineUrl = EngineTrackerUrl();
    PrintLine("name: " + seed.Name());
    PrintLine("length: " + std::to_string(seed.TotalLength()));
    PrintLine("piece length: " + std::to_string(seed.PieceLength()));
    PrintLine("piece count: " + std::to_string(seed.PieceCount()));
    PrintLine("hash: " + seed.TaskId(engineUrl).ToText());
    PrintLine(std::string("native: ") + (seed.IsNative(engineUrl) ? "yes" : "no"));
    PrintLine("info hash: " + seed.InfoHash().ToText());
    for (const std::string& t : seed.Trackers()) {
        PrintLine("tracker: " + t);
    }
    for (size_t i = 0; i < seed.FileCount(); ++i) {
        PrintLine("file: " + seed.FileName(i) + " " + std::to_string(seed.FileLength(i)));
    }
    if (!seed.AdUrl().empty()) {
        PrintLine("ad url: " + seed.AdUrl());
    }
    PrintLine("creation date: " + std::to_string(seed.CreationDate()));
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
