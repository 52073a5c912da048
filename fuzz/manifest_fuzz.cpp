// Input: a download manifest as the server sends it (XML: a root with entries carrying name,
// filename, size, url, hash and version attributes). Reading must never yield an entry whose file
// name could leave the download folder.

#include <unistd.h>

#include <cstdint>
#include <string>

#include "app/records/manifest.h"
#include "engine/platform/file.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const std::string path = "/dev/shm/tessali-fuzz-" + std::to_string(getpid()) + ".xml";
    tessali::platform::WriteFileAtomically(path, {reinterpret_cast<const char*>(data), size});
    tessali::app::Manifest manifest;
    if (tessali::app::ReadManifest(path, manifest) == 1) {
        for (const auto& entry : manifest.entries) {
            if (!tessali::app::IsSafeFileName(entry.fileName)) {
                __builtin_trap();
            }
        }
    }
    return 0;
}
