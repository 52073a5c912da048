// mirt: the command-line front-end of the engine, for headless seeders, servers, tests and
// terminal users. One engine per process; run `mirt --help` for the commands.

#include <limits.h>
#include <signal.h>
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <thread>

#include "engine/platform/file.h"
#include "tools/mirt/commands.h"

namespace tessali::mirt {
namespace {

std::atomic<bool> g_stop{false};

void OnStopSignal(int) {
    g_stop = true;
}

void PrintUsage() {
    std::printf("usage: mirt COMMAND [ARGS...]\n\ncommands:\n");
    std::vector<MirtCommand> sorted = Commands();
    std::sort(sorted.begin(), sorted.end(), [](const auto& a, const auto& b) { return a.name < b.name; });
    for (const MirtCommand& c : sorted) {
        std::printf("  %s\n", c.usage.c_str());
    }
    std::printf("\nThe deployment file is $TESSALI_DEPLOY, else deploy.ini beside the program.\n");
    std::fflush(stdout);
}

}  // namespace

std::vector<MirtCommand>& Commands() {
    static std::vector<MirtCommand> commands;
    return commands;
}

void PrintLine(const std::string& line) {
    std::fwrite(line.data(), 1, line.size(), stdout);
    std::fputc('\n', stdout);
    std::fflush(stdout);
}

void PrintError(const std::string& line) {
    std::fprintf(stderr, "mirt: %s\n", line.c_str());
    std::fflush(stderr);
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
    if (args.empty() || args[0] == "--help" || args[0] == "-h" || args[0] == "help") {
        PrintUsage();
        return args.empty() ? 2 : 0;
    }
    // The longest command name that matches the leading words wins ("seed build" over "seed").
    const MirtCommand* best = nullptr;
    size_t bestWords = 0;
    for (const MirtCommand& c : Commands()) {
        std::vector<std::string> words;
        size_t start = 0;
        while (start <= c.name.size()) {
            size_t space = c.name.find(' ', start);
            words.push_back(
                c.name.substr(start, space == std::string::npos ? std::string::npos : space - start));
            if (space == std::string::npos) {
                break;
            }
            start = space + 1;
        }
        if (words.size() <= args.size() && std::equal(words.begin(), words.end(), args.begin()) &&
            words.size() > bestWords) {
            best = &c;
            bestWords = words.size();
        }
    }
    if (best == nullptr) {
        PrintError("unknown command '" + args[0] + "' (try mirt --help)");
        return 2;
    }
    return best->run(
        std::vector<std::string>(args.begin() + static_cast<std::ptrdiff_t>(bestWords), args.end()));
}
