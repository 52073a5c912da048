// `mirt share` and `mirt get`: a headless seeder and a headless downloader. Both run one engine,
// print one flushed line per event, and stop through the engine's shut-down on SIGINT/SIGTERM,
// so no resume record is left half-written.

#include <arpa/inet.h>
#include <limits.h>
#include <stdlib.h>

#include <algorithm>
#include <cstdio>
#include <optional>
#include <string>

#include "engine/core/engine_api.h"
#include "engine/platform/deploy_config.h"
#include "engine/platform/file.h"
#include "engine/platform/tick.h"
#include "tools/mirt/commands.h"

namespace tessali::mirt {
namespace {

// How often a download between progress lines looks whether it is complete.
constexpr int kCompletionCheckMs = 50;

// A peer named on the command line: "ADDR:PORT" and the framing asked for.
struct NamedPeer {
    uint32_t addr = 0;  // network order
    uint16_t port = 0;  // network order
    PeerFraming framing = PeerFraming::kPlain;
};

PeerFraming FramingNamed(const std::string& framing) {
    return framing == "udp"         ? PeerFraming::kUdp
           : framing == "http"      ? PeerFraming::kHttp
           : framing == "scrambled" ? PeerFraming::kScrambled
                                    : PeerFraming::kPlain;
}

bool ParsePeer(const std::string& text, const std::string& framing, NamedPeer& out) {
    size_t colon = text.rfind(':');
    if (colon == std::string::npos) {
        return false;
    }
    in_addr addr{};
    if (inet_pton(AF_INET, text.substr(0, colon).c_str(), &addr) != 1) {
        return false;
    }
    char* end = nullptr;
    long port = std::strtol(text.c_str() + colon + 1, &end, 10);
    if (*end != '\0' || port <= 0 || port > 65535) {
        return false;
    }
    out.addr = addr.s_addr;
    out.port = htons(static_cast<uint16_t>(port));
    out.framing = FramingNamed(framing);
    return true;
}

// The engine's transfer limits given on the command line; they replace the deployment file's.
struct LimitOptions {
    std::optional<uint32_t> upload;
    std::optional<uint32_t> download;
};

// When args[i] is --max-upload or --max-download, takes it and its value: 1 taken, 0 not a
// limit option, -1 a bad value (already reported).
int TakeLimitOption(const std::vector<std::string>& args, size_t& i, LimitOptions& limits) {
    if (args[i] != "--max-upload" && args[i] != "--max-download") {
        return 0;
    }
    std::optional<uint32_t> value;
    if (i + 1 < args.size()) {
        value = platform::ParseKiBPerSecond(args[i + 1]);
    }
    if (!value) {
        PrintError(args[i] + " wants KiB/s: a whole number from 0 (no limit) to " +
                   std::to_string(platform::kMaxKiBPerSecond));
        return -1;
    }
    (args[i] == "--max-upload" ? limits.upload : limits.download) = value;
    ++i;
    return 1;
}

void ApplyLimitOptions(const LimitOptions& limits) {
    if (!limits.upload && !limits.download) {
        return;
    }
    platform::DeployConfig deploy = platform::Deploy();
    deploy.maxUpload = limits.upload.value_or(deploy.maxUpload);
    deploy.maxDownload = limits.download.value_or(deploy.maxDownload);
    platform::SetDeploy(std::move(deploy));
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
    std::vector<std::string> files;
    LimitOptions limits;
    ProgressOptions progressOptions;
    for (size_t i = 0; i < args.size(); ++i) {
        int taken = TakeLimitOption(args, i, limits);
        if (taken == 0) {
            taken = TakeProgressOption(args, i, progressOptions);
        }
        if (taken < 0) {
            return 2;
        }
        if (taken == 0) {
            files.push_back(args[i]);
        }
    }
    if (files.empty()) {
        PrintError("usage: mirt share FILE... [--max-upload KIB] [--max-download KIB]");
        return 2;
    }
    ApplyLimitOptions(limits);
    if (!StartEngine()) {
        return 1;
    }
    int shared = 0;
    std::vector<std::string> hashes;
    for (const std::string& arg : files) {
        std::string path = AbsolutePath(arg);
        std::string hash;
        if (path.empty() || AddShareTask(path, &hash) != 0) {
            PrintError("cannot share " + arg);
            continue;
        }
        PrintLine(hash + " " + path);
        hashes.push_back(hash);
        ++shared;
    }
    if (shared > 0) {
        // A seeder prints nothing per interval in lines mode; on a terminal it shows its uploads.
        CCommandProgress progress(progressOptions);
        do {
            if (progress.Mode() != ProgressMode::kLive) {
                continue;
            }
            ProgressSnapshot snap;
            snap.sharing = true;
            snap.files = shared;
            for (const std::string& h : hashes) {
                core::TaskInfoRecord info{};
                if (QueryTask(h, &info)) {
                    snap.upRate += info.uploadRate;
                    snap.downRate += info.downloadRate;
                    snap.peers += info.peerCount;
                }
            }
            progress.Show(snap, {});
        } while (!WaitForStop(1000));
    }
    EngineUninit();
    return shared > 0 ? 0 : 1;
}

// What this run received: piece data in all, and from each peer still connected.
void ReportPeers(const std::string& hashText) {
    PrintLine("received " + std::to_string(ReceivedPieceBytes()) + " bytes");
    for (const TaskPeerReceipt& p : QueryTaskPeers(hashText)) {
        in_addr a{p.addr};
        char text[INET_ADDRSTRLEN] = {};
        inet_ntop(AF_INET, &a, text, sizeof text);
        PrintLine(std::string("from ") + text + ":" + std::to_string(ntohs(p.port)) + " " +
                  std::to_string(p.bytes) + " bytes");
    }
}

// `mirt get` as the command line gave it.
struct GetOptions {
    std::string hashText;
    std::string destArg;  // DEST as typed
    std::vector<std::string> peers;
    std::string framing = "plain";
    int progressMs = 1000;
    LimitOptions limits;
    ProgressOptions progress;
};

// Reads the arguments of `mirt get`: 0, or the exit code after a reported error.
int ParseGetOptions(const std::vector<std::string>& args, GetOptions& options) {
    std::vector<std::string> positional;
    for (size_t i = 0; i < args.size(); ++i) {
        int taken = TakeLimitOption(args, i, options.limits);
        if (taken == 0) {
            taken = TakeProgressOption(args, i, options.progress);
        }
        if (taken != 0) {
            if (taken < 0) {
                return 2;
            }
            continue;
        }
        if ((args[i] == "--peer" || args[i] == "--framing" || args[i] == "--progress-ms") &&
            i + 1 >= args.size()) {
            PrintError(args[i] + " needs a value");
            return 2;
        }
        if (args[i] == "--peer") {
            options.peers.push_back(args[++i]);
        } else if (args[i] == "--progress-ms") {
            options.progressMs = std::atoi(args[++i].c_str());
            if (options.progressMs < 10 || options.progressMs > 60000) {
                PrintError("--progress-ms is 10 to 60000");
                return 2;
            }
        } else if (args[i] == "--framing") {
            options.framing = args[++i];
            if (options.framing != "plain" && options.framing != "http" && options.framing != "scrambled" &&
                options.framing != "udp") {
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
    options.hashText = positional[0];
    options.destArg = positional[1];
    return 0;
}

// Follows the download of a created task until it completes, the engine pauses it or a stop
// signal comes, trying the named peers every second and printing one progress line per
// interval. The exit code.
int FollowDownload(const GetOptions& options, const std::string& dest, const std::vector<NamedPeer>& peers) {
    const std::string& hashText = options.hashText;
    int exitCode = 3;  // interrupted
    platform::Tick lastTry = platform::GetTick() - 1000;
    CCommandProgress progress(options.progress);
    while (true) {
        // A peer that is not connected (yet, or any more) is tried again every second.
        if (platform::TickElapsed(platform::GetTick(), lastTry) >= 1000) {
            lastTry = platform::GetTick();
            for (const NamedPeer& peer : peers) {
                ConnectTaskPeer(hashText, peer.addr, peer.port, peer.framing);
            }
        }
        core::TaskInfoRecord info{};
        if (!QueryTask(hashText, &info)) {
            PrintError("the task disappeared");
            exitCode = 1;
            break;
        }
        int64_t total = info.TotalSize();
        int64_t have = info.HaveSize();
        // Piece bytes this process received so far, so a script can tell what a resumed run
        // fetched again even when the run is killed before its closing lines.
        int64_t received = ReceivedPieceBytes();
        char line[256];
        std::snprintf(line, sizeof line, "progress %lld/%lld bytes %.1f%% down %u B/s peers %u received %lld",
                      static_cast<long long>(have), static_cast<long long>(total),
                      total > 0 ? 100.0 * static_cast<double>(have) / static_cast<double>(total) : 0.0,
                      info.downloadRate, info.peerCount, static_cast<long long>(received));
        ProgressSnapshot snap;
        snap.have = have;
        snap.total = total;
        snap.downRate = info.downloadRate;
        snap.upRate = info.uploadRate;
        snap.peers = info.peerCount;
        progress.Show(snap, line);
        TaskRunState state = QueryTaskRunState(hashText);
        if (state == TaskRunState::kComplete) {
            ReportPeers(hashText);
            PrintLine("complete " + dest);
            exitCode = 0;
            break;
        }
        // Nobody pauses a task here but the engine itself, when it cannot store the content
        // (disk full, content file gone): waiting on would never end.
        if (state == TaskRunState::kPaused) {
            PrintLine("paused " + dest);
            PrintError("the task stopped: its content could not be stored (see the engine log)");
            exitCode = 4;
            break;
        }
        // A completed download ends at once, not at the next progress line.
        bool stopped = false;
        for (int waited = 0; waited < options.progressMs && !stopped &&
                             QueryTaskRunState(hashText) != TaskRunState::kComplete;
             waited += kCompletionCheckMs) {
            stopped = WaitForStop(std::min(kCompletionCheckMs, options.progressMs - waited));
        }
        if (stopped) {
            break;
        }
    }
    return exitCode;
}

int RunGet(const std::vector<std::string>& args) {
    GetOptions options;
    if (int bad = ParseGetOptions(args, options); bad != 0) {
        return bad;
    }
    if (std::string reason; !MakeFoldersFor(options.destArg, reason)) {
        PrintError(reason);
        return 1;
    }
    const std::string dest = AbsolutePath(options.destArg);
    if (dest.empty() || platform::BaseName(dest).empty()) {
        PrintError("the folder of " + options.destArg + " does not exist");
        return 2;
    }
    if (platform::DirectoryExists(dest)) {
        PrintError(options.destArg + " is a folder: DEST is the path of the file to download");
        return 2;
    }
    ApplyLimitOptions(options.limits);
    if (!StartEngine()) {
        return 1;
    }
    if (AddHashTask(options.hashText, dest) < 0) {
        PrintError("cannot create the task for " + options.hashText);
        EngineUninit();
        return 1;
    }
    std::vector<NamedPeer> peers;
    for (const std::string& p : options.peers) {
        NamedPeer peer;
        if (!ParsePeer(p, options.framing, peer)) {
            PrintError("--peer wants ADDR:PORT, not " + p);
            EngineUninit();
            return 2;
        }
        peers.push_back(peer);
    }
    int exitCode = FollowDownload(options, dest, peers);
    EngineUninit();
    return exitCode;
}

MirtCommandRegistrar g_share(
    {"share",
     "share FILE... [--max-upload KIB] [--max-download KIB] [--progress=live|lines] [--quiet]\n"
     "                             share each file, print \"<HASH> <FILE>\", run until SIGINT/SIGTERM;\n"
     "                             --max-upload/--max-download cap the engine in KiB/s (0 = none)",
     RunShare});
MirtCommandRegistrar g_get(
    {"get",
     "get HASH DEST [--peer ADDR:PORT]... [--framing plain|http|scrambled|udp] [--progress-ms N]\n"
     "                             [--max-download KIB] [--max-upload KIB] (KiB/s, 0 = none)\n"
     "                             [--progress=live|lines] [--quiet]: a live status line on a\n"
     "                             terminal, one plain line per interval elsewhere or with lines\n"
     "                             download task HASH into DEST; exit 0 once complete, 4 when the\n"
     "                             engine paused the task (its content could not be stored)",
     RunGet});

}  // namespace
}  // namespace tessali::mirt
