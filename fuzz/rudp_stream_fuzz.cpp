// Input: what a remote sends one reliable-UDP connection. Byte 0 chooses whether the connection
// is ours (connect sent) or the remote's; then records follow, each [kind][seq (2)][ack (2)]
// [length (1)][payload], where the low bits of kind pick the packet type and bit 7 asks for the
// raw payload to be taken as a whole datagram; seq counts from the offset the connection expects,
// so the packets land in, ahead of and behind its window. Between records the clock moves and
// the connection sends and polls. Whatever arrives, early packets held stay within their bound,
// every datagram sent fits a packet, and the stream handed up is never more than was received.
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "engine/net/fragment_pool.h"
#include "engine/net/rudp_connection.h"
#include "engine/net/rudp_packet.h"

namespace {

using namespace tessali::net;

class Sender : public IDatagramSender {
public:
    int SendTo(int, uint32_t, uint16_t, std::span<const uint8_t> bytes) override {
        if (bytes.size() < kRudpHeaderBytes || bytes.size() > kRudpMaxPacket) {
            std::abort();
        }
        return static_cast<int>(bytes.size());
    }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1) {
        return 0;
    }
    static const uint8_t kTypes[] = {kRudpConnect, kRudpAck, kRudpAccept, kRudpData, kRudpClose, 0, 5, 77};
    Sender out;
    CFragmentPool events;
    tessali::platform::Tick now{1000};
    auto conn = tessali::core::Ref<CConnection>::Make(out, events, 0x0100007F, 0x4444, 7, now);
    if (data[0] & 1) {
        conn->StartConnect(now);
    }
    size_t received = 0;
    size_t delivered = 0;
    std::vector<uint8_t> buffer(64 * 1024);
    std::vector<uint8_t> sendData(3000, 0x5A);
    size_t at = 1;
    while (at + 6 <= size) {
        uint8_t kind = data[at];
        int32_t seqDelta = static_cast<int16_t>(data[at + 1] << 8 | data[at + 2]);
        uint32_t ack = static_cast<uint32_t>(data[at + 3] << 8 | data[at + 4]);
        size_t length = std::min<size_t>(data[at + 5] * 8u, size - at - 6);
        std::span<const uint8_t> payload(data + at + 6, length);
        at += 6 + length;
        std::vector<uint8_t> datagram;
        if (kind & 0x80) {
            datagram.assign(payload.begin(), payload.end());
        } else {
            uint32_t seq = conn->ExpectedOffset() + static_cast<uint32_t>(seqDelta);
            datagram = BuildRudpPacket(kTypes[kind & 7], seq, conn->NextSendOffset() - ack, payload);
        }
        received += datagram.size();
        int r = conn->OnDatagram(datagram, now);
        if (conn->HeldPackets() > kRudpMaxReorderPackets) {
            std::abort();
        }
        now = now + ((kind >> 3) & 7) * 150u;
        if (kind & 0x40) {
            (void)conn->Send(sendData, now);
        }
        conn->Poll(now);
        SocketEvent ev;
        while (events.Take(ev, buffer) == TakeResult::kTaken) {
            if (ev.kind == SockEventKind::kData) {
                delivered += ev.length;
            }
        }
        if (delivered > received) {
            std::abort();
        }
        if (r < 0) {
            break;
        }
    }
    conn->Close();
    return 0;
}
