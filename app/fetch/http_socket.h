// One blocking TCP connection of the downloader's HTTP client, over plain POSIX sockets (not the
// engine's socket layer: these fetches run before the engine starts). Used by one thread; another
// thread may only Abort() it through the CSocketSlot it was published in, which wakes a blocked
// receive so that a cancelled fetch ends at once.
#pragma once

#include <atomic>
#include <cstddef>
#include <mutex>
#include <string_view>

#include "app/fetch/http_url.h"

namespace tessali::app {

// Where a worker publishes its open socket so that the owner of the fetch can abort it.
class CSocketSlot {
public:
    void Publish(int fd);
    void Withdraw(int fd);
    // Shuts the published socket down (the worker still closes it); no-op when none is open.
    void Abort();
    bool HasSocket() const;

private:
    mutable std::mutex m_lock;
    int m_fd = -1;
};

class CHttpSocket {
public:
    enum class Recv { kData, kClosed, kTimeout, kError };

    explicit CHttpSocket(CSocketSlot* slot = nullptr) : m_slot(slot) {}
    ~CHttpSocket() { Close(); }
    CHttpSocket(const CHttpSocket&) = delete;
    CHttpSocket& operator=(const CHttpSocket&) = delete;

    // Opens a socket with the given receive and send time-outs (0: none) and connects within
    // connectTimeoutMs. `cancel`, when given, is looked at while the connect waits.
    bool Connect(const HttpAddress& to, int receiveTimeoutMs, int sendTimeoutMs, int connectTimeoutMs,
                 const std::atomic<bool>* cancel = nullptr);
    // Sends every byte, in pieces of at most pieceBytes; false when the connection fails first.
    bool SendAll(std::string_view data, size_t pieceBytes = 16384);
    // One receive of at most `capacity` bytes; `got` is set for kData.
    Recv Receive(char* out, size_t capacity, size_t& got);
    void Close();
    bool IsOpen() const { return m_fd >= 0; }

private:
    CSocketSlot* m_slot;
    int m_fd = -1;
};

}  // namespace tessali::app
