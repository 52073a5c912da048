// Reading the head of an HTTP message, the one way the program and the engine do it: where the
// head ends, the status line (version, code, reason), header lookup by exact name without regard
// to case, and a strict reader for length values. Heads are bounded in bytes and in lines, so a
// server or peer that never ends its head cannot make memory grow. Pure functions; any thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <limits>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace tessali::platform {

enum class HttpFirstLine {
    kStatus,   // an answer: "HTTP/<version> <three digits>[ <reason>]", anything else is refused
    kSkipped,  // a request line (or whatever comes first): neither read nor taken for a header
    kNone,     // header lines from the first line on (a fragment, an SSDP datagram)
};

struct HttpHeadOptions {
    HttpFirstLine firstLine = HttpFirstLine::kStatus;
    // Lines may end with LF alone (a CR before it is dropped); otherwise only CR LF ends a line
    // and a lone LF stays part of its line.
    bool bareLf = false;
    // The head, its empty line included, must fit in this many bytes.
    size_t maxHeadBytes = 16384;
    // Lines after the first, header or not.
    size_t maxLines = 256;
};

struct HttpHeadEnd {
    enum Kind { kIncomplete, kFound, kTooLarge };
    Kind kind = kIncomplete;
    size_t bodyOffset = 0;  // kFound: just past the empty line that ends the head
};

// Looks for the empty line that ends the head in what has arrived so far. kTooLarge once the
// head cannot end within options.maxHeadBytes; only that many bytes are ever searched.
HttpHeadEnd FindHttpHeadEnd(std::string_view buffered, const HttpHeadOptions& options = {});

// A parsed head. Owns a copy of its text, so it may outlive the buffer it was read from.
class CHttpHead {
public:
    // The status line's parts; 0 and empty texts when the first line is not read as one.
    int Status() const { return m_status; }
    std::string_view Version() const { return Slice(m_version); }
    std::string_view Reason() const { return Slice(m_reason); }

    // The value of the first header whose whole name equals `name` without regard to case,
    // blanks around it dropped; nothing when there is none. "X-Content-Length" is not
    // "Content-Length".
    std::optional<std::string_view> Find(std::string_view name) const;
    size_t HeaderCount() const { return m_fields.size(); }
    // Header `index` (< HeaderCount()) as name and trimmed value, in the order they came.
    std::string_view HeaderName(size_t index) const { return Slice(m_fields[index].name); }
    std::string_view HeaderValue(size_t index) const { return Slice(m_fields[index].value); }

private:
    friend std::optional<CHttpHead> ReadHttpHead(std::string_view, const HttpHeadOptions&);
    struct Span {
        uint32_t at = 0;
        uint32_t size = 0;
    };
    struct Field {
        Span name;
        Span value;
    };
    std::string_view Slice(Span s) const { return std::string_view(m_text).substr(s.at, s.size); }

    std::string m_text;
    int m_status = 0;
    Span m_version;
    Span m_reason;
    std::vector<Field> m_fields;
};

// Reads a head: the text from the first line up to (with or without) the empty line; anything
// after an empty line is not looked at. Nothing when the head does not end within
// options.maxHeadBytes, has more than options.maxLines lines, or (kStatus) its first line is no
// status line. A line without a colon, or with nothing before it, is not a header and is passed
// over.
std::optional<CHttpHead> ReadHttpHead(std::string_view head, const HttpHeadOptions& options = {});

// A length value (Content-Length and the like): decimal digits only, at least one, no sign or
// blank, at most `max`. Nothing for anything else, overflow included.
std::optional<uint64_t> ParseHttpLength(std::string_view value,
                                        uint64_t max = std::numeric_limits<uint64_t>::max());

// `text` without the blanks (spaces, tabs) at either end, as header values are given.
std::string_view HttpTrimBlanks(std::string_view text);

// Header names and coding tokens compare without regard to case.
bool HttpTextEquals(std::string_view a, std::string_view b);
// True when `value` starts with `token` ("gzip", "chunked"), without regard to case.
bool HttpValueStartsWith(std::string_view value, std::string_view token);

}  // namespace tessali::platform
