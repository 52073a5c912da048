#include "engine/platform/http_head.h"

#include <algorithm>

namespace tessali::platform {
namespace {

char Lower(char c) {
    return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

bool IsBlank(char c) {
    return c == ' ' || c == '\t';
}

// [begin, end) of `text` without blanks at either side.
void TrimBlanks(std::string_view text, size_t& begin, size_t& end) {
    while (begin < end && IsBlank(text[begin])) {
        ++begin;
    }
    while (end > begin && IsBlank(text[end - 1])) {
        --end;
    }
}

// The end of the line starting at `at` (its line end excluded) and where the next one starts;
// a last line without a line end runs to the end of the text.
void NextLine(std::string_view text, size_t at, bool bareLf, size_t& lineEnd, size_t& next) {
    if (bareLf) {
        size_t lf = text.find('\n', at);
        if (lf == std::string_view::npos) {
            lineEnd = next = text.size();
        } else {
            lineEnd = (lf > at && text[lf - 1] == '\r') ? lf - 1 : lf;
            next = lf + 1;
        }
        if (lineEnd == text.size() && lineEnd > at && text[lineEnd - 1] == '\r') {
            --lineEnd;  // a CR cut from its LF at the end of the text
        }
        return;
    }
    size_t crlf = text.find("\r\n", at);
    if (crlf == std::string_view::npos) {
        lineEnd = next = text.size();
    } else {
        lineEnd = crlf;
        next = crlf + 2;
    }
}

// "HTTP/<version> <three digits>[ <reason>]"; the reason phrase is free text.
bool ReadStatusLine(std::string_view line, size_t lineAt, int& status, size_t& versionAt, size_t& versionLen,
                    size_t& reasonAt, size_t& reasonLen) {
    constexpr std::string_view kProtocol = "HTTP/";
    if (!line.starts_with(kProtocol)) {
        return false;
    }
    size_t space = line.find(' ');
    if (space == std::string_view::npos || line.size() < space + 4) {
        return false;
    }
    if (line.size() > space + 4 && line[space + 4] != ' ') {
        return false;  // more than three digits
    }
    int code = 0;
    for (char c : line.substr(space + 1, 3)) {
        if (c < '0' || c > '9') {
            return false;
        }
        code = code * 10 + (c - '0');
    }
    status = code;
    versionAt = lineAt + kProtocol.size();
    versionLen = space - kProtocol.size();
    reasonAt = lineAt + std::min(line.size(), space + 5);
    reasonLen = line.size() - std::min(line.size(), space + 5);
    return true;
}

}  // namespace

HttpHeadEnd FindHttpHeadEnd(std::string_view buffered, const HttpHeadOptions& options) {
    HttpHeadEnd out;
    std::string_view window = buffered.substr(0, options.maxHeadBytes);
    size_t end = std::string_view::npos;
    if (options.bareLf) {
        // The first empty line: LF LF, or LF CR LF.
        for (size_t lf = window.find('\n'); lf != std::string_view::npos; lf = window.find('\n', lf + 1)) {
            if (lf + 1 < window.size() && window[lf + 1] == '\n') {
                end = lf + 2;
                break;
            }
            if (lf + 2 < window.size() && window[lf + 1] == '\r' && window[lf + 2] == '\n') {
                end = lf + 3;
                break;
            }
        }
    } else {
        size_t at = window.find("\r\n\r\n");
        end = at == std::string_view::npos ? at : at + 4;
    }
    if (end != std::string_view::npos) {
        out.kind = HttpHeadEnd::kFound;
        out.bodyOffset = end;
    } else if (buffered.size() >= options.maxHeadBytes) {
        out.kind = HttpHeadEnd::kTooLarge;
    }
    return out;
}

std::optional<CHttpHead> ReadHttpHead(std::string_view given, const HttpHeadOptions& options) {
    // Only the bound's worth is walked; a head that does not end within it is refused.
    const size_t bound = std::min<size_t>(options.maxHeadBytes, std::numeric_limits<uint32_t>::max());
    const std::string_view head = given.substr(0, bound);
    const bool cut = given.size() > bound;
    CHttpHead out;
    size_t at = 0;
    size_t lineEnd = 0;
    size_t next = 0;
    if (options.firstLine != HttpFirstLine::kNone) {
        NextLine(head, 0, options.bareLf, lineEnd, next);
        if (options.firstLine == HttpFirstLine::kStatus) {
            size_t versionAt = 0, versionLen = 0, reasonAt = 0, reasonLen = 0;
            if (!ReadStatusLine(head.substr(0, lineEnd), 0, out.m_status, versionAt, versionLen, reasonAt,
                                reasonLen)) {
                return std::nullopt;
            }
            out.m_version = {static_cast<uint32_t>(versionAt), static_cast<uint32_t>(versionLen)};
            out.m_reason = {static_cast<uint32_t>(reasonAt), static_cast<uint32_t>(reasonLen)};
        }
        at = next;
    }
    size_t lines = 0;
    bool ended = false;
    while (at < head.size()) {
        NextLine(head, at, options.bareLf, lineEnd, next);
        if (lineEnd == at && next > at) {
            ended = true;  // the empty line: the head ends here
            break;
        }
        if (++lines > options.maxLines) {
            return std::nullopt;
        }
        size_t colon = head.substr(at, lineEnd - at).find(':');
        if (colon != std::string_view::npos) {
            size_t nameBegin = at, nameEnd = at + colon;
            size_t valueBegin = at + colon + 1, valueEnd = lineEnd;
            TrimBlanks(head, nameBegin, nameEnd);
            TrimBlanks(head, valueBegin, valueEnd);
            if (nameEnd > nameBegin) {
                out.m_fields.push_back(
                    {{static_cast<uint32_t>(nameBegin), static_cast<uint32_t>(nameEnd - nameBegin)},
                     {static_cast<uint32_t>(valueBegin), static_cast<uint32_t>(valueEnd - valueBegin)}});
            }
        }
        at = next;
    }
    if (cut && !ended) {
        return std::nullopt;
    }
    out.m_text.assign(head.substr(0, at));
    return out;
}

std::optional<std::string_view> CHttpHead::Find(std::string_view name) const {
    for (const Field& f : m_fields) {
        if (HttpTextEquals(Slice(f.name), name)) {
            return Slice(f.value);
        }
    }
    return std::nullopt;
}

std::optional<uint64_t> ParseHttpLength(std::string_view value, uint64_t max) {
    if (value.empty()) {
        return std::nullopt;
    }
    uint64_t n = 0;
    for (char c : value) {
        if (c < '0' || c > '9') {
            return std::nullopt;
        }
        uint64_t digit = static_cast<uint64_t>(c - '0');
        if (digit > max || n > (max - digit) / 10) {
            return std::nullopt;  // past `max`, and so never past what 64 bits hold
        }
        n = n * 10 + digit;
    }
    return n;
}

std::string_view HttpTrimBlanks(std::string_view text) {
    size_t begin = 0;
    size_t end = text.size();
    TrimBlanks(text, begin, end);
    return text.substr(begin, end - begin);
}

bool HttpTextEquals(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) {
        return false;
    }
    for (size_t i = 0; i < a.size(); ++i) {
        if (Lower(a[i]) != Lower(b[i])) {
            return false;
        }
    }
    return true;
}

bool HttpValueStartsWith(std::string_view value, std::string_view token) {
    return value.size() >= token.size() && HttpTextEquals(value.substr(0, token.size()), token);
}

}  // namespace tessali::platform
