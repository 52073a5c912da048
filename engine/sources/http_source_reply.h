// Reading the head of an HTTP source's answer: whether the answer is usable, its content length
// and where its body starts. The head is bounded (kMaxHttpHeadBytes) so that a server that never
// ends its headers cannot make the engine buffer without end. Pure functions; any thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>

namespace tessali::sources {

// A head (status line and headers) longer than this is refused.
constexpr size_t kMaxHttpHeadBytes = 16384;
// The length recorded when the server gives none: the download runs until it is stopped.
constexpr int64_t kUnknownContentLength = 0x7FFFFFFFFFFFFFFF;

struct HttpSourceHead {
    enum Verdict { kIncomplete, kAccepted, kRefused };
    Verdict verdict = kIncomplete;
    int64_t contentLength = kUnknownContentLength;
    size_t bodyOffset = 0;  // where the body starts in the bytes given
};

// `bytes` holds everything received so far from the start of the answer to a request for the
// whole resource (no range asked). Accepted needs an "HTTP/1." status line with code 200 or 206,
// the end of the head, a 206 whose range starts at byte 0 and runs to the end, a body sent as
// it is (no transfer or content coding other than "identity"), and a first body
// that is not an error page or redirect ("<?xml" at its start, or "Location" in it).
// Content-Length (the body's own framing) gives the length; X-Content-Length only stands in when
// it is absent.
HttpSourceHead ReadHttpSourceHead(std::string_view bytes);

}  // namespace tessali::sources
