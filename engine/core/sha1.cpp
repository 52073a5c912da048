#include "engine/core/sha1.h"

#include <openssl/evp.h>

#include <cstdlib>

namespace tessali::core {

struct CSha1::Context {
    EVP_MD_CTX* md = nullptr;
};

CSha1::CSha1() : m_ctx(new Context) {
    m_ctx->md = EVP_MD_CTX_new();
    if (m_ctx->md == nullptr) {
        std::abort();  // out of memory: nothing sensible can go on
    }
    Reset();
}

CSha1::~CSha1() {
    EVP_MD_CTX_free(m_ctx->md);
    delete m_ctx;
}

void CSha1::Reset() {
    EVP_DigestInit_ex(m_ctx->md, EVP_sha1(), nullptr);
}

void CSha1::Add(std::span<const uint8_t> bytes) {
    if (!bytes.empty()) {
        EVP_DigestUpdate(m_ctx->md, bytes.data(), bytes.size());
    }
}

Sha1Digest CSha1::Final() {
    Sha1Digest out{};
    unsigned int len = 0;
    EVP_DigestFinal_ex(m_ctx->md, out.data(), &len);
    return out;
}

Sha1Digest Sha1Of(std::span<const uint8_t> bytes) {
    CSha1 sha;
    sha.Add(bytes);
    return sha.Final();
}

}  // namespace tessali::core
