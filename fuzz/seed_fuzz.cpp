// Input: the bytes of a seed file (a bencoded dictionary: "info" with name, length or files,
// "piece length" and "pieces", plus announce lists, adurl, creation date, encoding). The walk must
// stay inside the buffer, refuse deep nesting and never yield a file path that leaves the task's
// folder; every accessor of a parsed seed must be safe to call.

#include <cstdint>
#include <span>

#include "engine/core/seed.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    tessali::core::CSeed seed;
    if (!seed.KeepReceived({data, size}) || !seed.Parse()) {
        return 0;
    }
    (void)seed.PiecesHash();
    (void)seed.InfoHash();
    (void)seed.InfoBytes();
    for (uint32_t i = 0; i < seed.PieceCount() && i < 64; ++i) {
        (void)seed.PieceHash(i);
        (void)seed.PieceSize(i);
    }
    for (size_t i = 0; i <= seed.FileCount(); ++i) {
        std::string name = seed.FileName(i);
        if (name.find("/../") != std::string::npos || name.rfind("../", 0) == 0) {
            __builtin_trap();  // a seed may never name a file outside its folder
        }
        (void)seed.FileLength(i);
    }
    return 0;
}
