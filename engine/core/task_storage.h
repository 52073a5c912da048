// ITaskStorage: a task's seed, pieces and content bytes, as the peer protocol and the HTTP
// sources reach them. Every operation names its task by hash; an absent task gives the failure
// value stated (-1, false or 0) and changes nothing. Callable from any thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include "engine/core/task_hash.h"

namespace tessali::core {

class ITaskStorage {
public:
    virtual ~ITaskStorage() = default;

    virtual bool HasSeed(const TaskHash& hash) = 0;
    virtual bool StoreSeedData(const TaskHash& hash, std::span<const uint8_t> seed) = 0;
    // With an empty buffer: `length` gets the size. Otherwise copies min(size, buffer) bytes.
    virtual bool GetSeedBytes(const TaskHash& hash, std::span<uint8_t> buffer, size_t& length) = 0;

    virtual uint32_t GetPieceLength(const TaskHash& hash) = 0;
    virtual uint32_t GetPieceCount(const TaskHash& hash) = 0;
    virtual int GetBitfieldLength(const TaskHash& hash) = 0;
    // With an empty buffer: `length` gets the size. Otherwise copies min(size, buffer) bytes.
    virtual bool GetBitfield(const TaskHash& hash, std::span<uint8_t> buffer, size_t& length) = 0;
    virtual bool IsComplete(const TaskHash& hash) = 0;

    // Content bytes at an absolute position, through the task's block writer and reader.
    virtual int64_t WriteAt(const TaskHash& hash, std::span<const uint8_t> data, int64_t position) = 0;
    virtual int64_t ReadAt(const TaskHash& hash, std::span<uint8_t> out, int64_t position,
                           bool countUpload) = 0;

    // Which pieces are wanted, and in what order.
    virtual bool SetSequentialMode(const TaskHash& hash, uint32_t value) = 0;
    virtual bool SetReadPosition(const TaskHash& hash, int64_t position) = 0;
    virtual int SelectFiles(const TaskHash& hash, uint32_t count) = 0;
};

}  // namespace tessali::core
