// SHA-1 of a file (or of a range of it) as lower-case hex, for comparing downloaded files with
// their sources. A missing file gives "missing", which matches no digest.
#pragma once

#include <cstdint>
#include <string>

namespace tessali::test {

// SHA-1 of `length` bytes from `offset` (to the end when negative).
std::string Sha1OfFile(const std::string& path, int64_t offset = 0, int64_t length = -1);

}  // namespace tessali::test
