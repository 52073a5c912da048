// Where a task keeps its files: the task key (the destination path made into one file name), the
// seed file and resume record named by it in the engine data folder, and the ".!mt" suffix that
// marks unfinished content files. Pure functions, safe from any thread.
#pragma once

#include <string>
#include <string_view>

namespace tessali::core {

inline constexpr std::string_view kUnfinishedSuffix = ".!mt";

// The destination path with every ':', '\' and '/' replaced by '_':
// "C:\a\b.iso" -> "C__a_b.iso", "/home/u/b.iso" -> "_home_u_b.iso".
std::string TaskKey(std::string_view destinationPath);

// data folder + key + ".torrent" / ".mem"; the folder defaults to EngineDataFolder().
std::string SeedFilePath(std::string_view key);
std::string ResumeFilePath(std::string_view key);
std::string SeedFilePath(std::string_view dataFolder, std::string_view key);
std::string ResumeFilePath(std::string_view dataFolder, std::string_view key);

// The position of the first ".!mt" in the file-name part of `path` (npos when none). Only the
// last path component counts, so a folder whose name holds the suffix is never cut.
size_t UnfinishedSuffixPos(std::string_view path);

}  // namespace tessali::core
