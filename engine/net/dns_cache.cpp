#include "engine/net/dns_cache.h"

#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <vector>

#include "engine/platform/thread.h"

namespace tessali::net {

CDNSCache::CDNSCache(Resolver resolver)
    : m_resolver(resolver ? std::move(resolver) : Resolver(&CDNSCache::ResolveWithSystem)),
      m_thread([this] { ResolverLoop(); }) {}

CDNSCache::~CDNSCache() {
    m_stop = true;
    m_wake.Set();
    m_thread.join();
}

uint32_t CDNSCache::ResolveWithSystem(const std::string& name) {
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* res = nullptr;
    if (getaddrinfo(name.c_str(), nullptr, &hints, &res) != 0 || !res) {
        return kDnsFailed;
    }
    uint32_t addr = reinterpret_cast<sockaddr_in*>(res->ai_addr)->sin_addr.s_addr;
    freeaddrinfo(res);
    return addr;
}

CDNSCache::Result CDNSCache::Lookup(const std::string& name, uint32_t& addr) {
    {
        std::lock_guard lock(m_resolvedLock);
        auto it = m_resolved.find(name);
        if (it != m_resolved.end()) {
            addr = it->second;
            return it->second == kDnsFailed ? kFailed : kResolved;
        }
    }
    {
        std::lock_guard lock(m_pendingLock);
        m_pending.insert(name);
    }
    m_wake.Set();
    return kPending;
}

size_t CDNSCache::PendingCount() const {
    std::lock_guard lock(m_pendingLock);
    return m_pending.size();
}

void CDNSCache::ResolverLoop() {
    platform::SetCurrentThreadName("DnsResolver");
    while (!m_stop) {
        m_wake.Wait();
        std::vector<std::string> names;
        {
            std::lock_guard lock(m_pendingLock);
            names.assign(m_pending.begin(), m_pending.end());
        }
        for (const std::string& name : names) {
            if (m_stop) {
                return;
            }
            // Resolved without holding a lock, so lookups never wait on the network; the name
            // stays pending meanwhile and is not queued twice.
            bool known;
            {
                std::lock_guard lock(m_resolvedLock);
                known = m_resolved.count(name) != 0;
            }
            uint32_t addr = known ? 0 : m_resolver(name);
            if (!known) {
                std::lock_guard lock(m_resolvedLock);
                m_resolved[name] = addr;
            }
            std::lock_guard lock(m_pendingLock);
            m_pending.erase(name);
        }
    }
}

}  // namespace tessali::net
