// Files of pseudo-random bytes for transfer tests: the same seed gives the same content.
#pragma once

#include <algorithm>
#include <cstdint>
#include <fstream>
#include <random>
#include <string>
#include <vector>

namespace tessali::test {

inline void WriteRandomFile(const std::string& path, size_t bytes, uint32_t seed) {
    std::mt19937_64 rng(seed);
    std::ofstream out(path, std::ios::binary);
    std::vector<uint64_t> chunk(1 << 17);
    for (size_t done = 0; done < bytes;) {
        for (auto& w : chunk) {
            w = rng();
        }
        size_t n = std::min(bytes - done, chunk.size() * 8);
        out.write(reinterpret_cast<const char*>(chunk.data()), static_cast<std::streamsize>(n));
        done += n;
    }
}

}  // namespace tessali::test
