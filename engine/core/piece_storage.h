// IPieceStorage: what the piece machinery of a download task needs from the task around it —
// the seed's piece hashes, the content files, and the resume record — so that piece selection,
// block intake and verification can be tested against a fake store.
#pragma once

#include <array>
#include <cstdint>
#include <span>
#include <string>

#include "engine/core/bitfield.h"

namespace tessali::core {

class IPieceStorage {
public:
    virtual ~IPieceStorage() = default;

    // The seed's SHA-1 of piece `index`; false when there is none.
    virtual bool ExpectedPieceHash(uint32_t index, std::array<uint8_t, 20>& out) const = 0;
    // Writes at an absolute content position; bytes written, or -1 with `error` set (errno).
    virtual int64_t WriteContent(int64_t position, std::span<const uint8_t> data, int& error) = 0;

    // The resume record: verified pieces.
    virtual bool HasPiece(uint32_t index) const = 0;
    virtual Bitfield HaveBitfield() const = 0;
    // Sets the piece's bit, adds `length` to the verified bytes and saves the record.
    virtual void RecordPiece(uint32_t index, int64_t length) = 0;
    virtual bool RecordComplete() const = 0;

    // Called once, when the last piece made the content complete.
    virtual void OnFirstComplete() = 0;
    // Folder and file name for log lines.
    virtual std::string LogName() const = 0;
};

}  // namespace tessali::core
