#include "engine/core/bitfield.h"

#include <algorithm>
#include <bit>

namespace tessali::core {

void Bitfield::SetAll() {
    std::fill(m_bytes.begin(), m_bytes.end(), 0xFF);
    if (m_bits % 8 != 0) {
        m_bytes.back() = static_cast<uint8_t>(0xFF00u >> (m_bits % 8));
    }
}

void Bitfield::ClearAll() {
    std::fill(m_bytes.begin(), m_bytes.end(), 0);
}

uint32_t Bitfield::Count() const {
    uint32_t n = 0;
    for (uint8_t b : m_bytes) {
        n += static_cast<uint32_t>(std::popcount(b));
    }
    return n;
}

bool Bitfield::Assign(std::span<const uint8_t> bytes) {
    if (bytes.size() != m_bytes.size()) {
        return false;
    }
    std::copy(bytes.begin(), bytes.end(), m_bytes.begin());
    if (m_bits % 8 != 0) {
        m_bytes.back() &= static_cast<uint8_t>(0xFF00u >> (m_bits % 8));
    }
    return true;
}

}  // namespace tessali::core
