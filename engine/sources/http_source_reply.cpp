#include "engine/sources/http_source_reply.h"

#include <charconv>

namespace tessali::sources {
namespace {

bool SameNameIgnoringCase(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) {
        return false;
    }
    for (size_t i = 0; i < a.size(); ++i) {
        char x = a[i];
        char y = b[i];
        if (x >= 'A' && x <= 'Z') {
            x = static_cast<char>(x - 'A' + 'a');
        }
        if (y >= 'A' && y <= 'Z') {
            y = static_cast<char>(y - 'A' + 'a');
        }
        if (x != y) {
            return false;
        }
    }
    return true;
}

std::string_view TrimBlanks(std::string_view s) {
    while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) {
        s.remove_prefix(1);
    }
    while (!s.empty() && (s.back() == ' ' || s.back() == '\t')) {
        s.remove_suffix(1);
    }
    return s;
}

// A whole non-negative decimal number; -1 for anything else (sign, trailing text, overflow).
int64_t WholeNumber(std::string_view text) {
    int64_t value = 0;
    auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (ec != std::errc() || end != text.data() + text.size() || text.empty() || value < 0) {
        return -1;
    }
    return value;
}

// The named header's value as a length; -1 when absent or not a number.
int64_t HeaderNumber(std::string_view head, std::string_view name) {
    std::optional<std::string_view> value = HttpHeaderValue(head, name);
    return value ? WholeNumber(*value) : -1;
}

// A 206 answers a request that asked for no range: its range must be the whole resource.
// Without a Content-Range it is taken as the whole resource, as a 200 would be.
bool PartialAnswerIsWhole(std::string_view head) {
    std::optional<std::string_view> range = HttpHeaderValue(head, "Content-Range");
    if (!range) {
        return true;
    }
    std::string_view r = *range;
    if (r.size() < 6 || !SameNameIgnoringCase(r.substr(0, 6), "bytes ")) {
        return false;
    }
    r = TrimBlanks(r.substr(6));
    size_t dash = r.find('-');
    size_t slash = r.find('/');
    if (dash == std::string_view::npos || slash == std::string_view::npos || slash < dash) {
        return false;
    }
    int64_t first = WholeNumber(TrimBlanks(r.substr(0, dash)));
    int64_t last = WholeNumber(TrimBlanks(r.substr(dash + 1, slash - dash - 1)));
    std::string_view totalText = TrimBlanks(r.substr(slash + 1));
    if (first != 0 || last < 0) {
        return false;
    }
    if (totalText == "*") {
        return true;
    }
    int64_t total = WholeNumber(totalText);
    return total >= 0 && last + 1 == total;
}

}  // namespace

std::optional<std::string_view> HttpHeaderValue(std::string_view head, std::string_view name) {
    size_t at = head.find("\r\n");  // header lines follow the status line
    while (at != std::string_view::npos) {
        size_t start = at + 2;
        size_t end = head.find("\r\n", start);
        std::string_view line = head.substr(start, end == std::string_view::npos ? head.npos : end - start);
        if (line.empty()) {
            break;  // the end of the head
        }
        size_t colon = line.find(':');
        if (colon != std::string_view::npos && SameNameIgnoringCase(line.substr(0, colon), name)) {
            return TrimBlanks(line.substr(colon + 1));
        }
        at = end;
    }
    return std::nullopt;
}

HttpSourceHead ReadHttpSourceHead(std::string_view bytes) {
    HttpSourceHead out;
    size_t lineEnd = bytes.find("\r\n");
    std::string_view status = bytes.substr(0, lineEnd == std::string_view::npos ? bytes.size() : lineEnd);
    // A status line that cannot become acceptable is refused at once; a short one may still grow.
    if (bytes.size() >= 7 && bytes.substr(0, 7) != "HTTP/1.") {
        out.verdict = HttpSourceHead::kRefused;
        return out;
    }
    bool partial = status.find("206 ") != std::string_view::npos;
    if (lineEnd != std::string_view::npos && status.find("200 ") == std::string_view::npos && !partial) {
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
    if (partial && status.find("200 ") == std::string_view::npos && !PartialAnswerIsWhole(head)) {
        out.verdict = HttpSourceHead::kRefused;
        return out;
    }
    // The body is stored as it arrives: chunk framing or a compression the agent does not undo
    // would become part of the file.
    for (std::string_view coding : {"Transfer-Encoding", "Content-Encoding"}) {
        std::optional<std::string_view> value = HttpHeaderValue(head, coding);
        if (value && !SameNameIgnoringCase(*value, "identity")) {
            out.verdict = HttpSourceHead::kRefused;
            return out;
        }
    }
    // Content-Length frames the bytes that actually arrive; a disagreeing X-Content-Length would
    // cut the file short or wait for bytes that never come.
    int64_t length = HeaderNumber(head, "Content-Length");
    if (length < 0) {
        length = HeaderNumber(head, "X-Content-Length");
    }
    out.contentLength = length < 0 ? kUnknownContentLength : length;
    out.bodyOffset = headEnd + 4;
    // Error pages and redirects some servers send with a 200 status show in the body that came
    // with the head; the head itself is not searched (Content-Location is an ordinary header).
    std::string_view body = bytes.substr(out.bodyOffset);
    if (body.starts_with("<?xml") || body.find("Location") != std::string_view::npos) {
        out.verdict = HttpSourceHead::kRefused;
        return out;
    }
    out.verdict = HttpSourceHead::kAccepted;
    return out;
}

}  // namespace tessali::sources
