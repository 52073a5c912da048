// Input: the bytes an HTTP server sends back: status line and headers up to the blank line, then
// a body that may be chunk-framed and gzip- or deflate-coded. Each parser must stay inside its
// input, and decoding must respect its output cap.

#include <cstdint>
#include <string>
#include <string_view>

#include "app/fetch/http_answer.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using namespace tessali::app;
    std::string_view text(reinterpret_cast<const char*>(data), size);
    size_t end = FindHeadEnd(text);
    std::string_view head = end == std::string_view::npos ? text : text.substr(0, std::min(end, text.size()));
    if (auto answer = ParseAnswerHead(head)) {
        (void)answer;
    }
    (void)ParseContentLength(text.substr(0, std::min<size_t>(text.size(), 40)));
    (void)ParseChunkSizeLine(text, 1 << 20);
    std::string out;
    if (InflateBody(text, 1 << 20, out) && out.size() > (1 << 20)) {
        __builtin_trap();
    }
    return 0;
}
