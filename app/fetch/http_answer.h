// Reading an HTTP/1.1 answer as the downloader's fetch client understands it: the status line
// (recognised by its code; the reason phrase is free), header lookup, chunk-size lines and the
// gzip/zlib body decoding. Every size taken from the server is checked against a fixed cap, so a
// hostile answer cannot make memory grow without bound. Pure functions, safe from any thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace tessali::app {

// Status line and headers must fit in one receive buffer of this size.
inline constexpr size_t kReceiveBufferBytes = 102400;
// Manifests and pictures are small; anything larger (coded or decoded) fails the fetch.
inline constexpr size_t kMaxBodyBytes = 16u << 20;
// Redirect hops followed before the fetch gives up.
inline constexpr int kMaxRedirects = 8;
// A chunk-size line (size, extensions, CR LF) longer than this is malformed.
inline constexpr size_t kMaxChunkLineBytes = 1024;

struct HttpAnswerHead {
    int status = 0;
    std::vector<std::pair<std::string, std::string>> headers;  // in order, values trimmed

    // The first header named `name` (compared without regard to case), or nullptr.
    const std::string* Find(std::string_view name) const;
    // 301, 302, 303, 307 and 308 all mean "fetch the same thing from Location" for a GET.
    bool IsRedirect() const;
};

// The offset just past the CR LF CR LF that ends the head, or npos when it has not arrived.
size_t FindHeadEnd(std::string_view buffered);

// Parses the head (the text before the empty line). nullopt when the status line is not
// "HTTP/<version> <three digits>[ <reason>]".
std::optional<HttpAnswerHead> ParseAnswerHead(std::string_view head);

// A Content-Length value: decimal digits only; nullopt otherwise or when it overflows.
std::optional<uint64_t> ParseContentLength(std::string_view value);

// True when a header value names the coding `token` first ("gzip", "chunked"), without regard to case.
bool ValueStartsWith(std::string_view value, std::string_view token);

struct ChunkSizeLine {
    enum Kind { kNeedMore, kSize, kMalformed } kind = kNeedMore;
    uint64_t size = 0;    // kSize: the chunk's length
    size_t consumed = 0;  // kSize: bytes of the line, CR LF included
};

// Reads the chunk-size line at the start of `buffered`: hexadecimal digits, optional extensions
// after ';', CR LF. kNeedMore while the line is incomplete and still short; kMalformed for a line
// without digits, a size above `maxSize` or a line longer than kMaxChunkLineBytes.
ChunkSizeLine ParseChunkSizeLine(std::string_view buffered, uint64_t maxSize);

// Inflates a gzip- or zlib-wrapped body (header detected automatically), in 1024-byte output steps.
// False for a corrupt or truncated stream or when the output would exceed `maxBytes`.
bool InflateBody(std::string_view coded, size_t maxBytes, std::string& out);

}  // namespace tessali::app
