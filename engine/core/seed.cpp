#include "engine/core/seed.h"

#include <algorithm>
#include <cstring>
#include <limits>

#include "engine/core/sha1.h"
#include "engine/platform/file.h"
#include "engine/platform/text_convert.h"

namespace tessali::core {
namespace {

// What the walk collects before names are decoded (decoding needs the final encoding code, and
// a seed may name its encoding after its name).
struct RawFile {
    std::vector<std::string_view> elements;
    int64_t length = 0;
};

struct ParsedSeed {
    int64_t totalLength = 0;
    int64_t pieceLength = 0;
    bool piecesFound = false;
    size_t piecesOffset = 0;
    size_t piecesLength = 0;
    std::string_view name;
    bool hasUtf8Name = false;
    std::string_view utf8Name;
    std::vector<RawFile> files;
    std::string primaryTracker;
    std::vector<std::string> trackers;
    std::string_view adUrl;
    uint64_t creationDate = 0;
    int encoding = kSeedGbk;
    size_t infoOffset = 0;
    size_t infoLength = 0;
};

// A single forward walk over bencoded bytes that never reads past `end` and gives up on nesting
// deeper than kMaxSeedNesting.
class SeedWalk {
public:
    SeedWalk(const uint8_t* data, size_t length, ParsedSeed& out) : m_data(data), m_end(length), m_out(out) {}

    bool Run() { return Peek() == 'd' && WalkDict(0); }

private:
    int Peek() const { return m_pos < m_end ? m_data[m_pos] : -1; }
    static bool IsDigit(int c) { return c >= '0' && c <= '9'; }

    bool ReadString(std::string_view& out) {
        if (!IsDigit(Peek())) {
            return false;
        }
        size_t length = 0;
        while (IsDigit(Peek())) {
            length = length * 10 + static_cast<size_t>(m_data[m_pos] - '0');
            if (length > m_end) {
                return false;  // longer than the whole buffer; also stops overflow
            }
            ++m_pos;
        }
        if (Peek() != ':') {
            return false;
        }
        ++m_pos;
        if (length > m_end - m_pos) {
            return false;
        }
        out = std::string_view(reinterpret_cast<const char*>(m_data + m_pos), length);
        m_pos += length;
        return true;
    }

    bool ReadInt(int64_t& out) {
        if (Peek() != 'i') {
            return false;
        }
        ++m_pos;
        bool negative = false;
        if (Peek() == '-') {
            negative = true;
            ++m_pos;
        }
        if (!IsDigit(Peek())) {
            return false;
        }
        uint64_t value = 0;
        const uint64_t limit = negative ? uint64_t{1} << 63 : static_cast<uint64_t>(INT64_MAX);
        while (IsDigit(Peek())) {
            uint64_t digit = static_cast<uint64_t>(m_data[m_pos] - '0');
            if (value > (limit - digit) / 10) {
                return false;
            }
            value = value * 10 + digit;
            ++m_pos;
        }
        if (Peek() != 'e') {
            return false;
        }
        ++m_pos;
        out = negative ? static_cast<int64_t>(0 - value) : static_cast<int64_t>(value);
        return true;
    }

    bool SkipValue(int depth) {
        if (depth > kMaxSeedNesting) {
            return false;
        }
        int c = Peek();
        if (c == 'i') {
            int64_t ignored;
            return ReadInt(ignored);
        }
        if (IsDigit(c)) {
            std::string_view ignored;
            return ReadString(ignored);
        }
        if (c == 'l' || c == 'd') {
            ++m_pos;
            while (Peek() != 'e') {
                if (Peek() < 0) {
                    return false;
                }
                if (c == 'd') {
                    std::string_view key;
                    if (!ReadString(key)) {
                        return false;
                    }
                }
                if (!SkipValue(depth + 1)) {
                    return false;
                }
            }
            ++m_pos;
            return true;
        }
        return false;
    }

    bool WalkDict(int depth) {
        if (depth > kMaxSeedNesting || Peek() != 'd') {
            return false;
        }
        ++m_pos;
        while (Peek() != 'e') {
            std::string_view key;
            if (!ReadString(key)) {
                return false;  // also the end of the buffer before the closing 'e'
            }
            int c = Peek();
            bool ok;
            if (c == 'd') {
                size_t start = m_pos;
                ok = WalkDict(depth + 1);
                if (ok && key == "info") {
                    m_out.infoOffset = start;
                    m_out.infoLength = m_pos - start;
                }
            } else if (c == 'l') {
                if (key == "files") {
                    ok = WalkFiles(depth + 1);
                } else if (key == "announce-list") {
                    ok = WalkAnnounceList(depth + 1);
                } else {
                    ok = SkipValue(depth + 1);
                }
            } else if (c == 'i') {
                ok = IntValue(key);
            } else if (IsDigit(c)) {
                ok = StringValue(key);
            } else {
                ok = false;
            }
            if (!ok) {
                return false;
            }
        }
        ++m_pos;
        return true;
    }

    bool IntValue(std::string_view key) {
        int64_t value = 0;
        if (!ReadInt(value)) {
            return false;
        }
        if (key == "piece length") {
            m_out.pieceLength = value;
        } else if (key == "length") {
            if (value < 0 || (m_out.totalLength != 0 && m_out.totalLength != value)) {
                return false;
            }
            m_out.totalLength = value;
        } else if (key == "creation date" && value >= 0) {
            m_out.creationDate = static_cast<uint64_t>(value);
        }
        return true;
    }

    bool StringValue(std::string_view key) {
        std::string_view value;
        if (!ReadString(value)) {
            return false;
        }
        if (key == "pieces") {
            if (value.size() / 20 == 0) {
                return false;
            }
            m_out.piecesFound = true;
            m_out.piecesOffset = m_pos - value.size();
            m_out.piecesLength = value.size() / 20 * 20;
        } else if (key == "announce") {
            m_out.primaryTracker = std::string(value);
            m_out.trackers.emplace_back(value);
        } else if (key == "encoding") {
            if (value == "UTF-8") {
                m_out.encoding = kSeedUtf8;
            } else if (value == "Big5") {
                m_out.encoding = kSeedBig5;
            } else if (value == "GBK") {
                m_out.encoding = kSeedGbk;
            }
        } else if (key == "name") {
            m_out.name = value;
        } else if (key == "name.utf-8") {
            m_out.hasUtf8Name = true;
            m_out.utf8Name = value;
        } else if (key == "adurl") {
            m_out.adUrl = value;
        } else if (key == "creation date") {
            uint64_t date = 0;
            for (char ch : value) {
                if (ch < '0' || ch > '9' || date > (UINT64_MAX - 9) / 10) {
                    break;
                }
                date = date * 10 + static_cast<uint64_t>(ch - '0');
            }
            m_out.creationDate = date;
        }
        return true;
    }

    bool WalkFiles(int depth) {
        if (depth > kMaxSeedNesting) {
            return false;
        }
        ++m_pos;  // 'l'
        while (Peek() != 'e') {
            if (Peek() != 'd' || !WalkFileDict(depth + 1)) {
                return false;
            }
        }
        ++m_pos;
        return true;
    }

    bool WalkFileDict(int depth) {
        if (depth > kMaxSeedNesting) {
            return false;
        }
        ++m_pos;  // 'd'
        RawFile file;
        bool hasPath = false;
        bool hasLength = false;
        while (Peek() != 'e') {
            std::string_view key;
            if (!ReadString(key)) {
                return false;
            }
            if (key == "path") {
                if (Peek() != 'l') {
                    return false;
                }
                ++m_pos;
                file.elements.clear();
                while (Peek() != 'e') {
                    std::string_view element;
                    if (!ReadString(element)) {
                        return false;
                    }
                    file.elements.push_back(element);
                }
                ++m_pos;
                hasPath = true;
            } else if (key == "length") {
                if (!ReadInt(file.length) || file.length < 0) {
                    return false;
                }
                hasLength = true;
            } else if (!SkipValue(depth + 1)) {
                return false;
            }
        }
        ++m_pos;
        if (!hasPath || !hasLength || file.elements.empty()) {
            return false;
        }
        if (file.length > INT64_MAX - m_out.totalLength) {
            return false;
        }
        m_out.totalLength += file.length;
        m_out.files.push_back(std::move(file));
        return true;
    }

    bool WalkAnnounceList(int depth) {
        if (depth > kMaxSeedNesting) {
            return false;
        }
        ++m_pos;  // 'l'
        while (Peek() != 'e') {
            int c = Peek();
            bool ok;
            if (IsDigit(c)) {
                std::string_view url;
                ok = ReadString(url);
                if (ok) {
                    m_out.trackers.emplace_back(url);
                }
            } else if (c == 'l') {
                ok = WalkAnnounceList(depth + 1);
            } else {
                ok = SkipValue(depth + 1);
            }
            if (!ok) {
                return false;
            }
        }
        ++m_pos;
        return true;
    }

    const uint8_t* m_data;
    size_t m_end;
    size_t m_pos = 0;
    ParsedSeed& m_out;
};

// Characters a file name may not hold; each becomes a space.
void ReplaceNameCharacters(std::string& name) {
    for (char& c : name) {
        if (std::strchr("?/\\|:*<>\"", c) != nullptr || c == '\0') {
            c = ' ';
        }
    }
}

// A path element that could leave the task's folder or name something other than one file.
bool IsSafePathElement(std::string_view element) {
    return !element.empty() && element != "." && element != ".." &&
           element.find_first_of(std::string_view("/\\\0", 3)) == std::string_view::npos;
}

}  // namespace

std::string DecodeSeedText(std::string_view bytes, int encoding) {
    if (encoding == kSeedUtf8) {
        return platform::IsValidUtf8(bytes) ? std::string(bytes) : platform::AnsiToUtf8(bytes);
    }
    if (encoding == kSeedBig5) {
        if (auto text = platform::ConvertText(bytes, "BIG5", "UTF-8")) {
            return *text;
        }
    }
    return platform::AnsiToUtf8(bytes);
}

CSeed::CSeed(std::string seedPath) : m_seedPath(std::move(seedPath)) {}

bool CSeed::Exists() const {
    return !m_seedPath.empty() && platform::FileExists(m_seedPath);
}

bool CSeed::LoadFromDisk() {
    Clear();
    if (m_seedPath.empty()) {
        return false;
    }
    auto bytes = platform::ReadWholeFile(m_seedPath, kMaxSeedBytes);
    if (!bytes || bytes->empty()) {
        return false;
    }
    m_raw.assign(bytes->begin(), bytes->end());
    m_rawLength = bytes->size();
    m_raw.push_back(0);
    return Parse();
}

bool CSeed::KeepReceived(std::span<const uint8_t> bytes) {
    if (bytes.empty() || bytes.size() > kMaxSeedBytes) {
        return false;
    }
    if (!m_raw.empty() && m_rawLength != bytes.size()) {
        return false;
    }
    m_raw.assign(bytes.begin(), bytes.end());
    m_raw.push_back(0);
    m_rawLength = bytes.size();
    return true;
}

bool CSeed::Save() const {
    if (m_seedPath.empty() || m_raw.empty()) {
        return false;
    }
    return platform::WriteFileAtomically(
        m_seedPath, std::string_view(reinterpret_cast<const char*>(m_raw.data()), m_rawLength));
}

void CSeed::ResetParsed() {
    m_totalLength = 0;
    m_pieceLength = 0;
    m_pieceCount = 0;
    m_piecesOffset = 0;
    m_name.clear();
    m_files.clear();
    m_primaryTracker.clear();
    m_trackers.clear();
    m_adUrl.clear();
    m_creationDate = 0;
    m_encoding = kSeedGbk;
    m_infoOffset = 0;
    m_infoLength = 0;
}

void CSeed::Clear() {
    m_raw.clear();
    m_raw.shrink_to_fit();
    m_rawLength = 0;
    ResetParsed();
}

bool CSeed::Parse() {
    ResetParsed();
    if (m_raw.empty()) {
        return false;
    }
    ParsedSeed p;
    SeedWalk walk(m_raw.data(), m_rawLength, p);
    if (!walk.Run() || !p.piecesFound) {
        return false;
    }
    // Lengths the pieces and files must agree on; later code divides by the piece length and
    // indexes hashes by positions, so a seed that disagrees with itself is refused here.
    if (p.pieceLength <= 0 || p.pieceLength > UINT32_MAX || p.totalLength <= 0) {
        return false;
    }
    uint64_t pieceCount = p.piecesLength / 20;
    uint64_t needed = (static_cast<uint64_t>(p.totalLength) + static_cast<uint64_t>(p.pieceLength) - 1) /
                      static_cast<uint64_t>(p.pieceLength);
    if (pieceCount != needed || pieceCount > UINT32_MAX || p.files.size() > UINT16_MAX) {
        return false;
    }

    std::string name = DecodeSeedText(p.name, p.encoding);
    if (p.hasUtf8Name && p.encoding != kSeedGbk && platform::IsValidUtf8(p.utf8Name)) {
        name = std::string(p.utf8Name);
    }
    ReplaceNameCharacters(name);
    if (name == "." || name == "..") {
        return false;
    }
    std::vector<SeedFile> files;
    files.reserve(p.files.size());
    for (const RawFile& raw : p.files) {
        SeedFile file;
        file.length = raw.length;
        for (std::string_view element : raw.elements) {
            std::string decoded = DecodeSeedText(element, p.encoding);
            if (!IsSafePathElement(decoded)) {
                return false;
            }
            file.path += '/';
            file.path += decoded;
        }
        files.push_back(std::move(file));
    }

    m_totalLength = p.totalLength;
    m_pieceLength = static_cast<uint32_t>(p.pieceLength);
    m_pieceCount = static_cast<uint32_t>(pieceCount);
    m_piecesOffset = p.piecesOffset;
    m_name = std::move(name);
    m_files = std::move(files);
    m_primaryTracker = std::move(p.primaryTracker);
    m_trackers = std::move(p.trackers);
    m_adUrl = platform::AnsiToUtf8(p.adUrl);
    m_creationDate = p.creationDate;
    m_encoding = p.encoding;
    m_infoOffset = p.infoOffset;
    m_infoLength = p.infoLength;
    return true;
}

std::span<const uint8_t> CSeed::PieceHashes() const {
    if (m_pieceCount == 0) {
        return {};
    }
    return {m_raw.data() + m_piecesOffset, static_cast<size_t>(m_pieceCount) * 20};
}

std::span<const uint8_t, 20> CSeed::PieceHash(uint32_t index) const {
    return PieceHashes().subspan(static_cast<size_t>(index) * 20).first<20>();
}

int64_t CSeed::PieceSize(uint32_t index) const {
    if (index >= m_pieceCount) {
        return 0;
    }
    int64_t start = static_cast<int64_t>(index) * m_pieceLength;
    return std::min<int64_t>(m_pieceLength, m_totalLength - start);
}

std::string CSeed::FileName(size_t index) const {
    return index < m_files.size() ? m_name + m_files[index].path : m_name;
}

int64_t CSeed::FileLength(size_t index) const {
    return index < m_files.size() ? m_files[index].length : m_totalLength;
}

std::span<const uint8_t> CSeed::InfoBytes() const {
    if (m_infoLength == 0) {
        return {};
    }
    return {m_raw.data() + m_infoOffset, m_infoLength};
}

TaskHash CSeed::PiecesHash() const {
    return TaskHash{Sha1Of(PieceHashes())};
}

TaskHash CSeed::InfoHash() const {
    return TaskHash{Sha1Of(InfoBytes())};
}

bool CSeed::IsNative(std::string_view engineTrackerUrl) const {
    return !engineTrackerUrl.empty() && m_primaryTracker.find(engineTrackerUrl) != std::string::npos;
}

TaskHash CSeed::TaskId(std::string_view engineTrackerUrl) const {
    return IsNative(engineTrackerUrl) ? PiecesHash() : InfoHash();
}

bool CSeed::MatchesTask(const TaskHash& hash) const {
    // A foreign seed is shared and announced under its info hash; both hashes bind the pieces.
    return m_pieceCount > 0 && (PiecesHash() == hash || InfoHash() == hash);
}

}  // namespace tessali::core
