// Bitfield: one bit per piece, piece i at bit 0x80 >> (i % 8) of byte i / 8, ceil(n / 8) bytes.
// The same layout is stored in resume records and sent to peers, so the bytes are the value.
// Not thread-safe: the owner's lock guards it.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

namespace tessali::core {

class Bitfield {
public:
    Bitfield() = default;
    explicit Bitfield(uint32_t bits) : m_bits(bits), m_bytes(ByteLength(bits), 0) {}

    static size_t ByteLength(uint32_t bits) { return (static_cast<size_t>(bits) + 7) / 8; }

    uint32_t Bits() const { return m_bits; }
    size_t Size() const { return m_bytes.size(); }
    // Out-of-range indexes read false and are ignored by Set/Clear.
    bool Test(uint32_t i) const { return i < m_bits && (m_bytes[i / 8] & (0x80u >> (i % 8))) != 0; }
    void Set(uint32_t i) {
        if (i < m_bits) {
            m_bytes[i / 8] |= static_cast<uint8_t>(0x80u >> (i % 8));
        }
    }
    void Clear(uint32_t i) {
        if (i < m_bits) {
            m_bytes[i / 8] &= static_cast<uint8_t>(~(0x80u >> (i % 8)));
        }
    }
    void SetAll();
    void ClearAll();
    uint32_t Count() const;
    bool All() const { return Count() == m_bits; }

    // Replaces the bytes; false (and no change) when the length differs from Size(). Spare bits
    // past the last piece are cleared so they never read as pieces.
    bool Assign(std::span<const uint8_t> bytes);
    std::span<const uint8_t> Bytes() const { return m_bytes; }
    std::span<uint8_t> MutableBytes() { return m_bytes; }

    bool operator==(const Bitfield&) const = default;

private:
    uint32_t m_bits = 0;
    std::vector<uint8_t> m_bytes;
};

}  // namespace tessali::core
