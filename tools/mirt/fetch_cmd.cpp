// `mirt fetch URL DEST`: downloads an HTTP source into DEST through the engine's HTTP agent, the
// way a patch with an HTTP URL is added. One flushed progress line per second; exit 0 once the
// file is complete and in place, 1 when the server refused or the download was given up, 3 when
// interrupted.

#include <limits.h>
#include <stdlib.h>

#include <cstdio>
#include <string>

#include "engine/core/engine_api.h"
#include "engine/platform/file.h"
#include "tools/mirt/commands.h"

namespace tessali::mirt {
namespace {

int RunFetch(const std::vector<std::string>& args) {
    std::vector<std::string> positional;
    ProgressOptions progressOptions;
    for (size_t i = 0; i < args.size(); ++i) {
        int taken = TakeProgressOption(args, i, progressOptions);
        if (taken < 0) {
            return 2;
        }
        if (taken == 0) {
            positional.push_back(args[i]);
        }
    }
    if (positional.size() != 2) {
        PrintError("usage: mirt fetch URL DEST [--progress=live|lines] [--quiet]");
        return 2;
    }
    const std::string& url = positional[0];
    if (std::string reason; !MakeFoldersFor(positional[1], reason)) {
        PrintError(reason);
        return 1;
    }
    std::string dest = AbsolutePath(positional[1]);
    if (dest.empty() || platform::BaseName(dest).empty()) {
        PrintError("the folder of " + positional[1] + " does not exist");
        return 2;
    }
    InstallStopSignals();
    // Only HTTP moves data here: the transfer does not wait for NAT detection.
    if (!EngineStartNetwork() || EngineInit(EngineUse::kHttpOnly) != 0) {
        PrintError("engine start failed");
        return 1;
    }
    const std::string key = HttpSourceHashText(url);
    if (!AddSeedTask(url, key, dest)) {
        PrintError("cannot add the HTTP source " + url);
        EngineUninit();
        return 1;
    }
    int exitCode = 3;
    int waited = 0;
    CCommandProgress progress(progressOptions);
    while (true) {
        HttpSourceRecord source;
        QueryHttpSource(key, &source);
        if (source.complete) {
            PrintLine("complete " + dest);
            exitCode = 0;
            break;
        }
        if (source.failed) {
            const std::string& answer = source.failedAnswer;
            PrintError("download failed" +
                       (answer.empty() ? std::string() : ": " + answer.substr(0, answer.find("\r\n"))));
            exitCode = 1;
            break;
        }
        // A line per second; the check above runs every 50 ms so that completion is seen at once.
        if (waited % 1000 == 0) {
            char line[256];
            if (source.contentLength == 0) {
                std::snprintf(line, sizeof line, "progress %lld bytes down %u B/s",
                              static_cast<long long>(source.written), source.speed);
            } else {
                std::snprintf(
                    line, sizeof line, "progress %lld/%lld bytes %.1f%% down %u B/s",
                    static_cast<long long>(source.written), static_cast<long long>(source.contentLength),
                    100.0 * static_cast<double>(source.written) / static_cast<double>(source.contentLength),
                    source.speed);
            }
            ProgressSnapshot snap;
            snap.have = source.written;
            snap.total = source.contentLength;
            snap.downRate = source.speed;
            snap.peers = 1;
            progress.Show(snap, line);
        }
        if (WaitForStop(50)) {
            StopHttpSource(key);
            break;
        }
        waited += 50;
    }
    EngineUninit();
    return exitCode;
}

MirtCommandRegistrar g_fetch(
    {"fetch",
     "fetch URL DEST [--progress=live|lines] [--quiet]\n"
     "                             download an HTTP source into DEST; exit 0 once complete",
     RunFetch});

}  // namespace
}  // namespace tessali::mirt
