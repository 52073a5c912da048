// CTrackerList: every tracker the engine asks for sources, one entry per (task hash, URL): the
// engine tracker of a downloading task, the engine tracker of a shared task, and BitTorrent
// trackers (or any later kind). Its announce pass, run every second, decides which entry is asked
// now and hands it to the announcer registered for its kind. One lock guards the entries; the
// announcers and the task queries of the pass are called outside it, so they may call back in.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "engine/core/connection_key.h"
#include "engine/core/task_hash.h"
#include "engine/platform/tick.h"

namespace tessali::sources {

// The entry kinds; values as stored in the list. A new kind (another tracker protocol) takes a
// new value and is treated like kBitTorrent: announced through its registered announcer and
// dropped after its attempts run out.
enum TrackerKind : uint8_t {
    kTrackerEngineDownload = 1,  // the engine tracker of a downloading task
    kTrackerBitTorrent = 2,
    kTrackerEngineShare = 3,  // the engine tracker of a shared task: kept, never announced
};

constexpr size_t kMaxTrackerUrlChars = 55;
constexpr size_t kMaxBtTrackerUrlChars = 54;
constexpr uint32_t kAnnounceIntervalMs = 80000;
constexpr uint32_t kSatisfiedIntervalMs = 120000;
constexpr uint32_t kDefaultPeerThreshold = 50;
constexpr uint32_t kMode2PeerThreshold = 200;
constexpr uint8_t kEngineTrackerAttempts = 1;
constexpr uint8_t kOtherTrackerAttempts = 3;

struct TrackerEntry {
    core::ConnectionKey connection;  // the current connection to this tracker, when it has one
    core::TaskHash hash;
    std::string url;
    platform::Tick lastAnnounce = 0;
    // False until the first announce (and again after a reset): such an entry is due at once,
    // whatever the clock reads.
    bool announced = false;
    uint8_t kind = kTrackerEngineDownload;
    bool satisfied = false;
    uint8_t attempts = kEngineTrackerAttempts;
};

// What the announce pass needs to know of a task.
struct TrackerTaskFacts {
    bool wantsPeers = false;  // false once the task is being deleted
    bool complete = false;
    int runState = 0;  // 1 downloading
    uint32_t peerCount = 0;
    uint32_t downloadLimit = 0;  // KiB/s (the engine's, or the task's own when tighter); 0 = none
    bool atLimit = false;        // the task manager reports the task at its download limit
    bool mode2 = false;          // the task manager reports mode 2 (more peers allowed)
};

class CTrackerList {
public:
    // The facts of a task, or nothing when the task is gone.
    using TaskQuery = std::function<std::optional<TrackerTaskFacts>(const core::TaskHash&)>;
    // Starts the exchange with one tracker (a copy of its entry).
    using Announcer = std::function<void(const TrackerEntry&)>;

    explicit CTrackerList(TaskQuery query);

    // Registers the announcer of `kind` (the engine tracker's source request, the BitTorrent
    // exchange, ...); an entry of a kind with none is stamped but nothing is sent.
    void SetAnnouncer(uint8_t kind, Announcer announcer);

    // Adds an entry ("AddTrack:%s\n"), or resets an existing one ("AddTrack_Exist:%s\n"); false
    // when the URL is too long or empty.
    bool Add(const core::TaskHash& hash, const std::string& url, uint8_t kind);
    bool AddBitTorrentTracker(const core::TaskHash& hash, const std::string& url);
    bool AddEngineTracker(const core::TaskHash& hash, const std::string& url);
    bool AddShareTracker(const core::TaskHash& hash, const std::string& url);
    // Resets the entries of one task ("ActiveOneTrack:%s\n") or of all ("ActiveAllTrack:%s\n").
    void ActivateOne(const core::TaskHash& hash);
    void ActivateAll();
    // Removes every entry of a task; how many went.
    size_t RemoveTask(const core::TaskHash& hash);
    // The tracker answered: the entry becomes satisfied. False when there is no such entry.
    bool MarkAnswered(const core::TaskHash& hash, const std::string& url);
    // Records the connection currently used to reach a tracker.
    bool SetConnection(const core::TaskHash& hash, const std::string& url, const core::ConnectionKey& key);
    // The URL of the tracker reached through `key`.
    std::optional<std::string> FindUrl(const core::ConnectionKey& key) const;

    // One announce pass at `now` over every entry, in order.
    void AnnouncePass(platform::Tick now);

    std::vector<TrackerEntry> Entries() const;
    std::optional<TrackerEntry> Find(const core::TaskHash& hash, const std::string& url) const;
    size_t Size() const;

private:
    static void Reset(TrackerEntry& e);
    // The number of connected peers above which a task is satisfied, or nothing when the
    // task is at its limit (satisfied whatever its peers).
    static std::optional<uint32_t> PeerThreshold(const TrackerTaskFacts& facts);

    TaskQuery m_query;
    mutable std::mutex m_lock;
    std::vector<TrackerEntry> m_entries;
    std::mutex m_announcerLock;
    std::map<uint8_t, Announcer> m_announcers;
};

}  // namespace tessali::sources
