// Input: one datagram as the reliable-UDP receiver sees it (a 13-byte header: length, sequence,
// acknowledge, type; then payload). The header decoder must refuse anything shorter than a header.

#include <cstdint>

#include "engine/net/rudp_packet.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    auto header = tessali::net::DecodeRudpHeader({data, size});
    if (header && size < 13) {
        __builtin_trap();
    }
    return 0;
}
