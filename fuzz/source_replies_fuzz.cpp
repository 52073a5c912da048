// Answers from servers the engine does not control: the head of an HTTP source's answer, a
// BitTorrent HTTP tracker's reply (framed as still arriving and as closed) and UDP tracker
// datagrams. Input: arbitrary bytes. Checks that nothing reads out of bounds and that the peers
// taken stay whole entries within the per-reply bound.
#include <array>
#include <cstdint>
#include <cstdlib>
#include <span>
#include <string_view>

#include "engine/sources/bt_tracker_wire.h"
#include "engine/sources/http_source_reply.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string_view text(reinterpret_cast<const char*>(data), size);
    tessali::sources::HttpSourceHead head = tessali::sources::ReadHttpSourceHead(text);
    if (head.verdict == tessali::sources::HttpSourceHead::kAccepted && head.bodyOffset > size) {
        std::abort();
    }
    for (bool ended : {false, true}) {
        tessali::sources::BtHttpReply reply = tessali::sources::FrameBtHttpReply(text, ended);
        if (reply.peers.size() % tessali::sources::kBtPeerEntryBytes != 0 ||
            reply.peers.size() > tessali::sources::kMaxPeersPerReply * tessali::sources::kBtPeerEntryBytes) {
            std::abort();
        }
    }
    std::span<const uint8_t> datagram(data, size);
    (void)tessali::sources::UdpReplyAction(datagram);
    std::array<uint8_t, 20> twenty{};
    (void)tessali::sources::BuildUdpAnnounce(datagram, 1, twenty, twenty, 6881);
    (void)tessali::sources::SplitCompactPeers(datagram);
    return 0;
}
