// The scrambled frame form of the engine protocol: each message wrapped with two random keys and
// random padding, whose bytes 4 to 107 are scrambled by a word-chained rotate-and-xor routine.
// Both ends share one table of 32 rotation amounts (kScrambleRotations). Plain functions.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <vector>

namespace tessali::net {

extern const std::array<uint8_t, 32> kScrambleRotations;

constexpr size_t kScrambleHeadBytes = 17;  // keys, padding count, keys again (without padding)
constexpr size_t kScrambledRegion = 100;
constexpr uint8_t kMaxPadding = 15;

void ScrambleRegion(std::span<uint8_t> region, uint32_t seed);
void UnscrambleRegion(std::span<uint8_t> region, uint32_t seed);

// Wraps `message` in a frame; `random` supplies keys, padding count and padding bytes.
std::vector<uint8_t> BuildScrambledFrame(std::span<const uint8_t> message,
                                         const std::function<uint32_t()>& random);

// Unscrambles the head of a frame into a copy. `data` may run past the frame's end; only what
// the head needs is read. Fills the padding count and whether the key check matched. Nothing
// when too few bytes are there to read the padding count, keys and the first 4 message bytes.
struct ScrambledHead {
    uint8_t padding = 0;
    bool keysMatch = false;
    // The first four message bytes (a handshake's 19 and "MIR", or a message's length field).
    std::array<uint8_t, 4> firstBytes{};
};
std::optional<ScrambledHead> PeekScrambledHead(std::span<const uint8_t> data);
// Unscrambles a whole frame of exactly `frame.size()` bytes in place.
void UnscrambleFrame(std::span<uint8_t> frame);

}  // namespace tessali::net
