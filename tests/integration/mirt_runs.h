// What the tests of real `mirt` runs read back: numbers in output lines, the closing line of a
// run, the engine's resume records and its file names for a destination. The processes
// themselves are common/engine_process.h.
#pragma once

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "common/engine_process.h"
#include "common/ports.h"
#include "common/random_file.h"
#include "common/sha1_file.h"
#include "common/temp_dir.h"

namespace tessali::test {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

inline int64_t NumberAfter(const std::string& line, const std::string& word) {
    size_t at = line.find(word);
    return at == std::string::npos ? -1 : std::atoll(line.c_str() + at + word.size());
}

// Piece bytes a finished `mirt get` run reports in its closing "received N bytes" line; -1 when
// the run has no such line (it was killed).
inline int64_t ClosingReceived(const std::vector<std::string>& lines) {
    for (const std::string& line : lines) {
        if (line.rfind("received ", 0) == 0) {
            return NumberAfter(line, "received ");
        }
    }
    return -1;
}

// A resume record as the engine stores it: content size (8 bytes, little-endian), the piece
// bitfield, verified bytes (8 bytes). `valid` is false when the file is absent or of another size.
struct ResumeRecordFile {
    bool valid = false;
    int64_t size = 0;
    std::vector<uint8_t> bits;
    int64_t verified = 0;

    bool Has(uint32_t piece) const {
        return piece / 8 < bits.size() && (bits[piece / 8] & (0x80 >> (piece % 8))) != 0;
    }
    uint32_t Count() const {
        uint32_t n = 0;
        for (uint8_t b : bits) {
            n += static_cast<uint32_t>(__builtin_popcount(b));
        }
        return n;
    }
};

inline int64_t Le64(const std::string& bytes, size_t at) {
    uint64_t v = 0;
    for (int i = 7; i >= 0; --i) {
        v = (v << 8) | static_cast<uint8_t>(bytes[at + static_cast<size_t>(i)]);
    }
    return static_cast<int64_t>(v);
}

inline ResumeRecordFile ReadResumeRecord(const std::string& path, uint32_t pieceCount) {
    ResumeRecordFile r;
    std::string bytes = ReadFile(path);
    const size_t bitBytes = (pieceCount + 7) / 8;
    if (!fs::exists(path) || bytes.size() != bitBytes + 16) {
        return r;
    }
    r.valid = true;
    r.size = Le64(bytes, 0);
    r.bits.assign(bytes.begin() + 8, bytes.begin() + 8 + static_cast<std::ptrdiff_t>(bitBytes));
    r.verified = Le64(bytes, 8 + bitBytes);
    return r;
}

// The engine's file name for a destination path: every '/' (and ':' and '\') becomes '_'.
inline std::string TaskKeyOf(const std::string& destination) {
    std::string key = destination;
    std::replace_if(
        key.begin(), key.end(), [](char c) { return c == '/' || c == ':' || c == '\\'; }, '_');
    return key;
}

}  // namespace tessali::test
