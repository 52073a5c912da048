// A peer connector that records every connection request the source layers make instead of
// opening it, for tests of trackers, LAN search and source lists. Safe from any thread; set
// `afterCall` before other threads call.
#pragma once

#include <arpa/inet.h>

#include <cstdint>
#include <functional>
#include <mutex>
#include <utility>
#include <vector>

#include "engine/net/peer_connector.h"

namespace tessali::test {

class CRecordingConnector : public net::IPeerConnector {
public:
    using Call = std::pair<core::TaskHash, net::SourcePeer>;

    // With `install`, it is the process's peer connector while it lives.
    explicit CRecordingConnector(bool install = false) : m_installed(install) {
        if (m_installed) {
            net::SetPeerConnector(this);
        }
    }
    ~CRecordingConnector() override {
        if (m_installed) {
            net::SetPeerConnector(nullptr);
        }
    }
    CRecordingConnector(const CRecordingConnector&) = delete;
    CRecordingConnector& operator=(const CRecordingConnector&) = delete;

    bool ConnectToSource(const core::TaskHash& hash, const net::SourcePeer& peer) override {
        {
            std::lock_guard lock(m_lock);
            m_calls.push_back({hash, peer});
        }
        if (afterCall) {
            afterCall();
        }
        return true;
    }

    std::vector<Call> Calls() const {
        std::lock_guard lock(m_lock);
        return m_calls;
    }
    size_t Count() const {
        std::lock_guard lock(m_lock);
        return m_calls.size();
    }
    // The ports asked for, in host order.
    std::vector<uint16_t> Ports() const {
        std::lock_guard lock(m_lock);
        std::vector<uint16_t> ports;
        for (const Call& c : m_calls) {
            ports.push_back(ntohs(c.second.port));
        }
        return ports;
    }
    void Clear() {
        std::lock_guard lock(m_lock);
        m_calls.clear();
    }

    std::function<void()> afterCall;

private:
    const bool m_installed;
    mutable std::mutex m_lock;
    std::vector<Call> m_calls;
};

}  // namespace tessali::test
