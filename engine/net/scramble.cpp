#include "engine/net/scramble.h"

#include <algorithm>
#include <bit>
#include <cstring>

namespace tessali::net {

// Chosen once for this engine: every amount 0-31 exactly once, in an order without runs.
const std::array<uint8_t, 32> kScrambleRotations = {7,  13, 3,  29, 17, 11, 23, 5,  19, 1,  27,
                                                    9,  15, 21, 31, 2,  26, 14, 8,  20, 12, 4,
                                                    28, 6,  18, 10, 30, 16, 22, 24, 25, 0};

namespace {

uint32_t LoadLe(const uint8_t* p) {
    return uint32_t{p[0]} | uint32_t{p[1]} << 8 | uint32_t{p[2]} << 16 | uint32_t{p[3]} << 24;
}
void StoreLe(uint8_t* p, uint32_t v) {
    p[0] = static_cast<uint8_t>(v);
    p[1] = static_cast<uint8_t>(v >> 8);
    p[2] = static_cast<uint8_t>(v >> 16);
    p[3] = static_cast<uint8_t>(v >> 24);
}
uint8_t Rotr8(uint8_t b, unsigned r) {
    r &= 7;
    return static_cast<uint8_t>((b >> r) | (b << ((8 - r) & 7)));
}
uint8_t Rotl8(uint8_t b, unsigned r) {
    r &= 7;
    return static_cast<uint8_t>((b << r) | (b >> ((8 - r) & 7)));
}

size_t RegionLength(size_t frameBytes, size_t from) {
    return frameBytes > from ? std::min(kScrambledRegion, frameBytes - from) : 0;
}

}  // namespace

void ScrambleRegion(std::span<uint8_t> region, uint32_t seed) {
    uint32_t k = seed;
    unsigned j = 0;
    size_t words = region.size() / 4;
    for (size_t i = 0; i < words; ++i) {
        uint32_t x = std::rotr(LoadLe(&region[i * 4]), kScrambleRotations[j]) ^ k;
        StoreLe(&region[i * 4], x);
        k = x;
        j = (x >> 24) & 31;
    }
    unsigned r = j & 7;
    for (size_t i = words * 4; i < region.size(); ++i) {
        size_t t = i - words * 4;
        uint8_t y = Rotr8(region[i], r) ^ static_cast<uint8_t>(seed >> (8 * t));
        region[i] = y;
        r = y & 7;
    }
}

void UnscrambleRegion(std::span<uint8_t> region, uint32_t seed) {
    uint32_t k = seed;
    unsigned j = 0;
    size_t words = region.size() / 4;
    for (size_t i = 0; i < words; ++i) {
        uint32_t x = LoadLe(&region[i * 4]);
        StoreLe(&region[i * 4], std::rotl(x ^ k, kScrambleRotations[j]));
        k = x;
        j = (x >> 24) & 31;
    }
    unsigned r = j & 7;
    for (size_t i = words * 4; i < region.size(); ++i) {
        size_t t = i - words * 4;
        uint8_t y = region[i];
        region[i] = Rotl8(y ^ static_cast<uint8_t>(seed >> (8 * t)), r);
        r = y & 7;
    }
}

std::vector<uint8_t> BuildScrambledFrame(std::span<const uint8_t> message,
                                         const std::function<uint32_t()>& random) {
    uint32_t a = random();
    uint32_t b = random();
    int c = static_cast<int>(random() % (kMaxPadding + 1));
    size_t total = kScrambleHeadBytes + c + message.size();
    if (total < 108 && total % 4 != 0) {
        c -= static_cast<int>(total % 4);
        if (c <= 0) {
            c += 4;
        }
    }
    total = kScrambleHeadBytes + c + message.size();
    std::vector<uint8_t> f(total);
    StoreLe(&f[0], a);
    StoreLe(&f[4], b);
    f[8] = static_cast<uint8_t>(c);
    for (int i = 0; i < c; ++i) {
        f[9 + i] = static_cast<uint8_t>(random());
    }
    std::memcpy(&f[9 + c], &f[0], 8);
    std::copy(message.begin(), message.end(), f.begin() + kScrambleHeadBytes + c);
    ScrambleRegion(std::span(f).subspan(8, RegionLength(total, 8)), b);
    ScrambleRegion(std::span(f).subspan(4, RegionLength(total, 4)), a);
    return f;
}

std::optional<ScrambledHead> PeekScrambledHead(std::span<const uint8_t> data) {
    // Words decode independently of the region's end, so a copy decoded over whole words gives
    // the frame's true bytes for every word inside the frame.
    std::array<uint8_t, 108> copy{};
    size_t n = std::min(copy.size(), data.size());
    if (n < 12) {
        return std::nullopt;
    }
    std::copy_n(data.begin(), n, copy.begin());
    size_t fromA = ((n - 4) / 4) * 4;
    UnscrambleRegion(std::span(copy).subspan(4, std::min(kScrambledRegion, fromA)), LoadLe(&copy[0]));
    size_t fromB = n >= 8 ? ((n - 8) / 4) * 4 : 0;
    UnscrambleRegion(std::span(copy).subspan(8, std::min(kScrambledRegion, fromB)), LoadLe(&copy[4]));
    ScrambledHead head;
    head.padding = copy[8];
    // Decoded bytes: [4, 4 + min(100, fromA)) and [8, 8 + min(100, fromB)).
    size_t decodedEnd = 8 + std::min(kScrambledRegion, fromB);
    if (head.padding > kMaxPadding) {
        return head;  // the caller decides whether enough bytes were there to call it an error
    }
    size_t need = kScrambleHeadBytes + head.padding + 4;
    if (decodedEnd < need) {
        return std::nullopt;
    }
    head.keysMatch = std::memcmp(&copy[9 + head.padding], &copy[0], 8) == 0;
    std::copy_n(&copy[kScrambleHeadBytes + head.padding], 4, head.firstBytes.begin());
    return head;
}

void UnscrambleFrame(std::span<uint8_t> frame) {
    size_t total = frame.size();
    UnscrambleRegion(frame.subspan(4, RegionLength(total, 4)), LoadLe(&frame[0]));
    UnscrambleRegion(frame.subspan(8, RegionLength(total, 8)), LoadLe(&frame[4]));
}

}  // namespace tessali::net
