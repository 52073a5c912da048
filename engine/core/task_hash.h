// The task hash: 20 bytes naming one piece of content, and its 40-digit hexadecimal text form used
// at the application boundary and in logs. Text to bytes stops at the first pair that is not
// hexadecimal, leaving the rest of the bytes as they were (zero for a new hash).
#pragma once

#include <array>
#include <compare>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>

namespace tessali::core {

struct TaskHash {
    std::array<uint8_t, 20> bytes{};

    auto operator<=>(const TaskHash&) const = default;
    bool IsZero() const;
    std::span<const uint8_t, 20> Span() const { return bytes; }

    // Parses pairs left to right; a shorter text (32 digits) fills only the leading bytes.
    static TaskHash FromText(std::string_view text);
    static TaskHash FromBytes(std::span<const uint8_t> twenty);
    // 40 upper-case digits, no separator.
    std::string ToText() const;
};

// Converts pairs of `text` into `out` until a pair holding a non-hex character; the number of
// bytes written. Bytes after that are left untouched.
size_t HashTextToBytes(std::string_view text, std::span<uint8_t> out);
std::string BytesToHashText(std::span<const uint8_t> bytes);

}  // namespace tessali::core
