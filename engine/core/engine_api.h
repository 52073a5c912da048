// The engine's entry functions: everything the downloader program and the command-line front-end
// call. Hashes travel as 40-digit hexadecimal text, paths as UTF-8. Results are small integers or
// booleans; nothing throws across this boundary. Safe to call from any thread once EngineInit
// has returned; EngineInit and EngineUninit are called from one thread.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "engine/core/task_info.h"

namespace tessali {

// Starts the network facilities; false after writing "WSAStartup Failed!Not Support Winsock2!".
bool EngineStartNetwork();
// What a process starts the engine for. kHttpOnly: it moves data only over HTTP sources, so
// nothing waits for the NAT type or a port mapping, which only serve peers (the periodic NAT
// re-check still runs in the background).
enum class EngineUse { kPeers, kHttpOnly };
// 0 on success, -1 on failure (already initialised, names too long, tracker agent failed).
int EngineInit(EngineUse use = EngineUse::kPeers);
// Stops and destroys every subsystem in the fixed shut-down order.
void EngineUninit();
bool EngineInitialised();

// An HTTP-source task: false when an argument is missing or the HTTP agent refused.
bool AddSeedTask(std::string_view sourceUrl, std::string_view hashText, std::string_view destinationPath);
// A download task: 0 created (peer search started), 1 content already complete, -1 otherwise.
int AddHashTask(std::string_view hashText, std::string_view destinationPath);
// True when the task exists; `record` is filled.
bool QueryTask(std::string_view hashText, core::TaskInfoRecord* record);
// 1 start, 2 pause, 3 delete, 4 start this one and pause the others. Always 0.
int ControlTask(std::string_view hashText, int code);
// Queues a local file for sharing.
bool ShareQueueAdd(std::string_view path);

// What the command-line front-end needs beyond the program's calls: sharing a file at once,
// reaching a peer by hand, a task's run state and what this run received, HTTP sources by URL,
// seeds, and the engine's own facts.

// The engine version carried in the peer id.
int EngineVersion();

// Shares a local file at once (not through the share queue) and announces it as a source:
// 0 with `hashText` set to the task's hash, -1 when the file cannot be shared.
int AddShareTask(std::string_view path, std::string* hashText);

// How a peer named by hand is reached.
enum class PeerFraming { kPlain, kHttp, kScrambled, kUdp };
// Asks the peer layer to connect task `hashText` to the engine peer at `addr`:`port` (network
// order), straight at that address whatever the NAT types say. Its id is made from the address
// and port, so two peers given by hand never look like one. False when no attempt was started
// (ourselves, already connected, no such task, engine not running).
bool ConnectTaskPeer(std::string_view hashText, uint32_t addr, uint16_t port, PeerFraming framing);

enum class TaskRunState { kNone, kRunning, kPaused, kDeleting, kComplete };
// kComplete once every piece is present, else the task's run state; kNone when there is no task.
TaskRunState QueryTaskRunState(std::string_view hashText);
// Piece bytes received from peers since the engine started (0 when it is not running).
int64_t ReceivedPieceBytes();

struct TaskPeerReceipt {
    uint32_t addr = 0;  // network order
    uint16_t port = 0;  // network order
    int64_t bytes = 0;  // downloaded from this peer
};
// The peers task `hashText` is connected to, with what each sent.
std::vector<TaskPeerReceipt> QueryTaskPeers(std::string_view hashText);

// The hash text under which an HTTP source `url` is added with AddSeedTask.
std::string HttpSourceHashText(std::string_view url);
struct HttpSourceRecord {
    int64_t contentLength = 0;  // 0 when the server gave none or its answer has not come yet
    int64_t written = 0;
    uint32_t speed = 0;  // bytes per second
    bool complete = false;
    bool failed = false;       // refused by the server or given up
    std::string failedAnswer;  // the server's answer when it refused (at most 4095 bytes)
};
// False when the engine holds no HTTP download for `hashText`.
bool QueryHttpSource(std::string_view hashText, HttpSourceRecord* record);
// Stops the HTTP download for `hashText`, keeping what it wrote for a later resume.
void StopHttpSource(std::string_view hashText);

struct SeedBuildOptions {
    std::string filePath;                  // the file to hash
    std::string seedPath;                  // the seed to write
    std::string trackerUrl;                // "announce"
    std::string adUrl;                     // empty for none
    std::optional<uint64_t> creationDate;  // seconds; now when absent
};
// Builds a native seed as the share builder does (display and seed name: the file's base name):
// 0 with `hashText` set to the task hash the seed names under `engineTrackerUrl`, -1 when the
// seed cannot be built, -2 when the seed written does not load back.
int BuildSeed(const SeedBuildOptions& options, std::string_view engineTrackerUrl, std::string* hashText);

struct SeedSummary {
    std::string name;
    int64_t length = 0;
    uint32_t pieceLength = 0;
    uint32_t pieceCount = 0;
    std::string hashText;      // the task hash under the engine tracker URL given
    bool native = false;       // made for that engine tracker
    std::string infoHashText;  // the BitTorrent info hash
    std::vector<std::string> trackers;
    std::vector<std::pair<std::string, int64_t>> files;  // name and length, multi-file seeds only
    std::string adUrl;
    uint64_t creationDate = 0;
};
// Reads the seed at `seedPath`; false when it does not load.
bool ReadSeed(std::string_view seedPath, std::string_view engineTrackerUrl, SeedSummary* summary);

// Where the engine keeps its files and how it is reached; meaningful after EngineInit.
struct EngineFacts {
    std::string rootFolder;
    std::string dataFolder;
    std::string localAddress;  // dotted
    uint16_t listenPort = 0;   // host order
    int natType = 0;
    std::string trackerHost;     // as configured
    std::string trackerAddress;  // dotted
};
EngineFacts QueryEngineFacts();

}  // namespace tessali
