// mirt: the command-line front-end of the engine, for headless seeders, servers, tests and
// terminal users. One engine per process; run `mirt --help` for the commands.

#include <limits.h>
#include <signal.h>
#include <sys/stat.h>
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <thread>

#include "engine/core/engine_api.h"
#include "engine/platform/file.h"
#include "tools/mirt/commands.h"

namespace tessali::mirt {
namespace {

std::atomic<bool> g_stop{false};

void OnStopSignal(int) {
    g_stop = true;
}

// Written once, for every command's help and README alike.
constexpr const char* kExitCodes =
    "exit codes: 0 done (complete, shared, printed), 1 failed (engine, file or network error),\n"
    "            2 bad arguments, 3 interrupted by SIGINT/SIGTERM (a download resumes on the next\n"
    "            run), 4 paused by the engine (its content could not be stored)\n";

void PrintUsage() {
    std::printf("usage: mirt COMMAND [ARGS...]\n       mirt help COMMAND | mirt COMMAND --help | mirt --version\n\ncommands:\n");
    std::vector<MirtCommand> sorted = Commands();
    std::sort(sorted.begin(), sorted.end(), [](const auto& a, const auto& b) { return a.name < b.name; });
    for (const MirtCommand& c : sorted) {
        std::printf("  %s\n", c.usage.c_str());
    }
    std::printf("\n%s", kExitCodes);
    std::printf("\nThe deployment file is $TESSALI_DEPLOY, else deploy.ini beside the program.\n");
    std::fflush(stdout);
}

void PrintCommandHelp(const MirtCommand& c) {
    std::printf("usage: mirt %s\n\n%s", c.usage.c_str(), kExitCodes);
    std::fflush(stdout);
}

void PrintVersion() {
    std::printf("mirt %s (engine version %04d)\n", TESSALI_VERSION, EngineVersion());
    std::fflush(stdout);
}

// The command whose name matches most leading words of `args` ("seed build" over "seed").
const MirtCommand* FindCommand(const std::vector<std::string>& args, size_t& words) {
    const MirtCommand* best = nullptr;
    words = 0;
    for (const MirtCommand& c : Commands()) {
        std::vector<std::string> name;
        size_t start = 0;
        while (start <= c.name.size()) {
            size_t space = c.name.find(' ', start);
            name.push_back(c.name.substr(start, space == std::string::npos ? std::string::npos : space - start));
            if (space == std::string::npos) {
                break;
            }
            start = space + 1;
        }
        if (name.size() <= args.size() && std::equal(name.begin(), name.end(), args.begin()) &&
            name.size() > words) {
            best = &c;
            words = name.size();
        }
    }
    return best;
}

}  // namespace

std::vector<MirtCommand>& Commands() {
    static std::vector<MirtCommand> commands;
    return commands;
}

int TakeProgressOption(const std::vector<std::string>& args, size_t& i, ProgressOptions& options) {
    const std::string& a = args[i];
    if (a == "--quiet" || a == "-q") {
        options.quiet = true;
        return 1;
    }
    std::string value;
    if (a.rfind("--progress=", 0) == 0) {
        value = a.substr(11);
    } else if (a == "--progress" && i + 1 < args.size()) {
        value = args[++i];
    } else if (a == "--progress") {
        value = "?";
    } else {
        return 0;
    }
    ProgressMode mode{};
    if (!ChooseProgressMode(value, false, true, mode) || value.empty()) {
        PrintError("--progress is live or lines, not " + value);
        return -1;
    }
    options.mode = value;
    return 1;
}

CCommandProgress::CCommandProgress(const ProgressOptions& options)
    : m_display(
          [&] {
              ProgressMode mode = ProgressMode::kLines;
              ChooseProgressMode(options.mode, options.quiet, isatty(STDOUT_FILENO) == 1, mode);
              return mode;
          }(),
          stdout, TerminalWidth(STDOUT_FILENO), ColorWanted(isatty(STDOUT_FILENO) == 1)) {
    ActiveProgressDisplay() = &m_display;
}

CCommandProgress::~CCommandProgress() {
    m_display.Break();
    ActiveProgressDisplay() = nullptr;
}

void PrintLine(const std::string& line) {
    if (CProgressDisplay* display = ActiveProgressDisplay()) {
        display->Break();
    }
    std::fwrite(line.data(), 1, line.size(), stdout);
    std::fputc('\n', stdout);
    std::fflush(stdout);
}

void PrintError(const std::string& line) {
    if (CProgressDisplay* display = ActiveProgressDisplay()) {
        display->Break();
    }
    std::fprintf(stderr, "mirt: %s\n", line.c_str());
    std::fflush(stderr);
}

bool MakeFoldersFor(const std::string& path, std::string& reason) {
    std::string folder = platform::DirName(path);
    for (size_t at = 1; !folder.empty() && at <= folder.size(); ++at) {
        if (at != folder.size() && folder[at] != '/') {
            continue;
        }
        std::string part = folder.substr(0, at);
        struct stat st {};
        if (stat(part.c_str(), &st) == 0) {
            if (!S_ISDIR(st.st_mode)) {
                reason = part + " is not a folder";
                return false;
            }
            continue;
        }
        if (mkdir(part.c_str(), 0777) != 0 && errno != EEXIST) {
            reason = "cannot make the folder " + part + " (" + std::strerror(errno) + ")";
            return false;
        }
    }
    return true;
}

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

void InstallStopSignals() {
    struct sigaction sa {};
    sa.sa_handler = OnStopSignal;
    sigemptyset(&sa.sa_mask);
    sigaction(SIGINT, &sa, nullptr);
    sigaction(SIGTERM, &sa, nullptr);
}

bool StopRequested() {
    return g_stop.load();
}

bool WaitForStop(int ms) {
    auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    while (!g_stop && std::chrono::steady_clock::now() < end) {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return g_stop;
}

}  // namespace tessali::mirt

int main(int argc, char** argv) {
    using namespace tessali::mirt;
    std::vector<std::string> args(argv + 1, argv + argc);
    if (args.empty() || args[0] == "--help" || args[0] == "-h" || (args[0] == "help" && args.size() == 1)) {
        PrintUsage();
        return args.empty() ? 2 : 0;
    }
    if (args[0] == "--version" || args[0] == "-V" || args[0] == "version") {
        PrintVersion();
        return 0;
    }
    size_t words = 0;
    if (args[0] == "help") {
        std::vector<std::string> rest(args.begin() + 1, args.end());
        const MirtCommand* c = FindCommand(rest, words);
        if (c == nullptr) {
            PrintError("unknown command '" + rest[0] + "' (try mirt --help)");
            return 2;
        }
        PrintCommandHelp(*c);
        return 0;
    }
    const MirtCommand* best = FindCommand(args, words);
    if (best == nullptr) {
        PrintError("unknown command '" + args[0] + "' (try mirt --help)");
        return 2;
    }
    std::vector<std::string> rest(args.begin() + static_cast<std::ptrdiff_t>(words), args.end());
    if (std::find(rest.begin(), rest.end(), "--help") != rest.end() || (!rest.empty() && rest[0] == "-h")) {
        PrintCommandHelp(*best);
        return 0;
    }
    return best->run(rest);
}
