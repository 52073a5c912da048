#include "engine/core/task_hash.h"

#include <algorithm>

namespace tessali::core {
namespace {

int HexValue(char c) {
    if (c >= '0' && c <= '9') {
        return c - '0';
    }
    if (c >= 'A' && c <= 'F') {
        return c - 'A' + 10;
    }
    if (c >= 'a' && c <= 'f') {
        return c - 'a' + 10;
    }
    return -1;
}

}  // namespace

size_t HashTextToBytes(std::string_view text, std::span<uint8_t> out) {
    size_t n = 0;
    while (n < out.size() && 2 * n + 1 < text.size()) {
        int hi = HexValue(text[2 * n]);
        int lo = HexValue(text[2 * n + 1]);
        if (hi < 0 || lo < 0) {
            break;
        }
        out[n] = static_cast<uint8_t>(hi << 4 | lo);
        ++n;
    }
    return n;
}

std::string BytesToHashText(std::span<const uint8_t> bytes) {
    static constexpr char kDigits[] = "0123456789ABCDEF";
    std::string text;
    text.reserve(bytes.size() * 2);
    for (uint8_t b : bytes) {
        text.push_back(kDigits[b >> 4]);
        text.push_back(kDigits[b & 0xF]);
    }
    return text;
}

bool TaskHash::IsZero() const {
    return std::all_of(bytes.begin(), bytes.end(), [](uint8_t b) { return b == 0; });
}

TaskHash TaskHash::FromText(std::string_view text) {
    TaskHash h;
    HashTextToBytes(text, h.bytes);
    return h;
}

TaskHash TaskHash::FromBytes(std::span<const uint8_t> twenty) {
    TaskHash h;
    std::copy_n(twenty.begin(), std::min<size_t>(twenty.size(), 20), h.bytes.begin());
    return h;
}

std::string TaskHash::ToText() const {
    return BytesToHashText(bytes);
}

}  // namespace tessali::core
