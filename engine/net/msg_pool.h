// CMsgPool: the peer layer's bookkeeping — which connection belongs to which task (both ways,
// under separate locks), connections whose requests were refused and wait 5 s, the rate limits
// derived from the two settings, the pacing clocks and the byte counters with their speeds.
// The tracker bookkeeping is not kept here: the source layers reach it through their own
// objects and plug their one-second work in as IAnnouncePass. Safe from any thread.
#pragma once

#include <atomic>
#include <cstdint>
#include <map>
#include <mutex>
#include <optional>
#include <set>
#include <vector>

#include "engine/core/connection_key.h"
#include "engine/core/task_hash.h"
#include "engine/platform/tick.h"

namespace tessali::net {

constexpr uint32_t kDeferredRequestMs = 5000;
constexpr uint8_t kUploadSettingOff = 1;
constexpr uint8_t kSettingAuto = 255;
constexpr uint8_t kDownloadSettingAuto = 145;
constexpr uint32_t kInitialPaceSize = 16397;

// The source layers' part of the one-second pass (the tracker announce pass).
class IAnnouncePass {
public:
    virtual ~IAnnouncePass() = default;
    virtual void AnnouncePass() = 0;
};

enum class Direction : uint8_t { kDownload = 0, kUpload = 1 };

class CMsgPool {
public:
    // Connection <-> task map. Map fails (and logs) when the connection is mapped already.
    bool MapConnection(const core::ConnectionKey& key, const core::TaskHash& hash);
    bool IsMapped(const core::ConnectionKey& key) const;
    std::optional<core::TaskHash> HashOf(const core::ConnectionKey& key) const;
    void Forget(const core::ConnectionKey& key);
    std::vector<core::ConnectionKey> ConnectionsOf(const core::TaskHash& hash) const;
    size_t ConnectionCount() const;

    // Refused requests: scheduling for the connection resumes 5000 ms after `now`.
    void Defer(const core::ConnectionKey& key, platform::Tick now);
    // The connections whose wait is over; they leave the deferred set.
    std::vector<core::ConnectionKey> TakeDue(platform::Tick now);

    // Settings (0 the standing limit, 1 upload off, 255 automatic, 145 download automatic (the
    // standing limit, LAN peers exempt), else KiB/s). Setting one recomputes its limit at once;
    // the one-second pass resets both settings to 0 and recomputes, so a limit holds until then.
    void SetUploadSetting(uint8_t value, int taskMode = 0);
    void SetDownloadSetting(uint8_t value);
    void SecondPass(int taskMode);
    // The limits that hold whenever no setting says otherwise (KiB/s, 0 = none): the
    // deployment file's, or a front-end's. The one-byte settings cannot express them above 254.
    void SetStandingLimits(uint32_t uploadKiB, uint32_t downloadKiB);
    uint8_t UploadSetting() const { return m_uploadSetting.load(); }
    uint8_t DownloadSetting() const { return m_downloadSetting.load(); }
    // Limits in KiB/s, 0 = none.
    uint32_t UploadLimit() const { return m_uploadLimit.load(); }
    uint32_t DownloadLimit() const { return m_downloadLimit.load(); }
    bool UploadOff() const { return m_uploadOff.load(); }
    // LAN peers are not limited in the automatic modes.
    bool UploadLanExempt() const { return m_uploadAuto.load(); }
    bool DownloadLanExempt() const { return m_downloadAuto.load(); }

    // Pacing: whether the direction's clock lets a message go at `now`, and advancing it after
    // a message of `size` bytes (interval = size / limit milliseconds).
    bool ClockOpen(Direction d, platform::Tick now) const;
    void AdvanceClock(Direction d, uint32_t size, platform::Tick now);
    uint32_t ClockInterval(Direction d) const;

    // Byte counters: cumulative totals and the 10 s window totals.
    void AddBytes(Direction d, int64_t bytes);
    void ReleaseBytes(Direction d, int64_t bytes);
    int64_t Total(Direction d) const;
    int64_t Window(Direction d) const;
    // Speed (bytes/s) = window / 10, recomputed every second.
    void RecomputeSpeeds();
    double Speed(Direction d) const;

private:
    void RecomputeLimits(int taskMode);

    mutable std::mutex m_mapLock;
    std::map<core::ConnectionKey, core::TaskHash> m_keyToHash;
    mutable std::mutex m_hashLock;
    std::map<core::TaskHash, std::set<core::ConnectionKey>> m_hashToKeys;
    mutable std::mutex m_deferLock;
    std::map<core::ConnectionKey, platform::Tick> m_deferred;

    std::atomic<uint8_t> m_uploadSetting{0};
    std::atomic<uint8_t> m_downloadSetting{0};
    std::atomic<uint32_t> m_standingUpload{0};
    std::atomic<uint32_t> m_standingDownload{0};
    std::atomic<uint32_t> m_uploadLimit{0};
    std::atomic<uint32_t> m_downloadLimit{0};
    std::atomic<bool> m_uploadOff{false};
    std::atomic<bool> m_uploadAuto{false};
    std::atomic<bool> m_downloadAuto{false};

    struct Clock {
        uint32_t size = kInitialPaceSize;
        uint32_t interval = 0;
        platform::Tick next = 0;
        bool set = false;
    };
    mutable std::mutex m_clockLock;
    Clock m_clocks[2];

    struct Counter {
        mutable std::mutex lock;
        int64_t total = 0;
        int64_t window = 0;
        std::atomic<double> speed{0};
    };
    Counter m_counters[2];
};

}  // namespace tessali::net
