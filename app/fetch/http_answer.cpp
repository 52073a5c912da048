#include "app/fetch/http_answer.h"

#include <zlib.h>

#include <strings.h>

namespace tessali::app {
namespace {

bool EqualsNoCase(std::string_view a, std::string_view b) {
    return a.size() == b.size() && strncasecmp(a.data(), b.data(), a.size()) == 0;
}

std::string_view Trim(std::string_view s) {
    while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) {
        s.remove_prefix(1);
    }
    while (!s.empty() && (s.back() == ' ' || s.back() == '\t')) {
        s.remove_suffix(1);
    }
    return s;
}

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

}  // namespace

const std::string* HttpAnswerHead::Find(std::string_view name) const {
    for (const auto& [key, value] : headers) {
        if (EqualsNoCase(key, name)) {
            return &value;
        }
    }
    return nullptr;
}

bool HttpAnswerHead::IsRedirect() const {
    return status == 301 || status == 302 || status == 303 || status == 307 || status == 308;
}

size_t FindHeadEnd(std::string_view buffered) {
    size_t end = buffered.find("\r\n\r\n");
    return end == std::string_view::npos ? end : end + 4;
}

std::optional<HttpAnswerHead> ParseAnswerHead(std::string_view head) {
    size_t lineEnd = head.find("\r\n");
    std::string_view status = head.substr(0, lineEnd);
    if (!status.starts_with("HTTP/")) {
        return std::nullopt;
    }
    size_t space = status.find(' ');
    if (space == std::string_view::npos || status.size() < space + 4) {
        return std::nullopt;
    }
    std::string_view code = status.substr(space + 1, 3);
    if (status.size() > space + 4 && status[space + 4] != ' ') {
        return std::nullopt;
    }
    HttpAnswerHead out;
    for (char c : code) {
        if (c < '0' || c > '9') {
            return std::nullopt;
        }
        out.status = out.status * 10 + (c - '0');
    }
    while (lineEnd != std::string_view::npos) {
        size_t start = lineEnd + 2;
        lineEnd = head.find("\r\n", start);
        std::string_view line =
            head.substr(start, lineEnd == std::string_view::npos ? head.npos : lineEnd - start);
        size_t colon = line.find(':');
        if (colon == std::string_view::npos || colon == 0) {
            continue;  // not a header line; nothing we rely on can be in it
        }
        out.headers.emplace_back(std::string(Trim(line.substr(0, colon))),
                                 std::string(Trim(line.substr(colon + 1))));
    }
    return out;
}

std::optional<uint64_t> ParseContentLength(std::string_view value) {
    if (value.empty() || value.size() > 18) {
        return std::nullopt;
    }
    uint64_t n = 0;
    for (char c : value) {
        if (c < '0' || c > '9') {
            return std::nullopt;
        }
        n = n * 10 + static_cast<uint64_t>(c - '0');
    }
    return n;
}

bool ValueStartsWith(std::string_view value, std::string_view token) {
    return value.size() >= token.size() && EqualsNoCase(value.substr(0, token.size()), token);
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
    std::string_view rest = Trim(line.substr(i));
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
