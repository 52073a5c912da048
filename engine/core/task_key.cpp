#include "engine/core/task_key.h"

#include "engine/core/engine_env.h"

namespace tessali::core {

std::string TaskKey(std::string_view destinationPath) {
    std::string key(destinationPath);
    for (char& c : key) {
        if (c == ':' || c == '\\' || c == '/') {
            c = '_';
        }
    }
    return key;
}

std::string SeedFilePath(std::string_view dataFolder, std::string_view key) {
    return std::string(dataFolder) + std::string(key) + ".torrent";
}

std::string ResumeFilePath(std::string_view dataFolder, std::string_view key) {
    return std::string(dataFolder) + std::string(key) + ".mem";
}

std::string SeedFilePath(std::string_view key) {
    return SeedFilePath(EngineDataFolder(), key);
}

std::string ResumeFilePath(std::string_view key) {
    return ResumeFilePath(EngineDataFolder(), key);
}

size_t UnfinishedSuffixPos(std::string_view path) {
    size_t slash = path.rfind('/');
    size_t nameStart = slash == std::string_view::npos ? 0 : slash + 1;
    size_t pos = path.find(kUnfinishedSuffix, nameStart);
    return pos;
}

}  // namespace tessali::core
