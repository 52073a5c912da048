// PieceIndex and BlockOffset: where a block lies: the number of its piece within the task and its
// byte offset within that piece. Both travel as 32-bit integers on the wire; as distinct types
// that are built only on purpose, one cannot silently take the other's place where they are
// passed together. Plain values; safe from any thread.
#pragma once

#include <compare>
#include <cstdint>

namespace tessali::core {

struct PieceIndex {
    uint32_t value = 0;

    constexpr PieceIndex() = default;
    constexpr explicit PieceIndex(uint32_t v) : value(v) {}
    auto operator<=>(const PieceIndex&) const = default;
};

struct BlockOffset {
    uint32_t value = 0;

    constexpr BlockOffset() = default;
    constexpr explicit BlockOffset(uint32_t v) : value(v) {}
    auto operator<=>(const BlockOffset&) const = default;
};

}  // namespace tessali::core
