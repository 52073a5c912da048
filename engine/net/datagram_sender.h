// IDatagramSender: where the reliable-UDP manager sends its datagrams. The default sends on the
// given socket with sendto; tests put a recorder or a lossy link in its place. Thread-safe.
#pragma once

#include <cstdint>
#include <span>

namespace tessali::net {

class IDatagramSender {
public:
    virtual ~IDatagramSender() = default;
    // addr and port in network order. Bytes sent, 0 when the socket would block, -1 on error.
    virtual int SendTo(int sock, uint32_t addr, uint16_t port, std::span<const uint8_t> bytes) = 0;
};

class CSocketSender : public IDatagramSender {
public:
    int SendTo(int sock, uint32_t addr, uint16_t port, std::span<const uint8_t> bytes) override;
};

}  // namespace tessali::net
