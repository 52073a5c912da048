#include "engine/sources/http_source_reply.h"

#include <charconv>

namespace tessali::sources {
namespace {

// The decimal value after the first occurrence of `name` in the head; -1 when absent or not a number.
int64_t HeaderNumber(std::string_view head, std::string_view name) {
    size_t at = head.find(name);
    if (at == std::string_view::npos) {
        return -1;
    }
    std::string_view rest = head.substr(at + name.size());
    int64_t value = 0;
    auto [end, ec] = std::from_chars(rest.data(), rest.data() + rest.size(), value);
    if (ec != std::errc() || end == rest.data() || value < 0) {
        return -1;
    }
    return value;
}

}  // namespace

HttpSourceHead ReadHttpSourceHead(std::string_view bytes) {
    HttpSourceHead out;
    size_t lineEnd = bytes.find("\r\n");
    std::string_view status = bytes.substr(0, lineEnd == std::string_view::npos ? bytes.size() : lineEnd);
    // A status line that cannot become acceptable is refused at once; a short one may still grow.
    if (bytes.size() >= 7 && bytes.substr(0, 7) != "HTTP/1.") {
        out.verdict = HttpSourceHead::kRefused;
        return out;
    }
    if (lineEnd != std::string_view::npos && status.find("200 ") == std::string_view::npos &&
        status.find("206 ") == std::string_view::npos) {
        out.verdict = HttpSourceHead::kRefused;
        return out;
    }
    size_t headEnd = bytes.find("\r\n\r\n");
    if (headEnd == std::string_view::npos) {
        out.verdict =
            bytes.size() > kMaxHttpHeadBytes ? HttpSourceHead::kRefused : HttpSourceHead::kIncomplete;
        return out;
    }
    if (headEnd + 4 > kMaxHttpHeadBytes) {
        out.verdict = HttpSourceHead::kRefused;
        return out;
    }
    std::string_view head = bytes.substr(0, headEnd + 4);
    int64_t length = HeaderNumber(head, "X-Content-Length: ");
    if (length < 0) {
        length = HeaderNumber(head, "Content-Length: ");
    }
    if (length < 0) {
        length = HeaderNumber(head, "Content-length: ");
    }
    out.contentLength = length < 0 ? kUnknownContentLength : length;
    out.bodyOffset = headEnd + 4;
    // Error pages and redirects some servers send with a 200 status. Only the head and the body
    // that came with it are searched: a download's own bytes are not.
    if (bytes.find("<?xml") != std::string_view::npos || bytes.find("Location") != std::string_view::npos) {
        out.verdict = HttpSourceHead::kRefused;
        return out;
    }
    out.verdict = HttpSourceHead::kAccepted;
    return out;
}

}  // namespace tessali::sources
