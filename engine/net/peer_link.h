// IPeerLink: what the peer logic needs of the connections below it — send a message in the
// connection's wire form, close it, and open outgoing connections over TCP or reliable UDP.
// Implemented by CDispatchMgr; tests of the peer logic use a fake. Safe from any thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include "engine/core/connection_key.h"

namespace tessali::net {

class IPeerLink {
public:
    virtual ~IPeerLink() = default;
    // Sends one message (handshake or length-prefixed); bytes sent (above 0) or -1.
    virtual int Send(const core::ConnectionKey& key, std::span<const uint8_t> message) = 0;
    // Sends `messages`, back-to-back messages of messageBytes each, in order; how many went. A
    // connection whose wire form carries messages unchanged side by side takes them in one send.
    virtual size_t SendAll(const core::ConnectionKey& key, std::span<const uint8_t> messages,
                           size_t messageBytes) {
        size_t sent = 0;
        for (size_t at = 0; at + messageBytes <= messages.size(); at += messageBytes) {
            if (Send(key, messages.subspan(at, messageBytes)) <= 0) {
                break;
            }
            ++sent;
        }
        return sent;
    }
    // Bytes accepted by Send but not yet handed to the system for this connection (0 when the
    // transport keeps no such buffer): the serving side holds requests back while this is high.
    virtual size_t PendingSendBytes(const core::ConnectionKey& key) { return 0; }
    // Closes a registered connection; a key without a connection entry is left alone (its
    // socket number may already belong to another connection).
    virtual void Close(const core::ConnectionKey& key) = 0;
    // Closes a socket that was created but never registered.
    virtual void Discard(int sock) = 0;
    // Creates an outgoing TCP socket (address network order, port network order); its handle or -1.
    virtual int CreateTcp(uint32_t addr, uint16_t port) = 0;
    // Adds the connection entry with its dispatcher type and starts the socket.
    virtual bool RegisterTcp(uint8_t type, const core::ConnectionKey& key) = 0;
    // Creates a UDP carrier socket towards the peer; its handle or -1.
    virtual int CreateUdpCarrier(uint32_t addr, uint16_t port) = 0;
    virtual bool RegisterReliableUdp(uint8_t type, const core::ConnectionKey& key, uint32_t remoteNatType,
                                     std::span<const uint8_t, 20> remotePeerId,
                                     std::span<const uint8_t, 20> infoHash) = 0;
    // Adds the entry and connects straight to the peer from the key's carrier socket, whatever
    // the NAT types: a peer the user named.
    virtual bool RegisterReliableUdpDirect(uint8_t type, const core::ConnectionKey& key) = 0;
};

}  // namespace tessali::net
