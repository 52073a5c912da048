// CTudpInterface: the reliable-UDP connection manager as the rest of the engine sees it. The
// carrier socket feeds it datagrams; the dispatch layer connects, sends, closes and takes the
// connection events from its queue. Every operation may be called from any thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include "engine/net/socket_event.h"

namespace tessali::net {

class CFragmentPool;
enum class TakeResult;

// Addresses and ports are in network order, as in a connection key; `sock` is the carrier socket.
class CTudpInterface {
public:
    virtual ~CTudpInterface() = default;
    virtual bool Start() = 0;
    virtual void Stop() = 0;
    virtual bool Connect(uint32_t addr, uint16_t port, int sock) = 0;
    virtual bool Close(uint32_t addr, uint16_t port, int sock) = 0;
    virtual void OnDatagram(uint32_t addr, uint16_t port, int sock, const uint8_t* data, size_t len) = 0;
    // Bytes accepted, or -1 when there is no such established connection.
    virtual int Send(uint32_t addr, uint16_t port, int sock, const uint8_t* data, size_t len) = 0;
    // How many bytes Send would accept now; kNoConnection when there is no such established
    // connection.
    static constexpr size_t kNoConnection = static_cast<size_t>(-1);
    virtual size_t SendRoom(uint32_t /*addr*/, uint16_t /*port*/, int /*sock*/) { return kNoConnection - 1; }
    // Bytes Send accepted that have not gone out once yet (0 without such a connection).
    virtual size_t UnsentBytes(uint32_t /*addr*/, uint16_t /*port*/, int /*sock*/) { return 0; }
    virtual TakeResult TakeEvent(SocketEvent& out, std::span<uint8_t> buffer) = 0;
    // The queue the connection events go to (its WaitFd is the event handle).
    virtual CFragmentPool& EventQueue() = 0;
    virtual bool ConnectThroughNat(int sock, uint32_t addr, uint16_t port, uint32_t remoteNatType,
                                   std::span<const uint8_t, 20> remotePeerId,
                                   std::span<const uint8_t, 20> infoHash) = 0;
};

}  // namespace tessali::net
