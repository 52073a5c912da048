#include "engine/core/resume_record.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

#include "engine/core/engine_log.h"
#include "engine/platform/file.h"

namespace tessali::core {
namespace {

// A record of at most this many bytes, written at offset 0, lies in one page: one write of it is
// not cut by a process kill.
constexpr size_t kOneWriteBytes = 4096;

void PutLe64(std::vector<uint8_t>& out, size_t at, int64_t value) {
    auto v = static_cast<uint64_t>(value);
    for (int i = 0; i < 8; ++i) {
        out[at + static_cast<size_t>(i)] = static_cast<uint8_t>(v >> (8 * i));
    }
}

int64_t GetLe64(std::string_view in, size_t at) {
    uint64_t v = 0;
    for (int i = 7; i >= 0; --i) {
        v = (v << 8) | static_cast<uint8_t>(in[at + static_cast<size_t>(i)]);
    }
    return static_cast<int64_t>(v);
}

}  // namespace

CResumeRecord::CResumeRecord(std::string path) : m_path(std::move(path)) {}

bool CResumeRecord::Exists() const {
    return platform::FileExists(m_path);
}

bool CResumeRecord::Prepare(int64_t contentSize, uint32_t pieceLength) {
    m_loaded = false;
    if (contentSize <= 0 || pieceLength == 0) {
        return false;
    }
    uint64_t count = (static_cast<uint64_t>(contentSize) + pieceLength - 1) / pieceLength;
    if (count > UINT32_MAX) {
        return false;
    }
    m_contentSize = contentSize;
    m_pieceLength = pieceLength;
    m_pieces = Bitfield(static_cast<uint32_t>(count));
    m_verified = 0;
    m_setSinceLoad = 0;
    return true;
}

int64_t CResumeRecord::PieceSize(uint32_t index) const {
    if (index >= m_pieces.Bits()) {
        return 0;
    }
    int64_t start = static_cast<int64_t>(index) * m_pieceLength;
    return std::min<int64_t>(m_pieceLength, m_contentSize - start);
}

int64_t CResumeRecord::CountedBytes() const {
    uint32_t count = m_pieces.Bits();
    if (count == 0) {
        return 0;
    }
    uint32_t full = m_pieces.Count();
    int64_t bytes = static_cast<int64_t>(full) * m_pieceLength;
    if (m_pieces.Test(count - 1)) {
        bytes -= m_pieceLength - PieceSize(count - 1);
    }
    return bytes;
}

bool CResumeRecord::Load(int64_t contentSize, uint32_t pieceLength) {
    if (!Prepare(contentSize, pieceLength)) {
        return false;
    }
    const size_t expected = m_pieces.Size() + 16;
    if (!platform::FileExists(m_path)) {
        // A new record is written whole at once, so it can be loaded again after any kill.
        if (!Save()) {
            return false;
        }
        m_loaded = true;
        return true;
    }
    auto bytes = platform::ReadWholeFile(m_path, static_cast<int64_t>(expected));
    if (!bytes || bytes->size() != expected) {
        return false;
    }
    if (GetLe64(*bytes, 0) != contentSize) {
        return false;  // a record of other content
    }
    std::span<const uint8_t> bits(reinterpret_cast<const uint8_t*>(bytes->data()) + 8, m_pieces.Size());
    m_pieces.Assign(bits);
    int64_t stored = GetLe64(*bytes, 8 + m_pieces.Size());
    m_verified = CountedBytes();
    // Every save writes the bits and their byte count together, so a record whose count does not
    // match its bits (or with bits set past the last piece) was damaged on disk: none of its bits
    // can be trusted, and a piece it claims wrongly would end up in the finished file unchecked.
    const bool spareBitsSet = !std::equal(bits.begin(), bits.end(), m_pieces.Bytes().begin());
    if (stored != m_verified || spareBitsSet) {
        EngineLog(kLogFail,
                  "resume record %s is damaged (verified bytes %lld, its pieces hold %lld), not used\n",
                  m_path.c_str(), static_cast<long long>(stored), static_cast<long long>(m_verified));
        Prepare(contentSize, pieceLength);
        return false;
    }
    m_loaded = true;
    return true;
}

void CResumeRecord::CreateFull(uint32_t pieceLength, int64_t contentSize) {
    if (!Prepare(contentSize, pieceLength)) {
        return;
    }
    m_pieces.SetAll();
    m_verified = contentSize;
    m_loaded = true;
}

bool CResumeRecord::SetPiece(uint32_t index) {
    if (index >= m_pieces.Bits() || m_pieces.Test(index)) {
        return false;
    }
    m_pieces.Set(index);
    ++m_setSinceLoad;
    return true;
}

void CResumeRecord::AddVerified(int64_t bytes) {
    int64_t total = m_verified + bytes;
    if (total > m_contentSize) {
        EngineLog(kLogInfo, "######~下载的文件大小超过了实际大小啦!~~~~~~\n");
    }
    m_verified = total;
}

bool CResumeRecord::MarkPieceVerified(uint32_t index) {
    if (!SetPiece(index)) {
        return false;
    }
    AddVerified(PieceSize(index));
    return true;
}

uint32_t CResumeRecord::ClearPiecesFrom(int64_t position) {
    uint32_t cleared = 0;
    if (m_pieceLength == 0) {
        return 0;
    }
    // Pieces before this one end at or before `position`.
    const auto first = static_cast<uint32_t>(
        std::min<int64_t>(std::max<int64_t>(position, 0) / m_pieceLength, m_pieces.Bits()));
    for (uint32_t i = first; i < m_pieces.Bits(); ++i) {
        if (m_pieces.Test(i) && static_cast<int64_t>(i) * m_pieceLength + PieceSize(i) > position) {
            m_pieces.Clear(i);
            ++cleared;
        }
    }
    if (cleared > 0) {
        m_verified = CountedBytes();
    }
    return cleared;
}

bool CResumeRecord::IsComplete() {
    if (m_contentSize <= 0) {
        return false;
    }
    if (m_verified > m_contentSize) {
        EngineLog(kLogInfo, "!~下载的文件大小比实际文件大!~~~~~~\n");
        m_verified = m_contentSize;
        return true;
    }
    return m_verified == m_contentSize;
}

std::vector<uint8_t> CResumeRecord::FileBytes() const {
    std::vector<uint8_t> out(m_pieces.Size() + 16, 0);
    PutLe64(out, 0, m_contentSize);
    std::copy(m_pieces.Bytes().begin(), m_pieces.Bytes().end(), out.begin() + 8);
    PutLe64(out, 8 + m_pieces.Size(), m_verified);
    return out;
}

bool CResumeRecord::Save() {
    if (m_pieces.Bits() == 0) {
        return false;
    }
    std::vector<uint8_t> bytes = FileBytes();
    if (SaveToKept(bytes)) {
        return true;
    }
    // Written beside and renamed over the record: a kill leaves the old or the new bytes. No
    // fsync: this runs after every piece, and the kernel keeps both files across a process kill.
    std::string tmp = m_path + ".tmp";
    int64_t written = -1;
    int error = 0;
    {
        platform::File file;
        if (file.Open(tmp, platform::File::kWrite | platform::File::kCreate | platform::File::kTruncate)) {
            written = file.WriteAt(0, bytes);
        }
        error = errno;
    }
    if (written == static_cast<int64_t>(bytes.size())) {
        if (platform::RenameFile(tmp, m_path)) {
            // Later saves of a small record overwrite this file instead of replacing it.
            if (bytes.size() <= kOneWriteBytes) {
                m_kept.Open(m_path, platform::File::kWrite);
            }
            return true;
        }
        error = errno;
    }
    ::unlink(tmp.c_str());
    // A full disk has no room for the new file, but the record is always the same length:
    // writing it over its old bytes needs no new space, and one small write is not torn by a
    // process kill. Without this every piece verified on a full disk would be forgotten.
    if ((error == ENOSPC || error == EDQUOT) && SaveInPlace(bytes)) {
        return true;
    }
    EngineLog(kLogPlain, "WriteMemFile Fail %d!!!\n", static_cast<int>(written));
    return false;
}

bool CResumeRecord::SaveToKept(std::span<const uint8_t> bytes) {
    if (!m_kept.IsOpen()) {
        return false;
    }
    // Removed, replaced (renamed over) or resized by anyone else: the kept descriptor no longer
    // writes the record that a restart would read.
    struct stat kept {};
    if (bytes.size() > kOneWriteBytes || ::fstat(m_kept.Fd(), &kept) != 0 || kept.st_nlink == 0 ||
        kept.st_size != static_cast<off_t>(bytes.size())) {
        m_kept.Close();
        return false;
    }
    if (m_kept.WriteAt(0, bytes) != static_cast<int64_t>(bytes.size())) {
        m_kept.Close();
        return false;
    }
    return true;
}

bool CResumeRecord::SaveInPlace(std::span<const uint8_t> bytes) {
    if (platform::FileSize(m_path) != static_cast<int64_t>(bytes.size())) {
        return false;
    }
    platform::File file;
    return file.Open(m_path, platform::File::kWrite) &&
           file.WriteAt(0, bytes) == static_cast<int64_t>(bytes.size());
}

void CResumeRecord::Remove() {
    m_kept.Close();
    m_pieces = Bitfield();
    m_verified = 0;
    m_setSinceLoad = 0;
    m_loaded = false;
    ::unlink((m_path + ".tmp").c_str());
    if (::unlink(m_path.c_str()) != 0 && errno != ENOENT) {
        EngineLog(kLogPlain6, "Delete File Failed!!!File: %s,Error Code:%d\n", m_path.c_str(), errno);
    }
}

}  // namespace tessali::core
