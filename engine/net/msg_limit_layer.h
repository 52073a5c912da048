// CMsgLimitLayer: the messages held back by the rate limits — block requests waiting to be sent
// (download) and peers' block requests waiting to be served (upload), each queue under its own
// lock, released by the pacing thread. Upload admission keeps the queue short for peers of
// versions above 65 when the upload limit is low.
#pragma once

#include <array>
#include <cstdint>
#include <deque>
#include <mutex>
#include <set>

#include "engine/core/connection_key.h"
#include "engine/core/task_hash.h"
#include "engine/platform/tick.h"

namespace tessali::net {

constexpr uint32_t kUploadQueueMaxAgeMs = 3000;

struct QueuedMsg {
    core::TaskHash hash;
    core::ConnectionKey key;
    uint8_t transport = 1;
    std::array<uint8_t, 17> request{};
    platform::Tick queued = 0;
    bool highPriority = false;
};

// Whether a request from a high-priority peer may join an upload queue already holding `queued`
// requests, with an upload limit of `limitKiB` KiB/s.
bool AdmitUpload(uint32_t limitKiB, size_t queued);

class CMsgLimitLayer {
public:
    bool QueueDownload(const QueuedMsg& msg);
    // False when the admission rule refuses a high-priority request.
    bool QueueUpload(const QueuedMsg& msg, uint32_t uploadLimitKiB);
    // Take the first message, passing over those of the tasks in `held` (their own pace holds
    // them; they keep their places). An upload message queued more than kUploadQueueMaxAgeMs
    // before `now` is taken even when held, so that it is refused in time.
    bool TakeDownload(QueuedMsg& out, const std::set<core::TaskHash>& held = {});
    bool TakeUpload(QueuedMsg& out, platform::Tick now, const std::set<core::TaskHash>& held = {});
    // The tasks that have messages waiting in each queue.
    std::set<core::TaskHash> DownloadTasks() const;
    std::set<core::TaskHash> UploadTasks() const;
    // Puts a message back at the front (its task may not transfer now).
    void ReturnDownload(const QueuedMsg& msg);
    void ReturnUpload(const QueuedMsg& msg);
    size_t DownloadCount() const;
    size_t UploadCount() const;
    void Clear();

private:
    mutable std::mutex m_downLock;
    std::deque<QueuedMsg> m_down;
    mutable std::mutex m_upLock;
    std::deque<QueuedMsg> m_up;
};

}  // namespace tessali::net
