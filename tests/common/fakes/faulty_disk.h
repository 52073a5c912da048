// File faults for unit tests: installed as the engine's file fault handler while the object
// lives, it fails chosen operations on chosen paths with a chosen errno, makes a folder behave
// as a full disk, or cuts a file short before a write. Safe from any thread; the engine must
// stop touching files before the object goes.
#pragma once

#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

#include "engine/platform/file_faults.h"

namespace tessali::test {

class CFaultyDisk : public platform::IFileFaults {
public:
    CFaultyDisk();
    ~CFaultyDisk() override;
    CFaultyDisk(const CFaultyDisk&) = delete;
    CFaultyDisk& operator=(const CFaultyDisk&) = delete;

    // `op` on a path containing `pathPart` fails with `error` once `skip` such operations went
    // through, `times` times (every time when negative).
    void Fail(platform::FileOp op, const std::string& pathPart, int error, int skip = 0, int times = -1);
    // Files under `folder` act as on a full disk: a write reaching past a file's end and a
    // reservation beyond its size fail with ENOSPC; writes over bytes it has go through.
    void Fill(const std::string& folder);
    // Before write number `afterWrites` + 1 to a path containing `pathPart`, that file is cut to
    // `length` bytes (once), as another program might do.
    void CutShort(const std::string& pathPart, int64_t length, int afterWrites = 0);
    // Every rule gone: the disk is healthy again (counts stay).
    void Heal();

    // How many operations were failed or files cut so far.
    int Faults() const;

    int Before(const platform::FileOpCall& call) override;

private:
    struct Rule {
        enum Kind { kFail, kFull, kCut } kind;
        platform::FileOp op = platform::FileOp::kWrite;
        std::string path;  // a part of the path (kFail, kCut) or the folder (kFull)
        int error = 0;
        int skip = 0;
        int times = -1;
        int64_t length = 0;
    };
    static bool Matches(const Rule& rule, platform::FileOp op, const std::string& path);

    mutable std::mutex m_lock;
    std::vector<Rule> m_rules;
    int m_faults = 0;
};

}  // namespace tessali::test
