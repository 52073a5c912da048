// Small bencode writers for seed tests: test seeds are spelt out by hand so that a fault in the
// code under test cannot also shape the input.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>

#include "engine/core/seed.h"

namespace tessali::test {

inline std::string B(std::string_view s) {
    return std::to_string(s.size()) + ":" + std::string(s);
}
inline std::string I(int64_t v) {
    return "i" + std::to_string(v) + "e";
}
// `count` distinct 20-byte hashes.
inline std::string FakeHashes(uint32_t count) {
    std::string out;
    for (uint32_t i = 0; i < count * 20; ++i) {
        out.push_back(static_cast<char>((i * 37 + 11) & 0xFF));
    }
    return out;
}
inline std::span<const uint8_t> Bytes(const std::string& s) {
    return {reinterpret_cast<const uint8_t*>(s.data()), s.size()};
}
// A single-file seed with the given info entries (already encoded, in key order) around "pieces".
inline std::string SingleFileSeed(int64_t length, int64_t pieceLength, uint32_t pieces,
                                  const std::string& announce = "http://127.0.0.1:6970",
                                  const std::string& name = "pack.bin") {
    return "d" + B("announce") + B(announce) + B("info") + "d" + B("length") + I(length) + B("name") +
           B(name) + B("piece length") + I(pieceLength) + B("pieces") + B(FakeHashes(pieces)) + "ee";
}
inline bool ParseBytes(core::CSeed& seed, const std::string& bytes) {
    return seed.KeepReceived(Bytes(bytes)) && seed.Parse();
}

}  // namespace tessali::test
