#include "engine/core/http_status.h"

#include <atomic>

namespace tessali::core {
namespace {
std::atomic<IHttpStatusSource*> g_source{nullptr};
}

void SetHttpStatusSource(IHttpStatusSource* source) {
    g_source.store(source);
}

bool QueryHttpStatus(const TaskHash& job, HttpTaskStatus& out) {
    IHttpStatusSource* source = g_source.load();
    return source != nullptr && source->QueryHttpStatus(job, out);
}

}  // namespace tessali::core
