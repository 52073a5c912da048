// A loopback UDP server for fake trackers and other datagram peers: binds 127.0.0.1 on a port the
// kernel picks and hands every datagram to a handler on a thread of its own until it is
// destroyed. The handler runs on that thread; SendTo and Stopping may be called from it.
#pragma once

#include <netinet/in.h>

#include <atomic>
#include <cstdint>
#include <functional>
#include <span>
#include <thread>

namespace tessali::test {

class CUdpResponder {
public:
    using Handler = std::function<void(std::span<const uint8_t> datagram, const sockaddr_in& from)>;

    explicit CUdpResponder(Handler handler);
    ~CUdpResponder();
    CUdpResponder(const CUdpResponder&) = delete;
    CUdpResponder& operator=(const CUdpResponder&) = delete;

    uint16_t Port() const { return m_port; }  // host order
    void SendTo(std::span<const uint8_t> bytes, const sockaddr_in& to) const;
    // True once the object is being destroyed: a long answer should stop.
    bool Stopping() const { return m_stop.load(); }

private:
    void Serve();

    Handler m_handler;
    int m_fd = -1;
    uint16_t m_port = 0;
    std::atomic<bool> m_stop{false};
    std::thread m_thread;
};

}  // namespace tessali::test
