// The host-name cache with a resolver the test controls.
#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <map>
#include <mutex>
#include <thread>

#include "engine/net/dns_cache.h"

namespace tessali::net {
namespace {

// Resolves from a table, but only once the test opens the gate.
class CGatedResolver {
public:
    uint32_t Resolve(const std::string& name) {
        {
            std::lock_guard lock(m_lock);
            ++m_calls[name];
        }
        std::unique_lock lock(m_lock);
        m_cv.wait(lock, [this] { return m_open; });
        return name == "tracker.example" ? inet_addr("10.9.8.7") : kDnsFailed;
    }
    void Open() {
        std::lock_guard lock(m_lock);
        m_open = true;
        m_cv.notify_all();
    }
    int Calls(const std::string& name) {
        std::lock_guard lock(m_lock);
        return m_calls[name];
    }

private:
    std::mutex m_lock;
    std::condition_variable m_cv;
    bool m_open = false;
    std::map<std::string, int> m_calls;
};

CDNSCache::Result WaitSettled(CDNSCache& cache, const std::string& name, uint32_t& addr) {
    for (int i = 0; i < 300; ++i) {
        CDNSCache::Result r = cache.Lookup(name, addr);
        if (r != CDNSCache::kPending) {
            return r;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return CDNSCache::kPending;
}

TEST(DnsCache, TwoLookupsOfAPendingNameQueueItOnceAndFailuresStick) {
    CGatedResolver resolver;
    CDNSCache cache([&](const std::string& n) { return resolver.Resolve(n); });
    uint32_t addr = 0;
    EXPECT_EQ(cache.Lookup("tracker.example", addr), CDNSCache::kPending);
    // Wait until the resolver thread is inside the (blocked) resolution of the name.
    for (int i = 0; i < 300 && resolver.Calls("tracker.example") == 0; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    ASSERT_EQ(resolver.Calls("tracker.example"), 1);
    EXPECT_EQ(cache.Lookup("tracker.example", addr), CDNSCache::kPending);
    EXPECT_EQ(cache.Lookup("nowhere.example", addr), CDNSCache::kPending);
    EXPECT_EQ(cache.PendingCount(), 2u);

    resolver.Open();
    ASSERT_EQ(WaitSettled(cache, "tracker.example", addr), CDNSCache::kResolved);
    EXPECT_EQ(addr, inet_addr("10.9.8.7"));
    ASSERT_EQ(WaitSettled(cache, "nowhere.example", addr), CDNSCache::kFailed);
    EXPECT_EQ(addr, kDnsFailed);
    // Both names were resolved exactly once, however often they were asked for.
    for (int i = 0; i < 5; ++i) {
        cache.Lookup("tracker.example", addr);
        cache.Lookup("nowhere.example", addr);
    }
    EXPECT_EQ(resolver.Calls("tracker.example"), 1);
    EXPECT_EQ(resolver.Calls("nowhere.example"), 1);
    EXPECT_EQ(cache.PendingCount(), 0u);
}

}  // namespace
}  // namespace tessali::net
