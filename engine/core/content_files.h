// CContentFiles: a task's content as the concatenation of its content files in list order. Maps
// content positions onto files, writes and reads ranges that cross file ends, reads piece ranges
// for upload, and finishes or deletes every file at once.
// The list is built once (before the task runs) and not changed afterwards; the operations may
// then be called from any thread, each file guarding itself.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <vector>

#include "engine/core/mirt_file.h"

namespace tessali::core {

class CResumeRecord;

class CContentFiles {
public:
    struct Location {
        size_t index = 0;    // file in the list
        int64_t offset = 0;  // position inside that file
    };

    void Add(std::unique_ptr<CMirtFile> file);
    size_t Count() const { return m_files.size(); }
    bool Empty() const { return m_files.empty(); }
    CMirtFile& File(size_t index) { return *m_files[index]; }
    const CMirtFile& File(size_t index) const { return *m_files[index]; }
    int64_t TotalSize() const;

    // The file holding content position `position`; nullopt below 0 or at/past the end.
    std::optional<Location> Locate(int64_t position) const;
    // Writes `data` at a content position, continuing at offset 0 of the next file when a file
    // ends: bytes written (fewer only at the end of the content), or -1 when any part failed or
    // the position lies past the content.
    int64_t WriteAt(int64_t position, std::span<const uint8_t> data);
    int64_t ReadAt(int64_t position, std::span<uint8_t> out);

    // Reads for upload at piece * pieceLength + offset, clamped to the content: bytes read; 0 for
    // an empty content or when a piece touched is not in `record` (nullptr: every piece is there,
    // as for a share task); -2 for a position at/past the end or an empty buffer; -1 on a failed read.
    // The caller adds the bytes to its uploaded total when it counts uploads.
    int64_t ReadPieceRange(const CResumeRecord* record, uint32_t pieceLength, uint32_t piece, uint32_t offset,
                           std::span<uint8_t> out);

    bool OpenAll();
    // Finishes every file (".!mt" renamed away); false when some rename failed.
    bool FinishAll();
    // True when every file carries its final name.
    bool AllFinished() const;
    // Deletes every unfinished file; with alsoFinished, finished ones too.
    void DeleteFiles(bool alsoFinished);

private:
    std::vector<std::unique_ptr<CMirtFile>> m_files;
};

}  // namespace tessali::core
