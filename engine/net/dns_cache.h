// CDNSCache: asynchronous host-name cache. Lookup never blocks: a name not yet known is queued
// for the resolver thread and reported pending; resolved names (and failures) are kept for the
// run. Lookup is safe from any thread; the resolver runs on the cache's own thread.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <thread>

#include "engine/platform/event.h"

namespace tessali::net {

constexpr uint32_t kDnsFailed = 0xFFFFFFFF;

class CDNSCache {
public:
    enum Result { kResolved = 0, kPending = 1, kFailed = 2 };
    // Returns the IPv4 address (network order) of a name, or kDnsFailed.
    using Resolver = std::function<uint32_t(const std::string& name)>;

    // Without a resolver names are looked up with getaddrinfo (IPv4).
    explicit CDNSCache(Resolver resolver = {});
    ~CDNSCache();
    CDNSCache(const CDNSCache&) = delete;
    CDNSCache& operator=(const CDNSCache&) = delete;

    Result Lookup(const std::string& name, uint32_t& addr);
    size_t PendingCount() const;

    static uint32_t ResolveWithSystem(const std::string& name);

private:
    void ResolverLoop();

    Resolver m_resolver;
    mutable std::mutex m_resolvedLock;
    std::map<std::string, uint32_t> m_resolved;
    mutable std::mutex m_pendingLock;
    std::set<std::string> m_pending;
    platform::Event m_wake{platform::Event::Reset::kAuto};
    std::atomic<bool> m_stop{false};
    std::thread m_thread;
};

}  // namespace tessali::net
