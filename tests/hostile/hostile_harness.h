// What the hostile-peer and hostile-server tests share besides the common engine and child
// processes: the hostile-peer program and what `mirt seed info` says of a seed.
#pragma once

#include <cstdint>
#include <string>

#include "common/child_process.h"
#include "common/engine_process.h"
#include "common/ports.h"
#include "common/random_file.h"
#include "common/sha1_file.h"
#include "common/temp_dir.h"

namespace tessali::test {

constexpr const char* kHostilePeerProgram = TESSALI_BINARY_DIR "/tests/hostile-peer";

// What `mirt seed info` says of a seed, read with `engine`'s deployment file (the task hash
// depends on the engine tracker it names).
struct SeedFacts {
    std::string hash;
    uint32_t pieces = 0;
    uint32_t pieceLength = 0;
};
inline SeedFacts ReadSeedFacts(const std::string& dir, const std::string& seedFile,
                               const CEngineProcess& engine) {
    CChildProcess info(dir);
    info.Start(MirtProgram(), {"seed", "info", seedFile}, {{"TESSALI_DEPLOY", engine.DeployPath()}});
    info.Wait(30);
    SeedFacts f;
    for (const std::string& line : info.Lines()) {
        auto after = [&](const char* key) { return line.substr(std::string(key).size()); };
        if (line.rfind("hash: ", 0) == 0) {
            f.hash = after("hash: ");
        } else if (line.rfind("piece count: ", 0) == 0) {
            f.pieces = static_cast<uint32_t>(std::stoul(after("piece count: ")));
        } else if (line.rfind("piece length: ", 0) == 0) {
            f.pieceLength = static_cast<uint32_t>(std::stoul(after("piece length: ")));
        }
    }
    return f;
}

}  // namespace tessali::test
