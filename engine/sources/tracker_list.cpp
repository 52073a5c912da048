#include "engine/sources/tracker_list.h"

#include <algorithm>

#include "engine/core/engine_log.h"

namespace tessali::sources {

using core::EngineLog;
using core::kLogDebug;
using core::TaskHash;
using platform::Tick;
using platform::TickElapsed;

CTrackerList::CTrackerList(TaskQuery query) : m_query(std::move(query)) {}

void CTrackerList::SetAnnouncer(uint8_t kind, Announcer announcer) {
    std::lock_guard lock(m_announcerLock);
    m_announcers[kind] = std::move(announcer);
}

void CTrackerList::Reset(TrackerEntry& e) {
    e.lastAnnounce = 0;
    e.announced = false;
    e.satisfied = false;
    e.attempts = (e.kind == kTrackerEngineDownload || e.kind == kTrackerEngineShare) ? kEngineTrackerAttempts
                                                                                     : kOtherTrackerAttempts;
}

bool CTrackerList::Add(const TaskHash& hash, const std::string& url, uint8_t kind) {
    size_t limit = kind == kTrackerBitTorrent ? kMaxBtTrackerUrlChars : kMaxTrackerUrlChars;
    if (url.empty() || url.size() > limit) {
        return false;
    }
    std::lock_guard lock(m_lock);
    for (TrackerEntry& e : m_entries) {
        if (e.hash == hash && e.url == url) {
            EngineLog(kLogDebug, "AddTrack_Exist:%s\n", url.c_str());
            // A finished download becomes a shared task under the same tracker.
            e.kind = kind;
            Reset(e);
            return true;
        }
    }
    TrackerEntry e;
    e.hash = hash;
    e.url = url;
    e.kind = kind;
    Reset(e);
    m_entries.push_back(std::move(e));
    EngineLog(kLogDebug, "AddTrack:%s\n", url.c_str());
    return true;
}

bool CTrackerList::AddBitTorrentTracker(const TaskHash& hash, const std::string& url) {
    return Add(hash, url, kTrackerBitTorrent);
}

bool CTrackerList::AddEngineTracker(const TaskHash& hash, const std::string& url) {
    return Add(hash, url, kTrackerEngineDownload);
}

bool CTrackerList::AddShareTracker(const TaskHash& hash, const std::string& url) {
    return Add(hash, url, kTrackerEngineShare);
}

void CTrackerList::ActivateOne(const TaskHash& hash) {
    std::lock_guard lock(m_lock);
    for (TrackerEntry& e : m_entries) {
        if (e.hash == hash) {
            EngineLog(kLogDebug, "ActiveOneTrack:%s\n", e.url.c_str());
            Reset(e);
        }
    }
}

void CTrackerList::ActivateAll() {
    std::lock_guard lock(m_lock);
    for (TrackerEntry& e : m_entries) {
        EngineLog(kLogDebug, "ActiveAllTrack:%s\n", e.url.c_str());
        Reset(e);
    }
}

size_t CTrackerList::RemoveTask(const TaskHash& hash) {
    std::lock_guard lock(m_lock);
    return std::erase_if(m_entries, [&](const TrackerEntry& e) { return e.hash == hash; });
}

bool CTrackerList::MarkAnswered(const TaskHash& hash, const std::string& url) {
    std::lock_guard lock(m_lock);
    for (TrackerEntry& e : m_entries) {
        if (e.hash == hash && e.url == url) {
            e.satisfied = true;
            // Only unanswered announces count against a tracker: one that answers keeps its
            // place however long the download runs.
            e.attempts = e.kind == kTrackerBitTorrent ? kOtherTrackerAttempts : kEngineTrackerAttempts;
            return true;
        }
    }
    return false;
}

bool CTrackerList::SetConnection(const TaskHash& hash, const std::string& url,
                                 const core::ConnectionKey& key) {
    std::lock_guard lock(m_lock);
    for (TrackerEntry& e : m_entries) {
        if (e.hash == hash && e.url == url) {
            e.connection = key;
            return true;
        }
    }
    return false;
}

std::optional<std::string> CTrackerList::FindUrl(const core::ConnectionKey& key) const {
    std::lock_guard lock(m_lock);
    for (const TrackerEntry& e : m_entries) {
        if (e.connection == key) {
            return e.url;
        }
    }
    return std::nullopt;
}

std::optional<uint32_t> CTrackerList::PeerThreshold(const TrackerTaskFacts& facts) {
    if (facts.downloadLimit > 0) {
        if (facts.atLimit) {
            return std::nullopt;
        }
        return facts.downloadLimit / 5;
    }
    return facts.mode2 ? kMode2PeerThreshold : kDefaultPeerThreshold;
}

void CTrackerList::AnnouncePass(Tick now) {
    // Decide under the lock which entries are due; ask about their tasks and start the
    // announces outside it (both reach other subsystems, which may call back into the list).
    std::vector<TrackerEntry> due;
    {
        std::lock_guard lock(m_lock);
        for (auto it = m_entries.begin(); it != m_entries.end();) {
            TrackerEntry& e = *it;
            if (e.announced) {
                uint32_t interval = e.satisfied ? kSatisfiedIntervalMs : kAnnounceIntervalMs;
                if (TickElapsed(now, e.lastAnnounce) <= interval) {
                    ++it;
                    continue;
                }
            }
            if (e.attempts > 0) {
                --e.attempts;
            } else if (e.kind != kTrackerEngineDownload && e.kind != kTrackerEngineShare) {
                it = m_entries.erase(it);
                continue;
            }
            e.lastAnnounce = now;
            e.announced = true;
            if (e.kind != kTrackerEngineShare) {
                due.push_back(e);
            }
            ++it;
        }
    }
    if (due.empty()) {
        return;
    }

    std::map<TaskHash, std::optional<TrackerTaskFacts>> facts;
    for (const TrackerEntry& e : due) {
        if (!facts.contains(e.hash)) {
            facts[e.hash] = m_query ? m_query(e.hash) : std::nullopt;
        }
    }

    std::vector<TrackerEntry> announce;
    {
        std::lock_guard lock(m_lock);
        for (const TrackerEntry& d : due) {
            auto it = std::find_if(m_entries.begin(), m_entries.end(),
                                   [&](const TrackerEntry& e) { return e.hash == d.hash && e.url == d.url; });
            if (it == m_entries.end()) {
                continue;
            }
            const std::optional<TrackerTaskFacts>& f = facts[d.hash];
            if (!f || !f->wantsPeers || f->complete) {
                m_entries.erase(it);
                continue;
            }
            if (f->runState != 1) {
                continue;
            }
            std::optional<uint32_t> threshold = PeerThreshold(*f);
            if (!threshold || f->peerCount > *threshold) {
                it->satisfied = true;
                continue;
            }
            announce.push_back(*it);
        }
    }

    for (const TrackerEntry& e : announce) {
        Announcer a;
        {
            std::lock_guard lock(m_announcerLock);
            auto it = m_announcers.find(e.kind);
            if (it != m_announcers.end()) {
                a = it->second;
            }
        }
        if (e.kind == kTrackerEngineDownload) {
            EngineLog(kLogDebug, "add mirt track req:%s\n", e.url.c_str());
        } else if (e.kind == kTrackerBitTorrent) {
            EngineLog(kLogDebug, "add bt track req:%s\n", e.url.c_str());
        }
        if (a) {
            a(e);
        }
    }
}

std::vector<TrackerEntry> CTrackerList::Entries() const {
    std::lock_guard lock(m_lock);
    return m_entries;
}

std::optional<TrackerEntry> CTrackerList::Find(const TaskHash& hash, const std::string& url) const {
    std::lock_guard lock(m_lock);
    for (const TrackerEntry& e : m_entries) {
        if (e.hash == hash && e.url == url) {
            return e;
        }
    }
    return std::nullopt;
}

size_t CTrackerList::Size() const {
    std::lock_guard lock(m_lock);
    return m_entries.size();
}

}  // namespace tessali::sources
