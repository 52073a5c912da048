// Input: a local download record file (XML: a "download" element with the folder and one element
// per file). Whatever reads must write back to a record that reads the same.

#include <unistd.h>

#include <cstdint>
#include <string>

#include "app/records/download_record.h"
#include "engine/platform/file.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using namespace tessali::app;
    static const std::string path = "/dev/shm/tessali-fuzz-" + std::to_string(getpid()) + "-record.xml";
    tessali::platform::WriteFileAtomically(path, {reinterpret_cast<const char*>(data), size});
    DownloadRecord record;
    if (ReadDownloadRecord(path, record) != 1) {
        return 0;
    }
    std::string text = RecordText(std::nullopt, record);
    tessali::platform::WriteFileAtomically(path, text);
    DownloadRecord again;
    if (ReadDownloadRecord(path, again) != 1) {
        __builtin_trap();  // our own output must read back
    }
    return 0;
}
