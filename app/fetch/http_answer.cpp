#include "app/fetch/http_answer.h"

#include <zlib.h>

#include "engine/platform/http_head.h"

namespace tessali::app {
namespace {

int HexValue(char c) {
    if (c >= '0' && c <= '9') {
        return c - '0';
    }
    if (c >= 'a' && c <= 'f') {
        return c - 'a' + 10;
    }
    if (c >= 'A' && c <= 'F') {
        return c - 'A' + 10;
    }
    return -1;
}

// A head fills at most one receive buffer, and every line takes at least its CR LF.
platform::HttpHeadOptions AnswerHeadOptions() {
    platform::HttpHeadOptions o;
    o.firstLine = platform::HttpFirstLine::kStatus;
    o.maxHeadBytes = kReceiveBufferBytes;
    o.maxLines = kReceiveBufferBytes / 2;
    return o;
}

// Eighteen digits at most: more is no size a manifest or picture could have.
constexpr uint64_t kMaxContentLength = 999999999999999999ull;

}  // namespace

const std::string* HttpAnswerHead::Find(std::string_view name) const {
    for (const auto& [key, value] : headers) {
        if (platform::HttpTextEquals(key, name)) {
            return &value;
        }
    }
    return nullptr;
}

bool HttpAnswerHead::IsRedirect() const {
    return status == 301 || status == 302 || status == 303 || status == 307 || status == 308;
}

size_t FindHeadEnd(std::string_view buffered) {
    platform::HttpHeadEnd end = platform::FindHttpHeadEnd(buffered, AnswerHeadOptions());
    return end.kind == platform::HttpHeadEnd::kFound ? end.bodyOffset : std::string_view::npos;
}

std::optional<HttpAnswerHead> ParseAnswerHead(std::string_view head) {
    std::optional<platform::CHttpHead> read = platform::ReadHttpHead(head, AnswerHeadOptions());
    if (!read) {
        return std::nullopt;
    }
    HttpAnswerHead out;
    out.status = read->Status();
    out.headers.reserve(read->HeaderCount());
    for (size_t i = 0; i < read->HeaderCount(); ++i) {
        out.headers.emplace_back(std::string(read->HeaderName(i)), std::string(read->HeaderValue(i)));
    }
    return out;
}

std::optional<uint64_t> ParseContentLength(std::string_view value) {
    return platform::ParseHttpLength(value, kMaxContentLength);
}

bool ValueStartsWith(std::string_view value, std::string_view token) {
    return platform::HttpValueStartsWith(value, token);
}

ChunkSizeLine ParseChunkSizeLine(std::string_view buffered, uint64_t maxSize) {
    ChunkSizeLine out;
    size_t end = buffered.substr(0, kMaxChunkLineBytes).find("\r\n");
    if (end == std::string_view::npos) {
        out.kind =
            buffered.size() >= kMaxChunkLineBytes ? ChunkSizeLine::kMalformed : ChunkSizeLine::kNeedMore;
        return out;
    }
    std::string_view line = buffered.substr(0, end);
    size_t i = 0;
    uint64_t size = 0;
    for (; i < line.size(); ++i) {
        int v = HexValue(line[i]);
        if (v < 0) {
            break;
        }
        if (size > (maxSize >> 4)) {
            out.kind = ChunkSizeLine::kMalformed;  // would pass the cap (or overflow) with this digit
            return out;
        }
        size = (size << 4) | static_cast<uint64_t>(v);
    }
    std::string_view rest = platform::HttpTrimBlanks(line.substr(i));
    if (i == 0 || size > maxSize || (!rest.empty() && rest.front() != ';')) {
        out.kind = ChunkSizeLine::kMalformed;
        return out;
    }
    out.kind = ChunkSizeLine::kSize;
    out.size = size;
    out.consumed = end + 2;
    return out;
}

bool InflateBody(std::string_view coded, size_t maxBytes, std::string& out) {
    out.clear();
    z_stream zs{};
    if (inflateInit2(&zs, 15 + 32) != Z_OK) {
        return false;
    }
    zs.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(coded.data()));
    zs.avail_in = static_cast<uInt>(coded.size());
    bool ended = false;
    bool ok = true;
    char step[1024];
    while (true) {
        zs.next_out = reinterpret_cast<Bytef*>(step);
        zs.avail_out = sizeof(step);
        int rc = inflate(&zs, Z_SYNC_FLUSH);
        size_t produced = sizeof(step) - zs.avail_out;
        if (out.size() + produced > maxBytes) {
            ok = false;
            break;
        }
        out.append(step, produced);
        if (rc == Z_STREAM_END) {
            ended = true;
            break;
        }
        if (rc != Z_OK && rc != Z_BUF_ERROR) {
            ok = false;
            break;
        }
        if (zs.avail_in == 0 && zs.avail_out != 0) {
            break;  // all input consumed and nothing more pending
        }
        if (rc == Z_BUF_ERROR && produced == 0) {
            break;
        }
    }
    inflateEnd(&zs);
    if (!ok || !ended) {
        out.clear();
        return false;
    }
    return true;
}

}  // namespace tessali::app
