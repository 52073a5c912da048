#include "common/sha1_file.h"

#include <openssl/evp.h>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <vector>

namespace tessali::test {

std::string Sha1OfFile(const std::string& path, int64_t offset, int64_t length) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        return "missing";
    }
    in.seekg(offset);
    EVP_MD_CTX* ctx = EVP_MD_CTX_new();
    EVP_DigestInit_ex(ctx, EVP_sha1(), nullptr);
    std::vector<char> buf(1 << 20);
    int64_t left = length < 0 ? INT64_MAX : length;
    while (in && left > 0) {
        in.read(buf.data(),
                static_cast<std::streamsize>(std::min<int64_t>(left, static_cast<int64_t>(buf.size()))));
        EVP_DigestUpdate(ctx, buf.data(), static_cast<size_t>(in.gcount()));
        left -= in.gcount();
    }
    unsigned char md[EVP_MAX_MD_SIZE];
    unsigned len = 0;
    EVP_DigestFinal_ex(ctx, md, &len);
    EVP_MD_CTX_free(ctx);
    std::string hex;
    char two[3];
    for (unsigned i = 0; i < len; ++i) {
        std::snprintf(two, sizeof two, "%02x", md[i]);
        hex += two;
    }
    return hex;
}

}  // namespace tessali::test
