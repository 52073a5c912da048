// Incremental SHA-1 (FIPS 180-1) over OpenSSL's EVP interface, which picks the CPU's SHA
// instructions when present. Used for piece hashes and task identifiers.
// One CSha1 per thread at a time; separate objects are independent.
#pragma once

#include <array>
#include <cstdint>
#include <span>

namespace tessali::core {

using Sha1Digest = std::array<uint8_t, 20>;

class CSha1 {
public:
    CSha1();
    ~CSha1();
    CSha1(const CSha1&) = delete;
    CSha1& operator=(const CSha1&) = delete;

    // Starts a new digest; the constructor already did this once.
    void Reset();
    void Add(std::span<const uint8_t> bytes);
    // Ends the digest; call Reset before adding again.
    Sha1Digest Final();

private:
    struct Context;
    Context* m_ctx;
};

Sha1Digest Sha1Of(std::span<const uint8_t> bytes);

}  // namespace tessali::core
