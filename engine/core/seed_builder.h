// The share builder: makes a native seed for one local file (SHA-1 of every piece, written in the
// engine's fixed byte layout) and the piece-length rule it uses. Runs on the share-queue thread or
// a tool's main thread; it touches no shared state except the stop flag it is given.
#pragma once

#include <atomic>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "engine/core/task_hash.h"

namespace tessali::core {

// Files must be shorter than this to be shared.
constexpr int64_t kMaxShareFileSize = 0x0F00FF00FF00FF00;

// 16 KiB up to 2 MiB; above, the highest power of two among bits 4096..1 of
// floor(sqrtf(n / 4096)), times 1024 (16 KiB when none of those bits is set).
uint32_t PieceLengthFor(int64_t contentSize);

struct SeedBuildRequest {
    std::string filePath;     // the local file to hash
    std::string displayName;  // must contain a '.'
    std::string seedName;     // "name" written into the seed (UTF-8; stored in the ANSI code page)
    std::string seedPath;     // the seed file to write (callers add ".torrent" to a base path)
    std::string trackerUrl;   // "announce"
    std::string adUrl;        // "adurl" (UTF-8; stored in the ANSI code page)
    std::optional<uint64_t> creationDate;  // seconds; the current time when absent
    // Cleared by the engine's shut-down: the build stops at the next piece and fails.
    const std::atomic<bool>* keepGoing = nullptr;
};

struct SeedBuildResult {
    int64_t size = 0;
    uint32_t pieceLength = 0;
    uint32_t pieceCount = 0;
    TaskHash piecesHash;  // SHA-1 over the piece hashes: the task identifier of the native seed
};

// The seed bytes for the given facts, in the exact layout the engine writes: the outer keys in
// the order encoding, info, announce, adurl, creation date. Texts are taken as they are (bytes).
std::string SeedBytes(int64_t size, std::string_view nameBytes, uint32_t pieceLength,
                      std::string_view pieceHashes, std::string_view trackerUrl, std::string_view adUrlBytes,
                      uint64_t creationDate);

// Hashes the file and writes the seed; 0, or -1 (no '.', unreadable, empty or too large file,
// stopped, or the seed file cannot be written).
int BuildSeedForFile(const SeedBuildRequest& request, SeedBuildResult* result = nullptr);

}  // namespace tessali::core
