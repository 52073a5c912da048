// CResumeRecord: which pieces of a task are verified and written, kept in memory and in the
// task's ".mem" file: content size (8 bytes), the piece bitfield, verified bytes (8 bytes), all
// little-endian, exactly bitfield length + 16 bytes. A process killed at any moment leaves the
// previous or the new record, never a torn one: a save replaces the file whole, or, for a record
// of at most one page, writes it over the same-length file in one write through a descriptor
// kept open (a kill cannot cut a write inside one page; this runs after every piece).
// Not thread-safe: the task's block writer, serialised by the task, is its only writer.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "engine/core/bitfield.h"
#include "engine/platform/file.h"

namespace tessali::core {

class CResumeRecord {
public:
    // `path`: data folder + task key + ".mem" (see task_key.h).
    explicit CResumeRecord(std::string path);

    const std::string& Path() const { return m_path; }
    bool Exists() const;

    // Prepares the record for a content of `contentSize` bytes in pieces of `pieceLength`. An
    // existing file must be exactly the right length for them, name the same content size and
    // hold verified bytes that match its bitfield (no bit past the last piece); a missing one is
    // created empty (no piece). False when the file cannot be made, read, or does not fit.
    bool Load(int64_t contentSize, uint32_t pieceLength);
    // Every piece set and verified bytes = content size, in memory only.
    void CreateFull(uint32_t pieceLength, int64_t contentSize);

    bool HasPiece(uint32_t index) const { return m_pieces.Test(index); }
    // Sets a piece's bit; true when it was not set before (counted in PiecesSetSinceLoad).
    bool SetPiece(uint32_t index);
    void AddVerified(int64_t bytes);
    // SetPiece and, when the piece is new, AddVerified of that piece's length; true when new.
    bool MarkPieceVerified(uint32_t index);
    // True when verified bytes reach the content size (a count above it is clamped and logged).
    bool IsComplete();

    // Writes the record to the ".mem" file (whole-file replacement, or the one-write overwrite
    // of a small record); on a full disk it overwrites the file's bytes in place instead. False
    // (logged) when it could not be written.
    bool Save();
    // Clears every piece that does not lie wholly before `position` (content bytes from there
    // on are gone); the number of pieces cleared. The file is not saved here.
    uint32_t ClearPiecesFrom(int64_t position);
    // Forgets everything and deletes the ".mem" file.
    void Remove();

    bool IsLoaded() const { return m_loaded; }
    int64_t ContentSize() const { return m_contentSize; }
    uint32_t PieceLength() const { return m_pieceLength; }
    uint32_t PieceCount() const { return m_pieces.Bits(); }
    size_t BitfieldLength() const { return m_pieces.Size(); }
    int64_t VerifiedBytes() const { return m_verified; }
    uint32_t PiecesSetSinceLoad() const { return m_setSinceLoad; }
    const Bitfield& Pieces() const { return m_pieces; }
    // The length of piece `index`: the piece length, less for the last piece; 0 out of range.
    int64_t PieceSize(uint32_t index) const;
    // The record exactly as it is stored.
    std::vector<uint8_t> FileBytes() const;

private:
    bool Prepare(int64_t contentSize, uint32_t pieceLength);
    bool SaveInPlace(std::span<const uint8_t> bytes);
    // The one-write overwrite through m_kept: false (descriptor dropped) when the file it holds
    // is no longer the record at m_path or has another length.
    bool SaveToKept(std::span<const uint8_t> bytes);
    int64_t CountedBytes() const;

    std::string m_path;
    bool m_loaded = false;
    int64_t m_contentSize = 0;
    uint32_t m_pieceLength = 0;
    Bitfield m_pieces;
    int64_t m_verified = 0;
    uint32_t m_setSinceLoad = 0;
    platform::File m_kept;  // the ".mem" file as last written by Save, open for writing
};

}  // namespace tessali::core
