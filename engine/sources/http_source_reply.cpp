#include "engine/sources/http_source_reply.h"

#include <cstdint>

#include "engine/platform/http_head.h"

namespace tessali::sources {
namespace {

using platform::CHttpHead;
using platform::HttpTextEquals;
using platform::HttpTrimBlanks;

platform::HttpHeadOptions SourceHeadOptions() {
    platform::HttpHeadOptions options;
    options.maxHeadBytes = kMaxHttpHeadBytes;
    return options;
}

// A whole non-negative decimal number; -1 for anything else (sign, trailing text, overflow).
int64_t WholeNumber(std::string_view text) {
    std::optional<uint64_t> value = platform::ParseHttpLength(text, INT64_MAX);
    return value ? static_cast<int64_t>(*value) : -1;
}

// The named header's value as a length; -1 when absent or not a number.
int64_t HeaderNumber(const CHttpHead& head, std::string_view name) {
    std::optional<std::string_view> value = head.Find(name);
    return value ? WholeNumber(*value) : -1;
}

// A 206 answers a request that asked for no range: its range must be the whole resource.
// Without a Content-Range it is taken as the whole resource, as a 200 would be.
bool PartialAnswerIsWhole(const CHttpHead& head) {
    std::optional<std::string_view> range = head.Find("Content-Range");
    if (!range) {
        return true;
    }
    std::string_view r = *range;
    if (r.size() < 6 || !HttpTextEquals(r.substr(0, 6), "bytes ")) {
        return false;
    }
    r = HttpTrimBlanks(r.substr(6));
    size_t dash = r.find('-');
    size_t slash = r.find('/');
    if (dash == std::string_view::npos || slash == std::string_view::npos || slash < dash) {
        return false;
    }
    int64_t first = WholeNumber(HttpTrimBlanks(r.substr(0, dash)));
    int64_t last = WholeNumber(HttpTrimBlanks(r.substr(dash + 1, slash - dash - 1)));
    std::string_view totalText = HttpTrimBlanks(r.substr(slash + 1));
    if (first != 0 || last < 0) {
        return false;
    }
    if (totalText == "*") {
        return true;
    }
    int64_t total = WholeNumber(totalText);
    return total >= 0 && last + 1 == total;
}

// Only a 200, or a 206 (whole or not, decided later), carries the resource.
bool UsableStatus(int status) {
    return status == 200 || status == 206;
}

}  // namespace

HttpSourceHead ReadHttpSourceHead(std::string_view bytes) {
    HttpSourceHead out;
    // A status line that cannot become acceptable is refused at once; a short one may still grow.
    if (bytes.size() >= 7 && bytes.substr(0, 7) != "HTTP/1.") {
        out.verdict = HttpSourceHead::kRefused;
        return out;
    }
    if (size_t lineEnd = bytes.find("\r\n"); lineEnd != std::string_view::npos) {
        std::optional<CHttpHead> status = platform::ReadHttpHead(bytes.substr(0, lineEnd));
        if (!status || !UsableStatus(status->Status())) {
            out.verdict = HttpSourceHead::kRefused;
            return out;
        }
    }
    const platform::HttpHeadOptions options = SourceHeadOptions();
    platform::HttpHeadEnd end = platform::FindHttpHeadEnd(bytes, options);
    if (end.kind != platform::HttpHeadEnd::kFound) {
        out.verdict = end.kind == platform::HttpHeadEnd::kTooLarge ? HttpSourceHead::kRefused
                                                                   : HttpSourceHead::kIncomplete;
        return out;
    }
    std::optional<CHttpHead> head = platform::ReadHttpHead(bytes.substr(0, end.bodyOffset), options);
    if (!head || (head->Status() == 206 && !PartialAnswerIsWhole(*head))) {
        out.verdict = HttpSourceHead::kRefused;
        return out;
    }
    // The body is stored as it arrives: chunk framing or a compression the agent does not undo
    // would become part of the file.
    for (std::string_view coding : {"Transfer-Encoding", "Content-Encoding"}) {
        std::optional<std::string_view> value = head->Find(coding);
        if (value && !HttpTextEquals(*value, "identity")) {
            out.verdict = HttpSourceHead::kRefused;
            return out;
        }
    }
    // Content-Length frames the bytes that actually arrive; a disagreeing X-Content-Length would
    // cut the file short or wait for bytes that never come.
    int64_t length = HeaderNumber(*head, "Content-Length");
    if (length < 0) {
        length = HeaderNumber(*head, "X-Content-Length");
    }
    out.contentLength = length < 0 ? kUnknownContentLength : length;
    out.bodyOffset = end.bodyOffset;
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
