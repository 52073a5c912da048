// Input: arbitrary bytes, taken both as one datagram of the engine tracker protocol (every decoder
// and the describer run on it) and as an agent relay TCP stream cut into chunks by its first byte.
// Decoded messages must encode back to the bytes they came from.
#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "engine/sources/tracker_messages.h"

using namespace tessali::sources;

namespace {

template <typename T>
void RoundTrip(std::span<const uint8_t> b) {
    T m;
    if (!Decode(b, m)) {
        return;
    }
    // Replies may carry bytes we do not read, and padding we write as zero: compare what we read.
    T again;
    if (!Decode(Encode(m), again) || !(again == m)) {
        std::abort();
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::span<const uint8_t> b(data, size);
    ClassifyDatagram(b);
    RoundTrip<LoginRequest>(b);
    RoundTrip<LoginReply>(b);
    RoundTrip<LogoutRequest>(b);
    RoundTrip<KeepAliveRequest>(b);
    RoundTrip<KeepAliveReply>(b);
    RoundTrip<ShareRequest>(b);
    RoundTrip<ShareReply>(b);
    RoundTrip<StopShareRequest>(b);
    RoundTrip<StopShareReply>(b);
    RoundTrip<SourceListRequest>(b);
    RoundTrip<SourceListReply>(b);
    RoundTrip<RelayRequest>(b);
    RoundTrip<RelayReply>(b);
    RoundTrip<RelayNotice>(b);
    DescribeTrackerMessage(b, TrackerDirection::kToServer);
    DescribeTrackerMessage(b, TrackerDirection::kFromServer);

    CTrackerStreamReader reader;
    size_t chunk = size ? (data[0] % 64) + 1 : 1;
    for (size_t at = 0; at < size; at += chunk) {
        bool ok = reader.Feed(b.subspan(at, std::min(chunk, size - at)), [](std::span<const uint8_t> m) {
            if (m.size() < kTrackerHeaderBytes || m.size() > kMaxTrackerMessageBytes ||
                PeekHeader(m)->length != m.size()) {
                std::abort();
            }
        });
        if (reader.Buffered() >= kMaxTrackerMessageBytes || (!ok && !reader.Broken())) {
            std::abort();
        }
    }
    return 0;
}
