// CSpeedCounter: the sliding 10-second window behind every transfer speed. Each counted transfer
// is added at once to the window totals and kept as a sample; a sample 10 000 ms old is taken
// back through its release callback. One lock guards the sample list; callbacks run outside it.
#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <optional>

#include "engine/core/connection_key.h"
#include "engine/core/task_hash.h"
#include "engine/platform/tick.h"

namespace tessali::net {

constexpr uint32_t kSpeedWindowMs = 10000;

enum class SpeedKind : uint8_t { kDownload, kUpload, kHttp };

struct SpeedSample {
    core::TaskHash hash;
    std::optional<core::ConnectionKey> key;
    int64_t bytes = 0;
    platform::Tick tick = 0;
    SpeedKind kind = SpeedKind::kDownload;
};

class CSpeedCounter {
public:
    // `add` puts a sample's bytes into the window totals, `release` takes them out again.
    using Callback = std::function<void(const SpeedSample&)>;
    CSpeedCounter(Callback add, Callback release) : m_add(std::move(add)), m_release(std::move(release)) {}

    // Counts a transfer now; then expires old samples.
    void Count(const core::TaskHash& hash, std::optional<core::ConnectionKey> key, int64_t bytes,
               SpeedKind kind);
    // Releases every sample 10 000 ms or older.
    void Expire();
    size_t SampleCount() const;

private:
    // Transfers of one connection within this many milliseconds share a sample, which keeps the
    // list short at high rates.
    static constexpr uint32_t kMergeMs = 100;

    Callback m_add;
    Callback m_release;
    mutable std::mutex m_lock;
    std::deque<SpeedSample> m_samples;
};

}  // namespace tessali::net
