// Content files of a task. CMirtFile is one file holding a share of the content, named with the
// ".!mt" suffix while unfinished; it is created preallocated on first use, written and read at
// positions with positioned I/O, and renamed to its final name when the task completes.
// CTmpMirtFile keeps the first head-length bytes of the content in memory only and stores the rest.
// Each object guards itself with its own lock: every operation may be called from any thread.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <mutex>
#include <span>
#include <string>
#include <vector>

#include "engine/platform/file.h"

namespace tessali::core {

class CMirtFile {
public:
    // Nothing is opened yet. With complete == false ".!mt" is appended to `path`.
    CMirtFile(std::string path, int64_t size, bool complete);
    virtual ~CMirtFile();
    CMirtFile(const CMirtFile&) = delete;
    CMirtFile& operator=(const CMirtFile&) = delete;

    // Creates missing folders and the file, preallocated to its size when it is new (an existing
    // shorter file is extended). A new file whose preallocation fails is deleted. True when ready.
    bool Open();
    // This object's share of the content in bytes.
    virtual int64_t Size() const;
    // Writes at `position`, clamped to the size: bytes written (0 at the very end), or -1. A file
    // that was deleted, replaced or truncated under us answers -1 from then on (its bytes are
    // gone, so nothing written later may be trusted) until DeleteTemporary or DeleteContent.
    virtual int64_t WriteAt(int64_t position, std::span<const uint8_t> data);
    // Reads at `position`, clamped to the size: bytes read, or -1 (also when the file is shorter
    // than it should be). A finished file is read through a read-only descriptor that is opened
    // again by name whenever the file it holds was deleted or replaced.
    virtual int64_t ReadAt(int64_t position, std::span<uint8_t> out);

    // Closes the file and deletes it when its name carries ".!mt"; false when the delete failed.
    bool DeleteTemporary();
    // Closes the file and deletes it whatever its name (the finished file of a deleted task).
    bool DeleteContent();
    // Closes the file and renames it to its name cut at the first ".!mt" of the file name; the
    // rename never replaces an existing file. True on success or when already finished.
    bool Finish();
    // Pushes written bytes to the disk (for callers that want power-loss durability).
    bool Flush();

    std::string Path() const;
    bool IsFinished() const;
    bool IsOpen() const;
    uint64_t BytesWritten() const;
    // errno of the last open that failed (0 when none did).
    int LastError() const;
    // What the last failed open could not do to the file: "made" (it did not exist), "opened"
    // or "extended" (an existing file shorter than its size).
    const char* LastFailedStep() const;

private:
    bool OpenLocked();
    void CloseLocked();
    // False (and the file closed and marked lost) when the path no longer names the file we
    // opened or that file got shorter than our size.
    bool CheckStillThereLocked();
    bool FinishedLocked() const;

    mutable std::mutex m_lock;
    std::string m_path;
    const int64_t m_size;
    platform::File m_file;
    platform::File m_readFile;  // a finished file, for reads
    dev_t m_device = 0;
    ino_t m_inode = 0;
    uint64_t m_written = 0;
    bool m_lost = false;
    int m_lastError = 0;
    const char* m_lastStep = "made";
    bool m_readFailLogged = false;
};

class CTmpMirtFile : public CMirtFile {
public:
    // The file part ("path.!mt") holds the content after the head; the head length is clamped to
    // the content size. The head is never written to disk.
    CTmpMirtFile(std::string path, int64_t contentSize, int64_t headLength);

    int64_t Size() const override;
    int64_t WriteAt(int64_t position, std::span<const uint8_t> data) override;
    int64_t ReadAt(int64_t position, std::span<uint8_t> out) override;

    int64_t HeadLength() const { return m_headLength; }

private:
    const int64_t m_headLength;
    mutable std::mutex m_headLock;
    std::vector<uint8_t> m_head;
};

}  // namespace tessali::core
