// Input: one byte choosing the reader's options, then the bytes a server or peer sends: a status
// or request line, header lines with any line ends, maybe an empty line and a body. The reader
// must stay inside its input and its bounds, and what it returns must outlive the input.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "engine/platform/http_head.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using namespace tessali::platform;
    if (size == 0) {
        return 0;
    }
    HttpHeadOptions options;
    const uint8_t choice = data[0];
    options.firstLine = static_cast<HttpFirstLine>(choice % 3);
    options.bareLf = (choice & 0x04) != 0;
    options.maxHeadBytes = (choice & 0x08) ? 64 : 4096;
    options.maxLines = (choice & 0x10) ? 4 : 256;
    const uint64_t lengthCap = (choice & 0x20) ? 133120 : UINT64_MAX;

    // A copy that dies before the parsed head is used: ASan sees any view left into it.
    auto* copy = new std::string(reinterpret_cast<const char*>(data) + 1, size - 1);
    HttpHeadEnd end = FindHttpHeadEnd(*copy, options);
    if (end.kind == HttpHeadEnd::kFound &&
        (end.bodyOffset > copy->size() || end.bodyOffset > options.maxHeadBytes)) {
        __builtin_trap();
    }
    std::string_view head = end.kind == HttpHeadEnd::kFound
                                ? std::string_view(*copy).substr(0, end.bodyOffset)
                                : std::string_view(*copy);
    std::optional<CHttpHead> parsed = ReadHttpHead(head, options);
    delete copy;
    if (!parsed) {
        return 0;
    }
    if (parsed->HeaderCount() > options.maxLines || parsed->Status() < 0 || parsed->Status() > 999 ||
        (options.firstLine != HttpFirstLine::kStatus && parsed->Status() != 0)) {
        __builtin_trap();
    }
    size_t seen = parsed->Version().size() + parsed->Reason().size();
    for (std::string_view name : {"Content-Length", "Location", "Transfer-Encoding", "ST", "X"}) {
        if (std::optional<std::string_view> value = parsed->Find(name)) {
            seen += value->size();
            if (!value->empty() && (value->front() == ' ' || value->back() == ' ')) {
                __builtin_trap();  // values come trimmed
            }
            if (std::optional<uint64_t> n = ParseHttpLength(*value, lengthCap); n && *n > lengthCap) {
                __builtin_trap();
            }
        }
    }
    if (seen > size) {
        __builtin_trap();
    }
    return 0;
}
