// A switch that lets tests make the engine's file operations fail, or a file shrink, the way a
// full disk, a failing device or another program would, without privileges. Off unless a test
// installs a handler, and then one atomic load per operation. The handler runs on whichever
// thread does the operation, so it must be thread-safe; install it before the engine touches
// files and remove it after the engine has stopped.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>

namespace tessali::platform {

enum class FileOp {
    kOpen,    // File::Open
    kWrite,   // File::WriteAt
    kExtend,  // File::Preallocate: reserving blocks for a length
    kSync,    // File::Sync
};

struct FileOpCall {
    FileOp op = FileOp::kOpen;
    int fd = -1;                        // -1 for kOpen
    const std::string* path = nullptr;  // kOpen only
    unsigned mode = 0;                  // kOpen only: File::Mode bits
    int64_t position = 0;               // kWrite: where; kExtend: 0
    int64_t length = 0;                 // kWrite: bytes; kExtend: the length reserved
};

class IFileFaults {
public:
    virtual ~IFileFaults() = default;
    // Called before the operation; an errno value makes it fail with that error, 0 lets it run.
    virtual int Before(const FileOpCall& call) = 0;
};

// Installs `faults` (not owned; nullptr switches faults off).
void SetFileFaults(IFileFaults* faults);

namespace detail {
extern std::atomic<IFileFaults*> g_fileFaults;
}

// The error an installed handler chooses for `call`, 0 when none is installed.
inline int FileFaultFor(const FileOpCall& call) {
    IFileFaults* faults = detail::g_fileFaults.load(std::memory_order_acquire);
    if (faults == nullptr) [[likely]] {
        return 0;
    }
    return faults->Before(call);
}

}  // namespace tessali::platform
