// The seam through which the task manager reads the progress of a task's HTTP download (its size,
// received length, rate and path) for the task information record. The HTTP-source layer registers
// its implementation at engine start; without one the task's own figures are reported.
#pragma once

#include <cstdint>
#include <string>

#include "engine/core/task_hash.h"

namespace tessali::core {

struct HttpTaskStatus {
    int64_t contentLength = 0;
    int64_t bytesWritten = 0;
    uint32_t rate = 0;  // bytes per second
    std::string path;   // target path; empty when unknown
};

class IHttpStatusSource {
public:
    virtual ~IHttpStatusSource() = default;
    // False when no HTTP download has this job key.
    virtual bool QueryHttpStatus(const TaskHash& job, HttpTaskStatus& out) = 0;
};

// Registers `source` (not owned; nullptr unregisters).
void SetHttpStatusSource(IHttpStatusSource* source);
bool QueryHttpStatus(const TaskHash& job, HttpTaskStatus& out);

}  // namespace tessali::core
