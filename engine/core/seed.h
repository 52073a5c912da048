// CSeed: one task's seed (a bencoded metainfo dictionary): its raw bytes as stored on disk and
// sent to peers, and what the parse walk finds in them (name, files, lengths, piece length and
// hashes, trackers, ad URL, creation date, text encoding, where the "info" dictionary lies).
// Texts are kept as UTF-8; names and paths are decoded from the seed's declared encoding.
// Not thread-safe: the owning task serialises use (its task lock).
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "engine/core/task_hash.h"

namespace tessali::core {

enum SeedEncoding : int { kSeedGbk = 0, kSeedBig5 = 1, kSeedUtf8 = 2 };

// Seeds larger than this are refused (memory stays bounded whatever a peer sends).
constexpr size_t kMaxSeedBytes = 64u << 20;
// Lists and dictionaries nested deeper than this fail the parse instead of recursing on.
constexpr int kMaxSeedNesting = 32;

struct SeedFile {
    std::string path;  // relative, UTF-8, starts with '/', elements joined by '/'
    int64_t length = 0;
};

class CSeed {
public:
    // `seedPath`: the seed file (data folder + task key + ".torrent", see task_key.h).
    explicit CSeed(std::string seedPath = {});

    const std::string& SeedPath() const { return m_seedPath; }
    bool Exists() const;
    // Reads the whole seed file and parses it; true when it holds at least one piece hash.
    bool LoadFromDisk();
    // Takes seed bytes received from a peer (not parsed yet). False when they are empty, too
    // large, or of another length than a seed this object already holds.
    bool KeepReceived(std::span<const uint8_t> bytes);
    // Writes the raw bytes to the seed file, replacing it whole (a reader never sees a torn seed).
    bool Save() const;
    // Parses the raw bytes; true when a usable "pieces" value was found. On failure every parsed
    // field is reset (the raw bytes stay), so nothing half-parsed is ever used.
    bool Parse();
    // Frees the raw bytes and resets everything parsed.
    void Clear();

    bool HasBytes() const { return !m_raw.empty(); }
    std::span<const uint8_t> RawBytes() const { return {m_raw.data(), m_rawLength}; }

    int64_t TotalLength() const { return m_totalLength; }
    uint32_t PieceLength() const { return m_pieceLength; }
    uint32_t PieceCount() const { return m_pieceCount; }
    // The concatenated 20-byte piece hashes, in piece order (empty when not parsed).
    std::span<const uint8_t> PieceHashes() const;
    // Hash of piece `index` (< PieceCount()).
    std::span<const uint8_t, 20> PieceHash(uint32_t index) const;
    // The length of piece `index`: the piece length, less for the last piece.
    int64_t PieceSize(uint32_t index) const;

    const std::string& Name() const { return m_name; }
    // Files of a multi-file seed in seed order; empty for a single-file seed.
    const std::vector<SeedFile>& Files() const { return m_files; }
    size_t FileCount() const { return m_files.size(); }
    bool IsMultiFile() const { return !m_files.empty(); }
    // Name + relative path for index < FileCount(), else the name.
    std::string FileName(size_t index) const;
    // That file's length; the total length for index >= FileCount().
    int64_t FileLength(size_t index) const;

    const std::string& PrimaryTracker() const { return m_primaryTracker; }
    const std::vector<std::string>& Trackers() const { return m_trackers; }
    const std::string& AdUrl() const { return m_adUrl; }
    uint64_t CreationDate() const { return m_creationDate; }
    int Encoding() const { return m_encoding; }
    // The "info" dictionary exactly as it stands in the raw bytes (empty when absent).
    std::span<const uint8_t> InfoBytes() const;

    // SHA-1 over the piece hashes: the identifier of a native seed.
    TaskHash PiecesHash() const;
    // SHA-1 over the "info" dictionary bytes: the BitTorrent info hash.
    TaskHash InfoHash() const;
    // Native when the "announce" text contains the engine tracker URL.
    bool IsNative(std::string_view engineTrackerUrl) const;
    TaskHash TaskId(std::string_view engineTrackerUrl) const;
    // A stored seed belongs to a download task when its pieces hash (native seeds) or its info
    // hash (foreign seeds, as their share tasks announce them) is the task's hash.
    bool MatchesTask(const TaskHash& hash) const;

private:
    void ResetParsed();

    std::string m_seedPath;
    std::vector<uint8_t> m_raw;  // m_rawLength bytes plus one spare zero byte
    size_t m_rawLength = 0;

    int64_t m_totalLength = 0;
    uint32_t m_pieceLength = 0;
    uint32_t m_pieceCount = 0;
    size_t m_piecesOffset = 0;
    std::string m_name;
    std::vector<SeedFile> m_files;
    std::string m_primaryTracker;
    std::vector<std::string> m_trackers;
    std::string m_adUrl;
    uint64_t m_creationDate = 0;
    int m_encoding = kSeedGbk;
    size_t m_infoOffset = 0;
    size_t m_infoLength = 0;
};

// Decodes a seed text (name, path element) from the seed's encoding to UTF-8: GBK and Big5
// through the platform's converter (code 0 uses the process's ANSI code page, GBK by default),
// UTF-8 as it is when valid.
std::string DecodeSeedText(std::string_view bytes, int encoding);

}  // namespace tessali::core
