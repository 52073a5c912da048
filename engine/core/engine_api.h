// The engine's entry functions: everything the downloader program and the command-line front-end
// call. Hashes travel as 40-digit hexadecimal text, paths as UTF-8. Results are small integers or
// booleans; nothing throws across this boundary. Safe to call from any thread once EngineInit
// has returned; EngineInit and EngineUninit are called from one thread.
#pragma once

#include <string_view>

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

}  // namespace tessali
