#include "engine/core/content_files.h"

#include <algorithm>

#include "engine/core/resume_record.h"

namespace tessali::core {

void CContentFiles::Add(std::unique_ptr<CMirtFile> file) {
    m_files.push_back(std::move(file));
}

int64_t CContentFiles::TotalSize() const {
    int64_t total = 0;
    for (const auto& f : m_files) {
        total += f->Size();
    }
    return total;
}

std::optional<CContentFiles::Location> CContentFiles::Locate(int64_t position) const {
    if (position < 0) {
        return std::nullopt;
    }
    for (size_t i = 0; i < m_files.size(); ++i) {
        int64_t size = m_files[i]->Size();
        if (position < size) {
            return Location{i, position};
        }
        position -= size;
    }
    return std::nullopt;
}

namespace {

// Walks the files from `position` and applies `step` (file, offset, chunk start, chunk length) to
// each piece of the range; the total moved, or -1.
template <typename Step>
int64_t WalkRange(const std::vector<std::unique_ptr<CMirtFile>>& files,
                  std::optional<CContentFiles::Location> at, size_t length, Step step) {
    if (!at) {
        return -1;
    }
    size_t done = 0;
    size_t index = at->index;
    int64_t offset = at->offset;
    while (done < length && index < files.size()) {
        int64_t room = files[index]->Size() - offset;
        auto chunk = static_cast<size_t>(
            std::min<uint64_t>(length - done, static_cast<uint64_t>(std::max<int64_t>(room, 0))));
        if (chunk > 0) {
            int64_t n = step(*files[index], offset, done, chunk);
            if (n != static_cast<int64_t>(chunk)) {
                return -1;
            }
            done += chunk;
        }
        ++index;
        offset = 0;
    }
    return static_cast<int64_t>(done);
}

}  // namespace

int64_t CContentFiles::WriteAt(int64_t position, std::span<const uint8_t> data) {
    return WalkRange(m_files, Locate(position), data.size(),
                     [&](CMirtFile& f, int64_t offset, size_t from, size_t n) {
                         return f.WriteAt(offset, data.subspan(from, n));
                     });
}

int64_t CContentFiles::ReadAt(int64_t position, std::span<uint8_t> out) {
    return WalkRange(m_files, Locate(position), out.size(),
                     [&](CMirtFile& f, int64_t offset, size_t from, size_t n) {
                         return f.ReadAt(offset, out.subspan(from, n));
                     });
}

int64_t CContentFiles::ReadPieceRange(const CResumeRecord* record, uint32_t pieceLength, uint32_t piece,
                                      uint32_t offset, std::span<uint8_t> out) {
    const int64_t size = TotalSize();
    if (size == 0) {
        return 0;
    }
    if (pieceLength == 0) {
        return -2;
    }
    const int64_t position = static_cast<int64_t>(piece) * pieceLength + offset;
    if (position >= size || out.empty()) {
        return -2;
    }
    const auto length =
        static_cast<size_t>(std::min<uint64_t>(out.size(), static_cast<uint64_t>(size - position)));
    if (record != nullptr) {
        auto first = static_cast<uint32_t>(position / pieceLength);
        auto last = static_cast<uint32_t>((position + static_cast<int64_t>(length) - 1) / pieceLength);
        for (uint32_t i = first; i <= last; ++i) {
            if (!record->HasPiece(i)) {
                return 0;
            }
        }
    }
    return ReadAt(position, out.first(length));
}

bool CContentFiles::OpenAll() {
    bool ok = true;
    for (auto& f : m_files) {
        ok = f->Open() && ok;
    }
    return ok;
}

bool CContentFiles::FinishAll() {
    bool ok = true;
    for (auto& f : m_files) {
        ok = f->Finish() && ok;
    }
    return ok;
}

bool CContentFiles::AllFinished() const {
    return std::all_of(m_files.begin(), m_files.end(), [](const auto& f) { return f->IsFinished(); });
}

void CContentFiles::DeleteFiles(bool alsoFinished) {
    for (auto& f : m_files) {
        if (alsoFinished) {
            f->DeleteContent();
        } else {
            f->DeleteTemporary();
        }
    }
}

}  // namespace tessali::core
