// ITaskRates: a task's transfer counts, rates and its own caps with their pacing clocks, as the
// peer protocol and the engine tracker reach them. Every operation names its task by hash; an
// absent task gives the failure value stated (-1, false or 0). Callable from any thread.
#pragma once

#include <cstdint>

#include "engine/core/connection_key.h"
#include "engine/core/task_hash.h"

namespace tessali::core {

class ITaskRates {
public:
    virtual ~ITaskRates() = default;

    // Bytes moved with a peer; the rate window takes them back with a negative count.
    virtual int CountDownloaded(const TaskHash& hash, const ConnectionKey& peer, int32_t bytes) = 0;
    virtual int CountUploaded(const TaskHash& hash, const ConnectionKey& peer, int32_t bytes) = 0;
    virtual int32_t GetPeerRate(const TaskHash& hash, const ConnectionKey& peer) = 0;
    // Upload (A) and download (B) rate of the whole task.
    virtual int32_t GetTaskRateA(const TaskHash& hash) = 0;
    virtual int32_t GetTaskRateB(const TaskHash& hash) = 0;

    // The task's own caps (bytes per second, 0 = none; SetUploadLimit sets the upload cap) and
    // whether its clock holds its next message now.
    virtual bool SetUploadLimit(const TaskHash& hash, uint32_t bytesPerSecond) = 0;
    virtual bool SetUploadPace(const TaskHash& hash, uint32_t bytesPerSecond) = 0;
    virtual bool SetDownloadPace(const TaskHash& hash, uint32_t bytesPerSecond) = 0;
    virtual bool ResetPace(const TaskHash& hash) = 0;
    virtual bool HasPaceLimit(const TaskHash& hash) = 0;
    virtual bool IsDownloadPaced(const TaskHash& hash) = 0;
    virtual bool IsUploadPaced(const TaskHash& hash) = 0;
};

}  // namespace tessali::core
