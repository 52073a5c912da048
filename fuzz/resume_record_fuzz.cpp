// Input: 8 bytes of content size and 4 bytes of piece length (little-endian), then the bytes of a
// ".mem" resume record file (content size, piece bitfield, verified bytes). A record that loads must
// never claim more verified bytes than its pieces hold.

#include <unistd.h>

#include <cstdint>
#include <cstring>
#include <string>

#include "engine/core/resume_record.h"
#include "engine/platform/file.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 12) {
        return 0;
    }
    int64_t contentSize;
    uint32_t pieceLength;
    std::memcpy(&contentSize, data, 8);
    std::memcpy(&pieceLength, data + 8, 4);
    // Keep the bitfield allocation small: the record length is derived from these two values.
    if (contentSize <= 0 || contentSize > (int64_t{1} << 40) || pieceLength < 16384) {
        return 0;
    }
    static const std::string path = "/dev/shm/tessali-fuzz-" + std::to_string(getpid()) + ".mem";
    tessali::platform::WriteFileAtomically(path, {reinterpret_cast<const char*>(data + 12), size - 12});
    tessali::core::CResumeRecord record(path);
    if (record.Load(contentSize, pieceLength)) {
        int64_t sum = 0;
        for (uint32_t i = 0; i < record.PieceCount(); ++i) {
            if (record.HasPiece(i)) {
                sum += record.PieceSize(i);
            }
        }
        if (record.VerifiedBytes() > sum) {
            __builtin_trap();
        }
        (void)record.IsComplete();
    }
    return 0;
}
