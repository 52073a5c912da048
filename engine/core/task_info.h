// The task information record that QueryTask fills for the application: a packed byte layout,
// fields in this order (offsets in bytes, multi-word integers little-endian):
//   0  hash text, 40 upper-case hex characters, no terminator
//  40  u32 always 0
//  44  8 bytes the engine does not write
//  52  u32 total size, high word     56  u32 total size, low word
//  60  u32 verified bytes, high word 64  u32 verified bytes, low word
//  68  u32 uploaded (low 32 bits)    72  u32 downloaded (low 32 bits)
//  76  u32 upload rate               80  u32 download rate
//  84  4 setting bytes (the last is the run state)
//  88  u8 seed-loaded mark  89 u8 peer count  90 u8 kind  91 u8 shared flag
//  92  u16 file count       94 u8 flag bits   95 u32 creation time (seconds)
//  99  destination, zero-terminated UTF-16 (folder + name), kTaskInfoPathChars units at most
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace tessali::core {

constexpr size_t kTaskInfoPathChars = 1024;

#pragma pack(push, 1)
struct TaskInfoRecord {
    char hashText[40];
    uint32_t zero;
    uint8_t unused[8];
    uint32_t totalHigh;
    uint32_t totalLow;
    uint32_t haveHigh;
    uint32_t haveLow;
    uint32_t uploaded;
    uint32_t downloaded;
    uint32_t uploadRate;
    uint32_t downloadRate;
    uint8_t settings[4];
    uint8_t seedMark;
    uint8_t peerCount;
    uint8_t kind;
    uint8_t shared;
    uint16_t fileCount;
    uint8_t flags;
    uint32_t creationTime;
    char16_t destination[kTaskInfoPathChars];

    int64_t TotalSize() const { return static_cast<int64_t>(uint64_t{totalHigh} << 32 | totalLow); }
    int64_t HaveSize() const { return static_cast<int64_t>(uint64_t{haveHigh} << 32 | haveLow); }
    uint8_t RunState() const { return settings[3]; }
    std::u16string Destination() const;
};
#pragma pack(pop)

static_assert(offsetof(TaskInfoRecord, totalHigh) == 52);
static_assert(offsetof(TaskInfoRecord, settings) == 84);
static_assert(offsetof(TaskInfoRecord, creationTime) == 95);
static_assert(offsetof(TaskInfoRecord, destination) == 99);

// Stores a 64-bit value as the record's high-word-first pair.
inline void SplitHighLow(int64_t value, uint32_t& high, uint32_t& low) {
    high = static_cast<uint32_t>(static_cast<uint64_t>(value) >> 32);
    low = static_cast<uint32_t>(static_cast<uint64_t>(value) & 0xFFFFFFFFu);
}

}  // namespace tessali::core
