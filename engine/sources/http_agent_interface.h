// CHttpAgentInterface: what the engine asks of the HTTP-source downloader. Each HTTP download is
// named by a 20-byte key (SHA-1 of its URL text). Every operation is safe from any thread; the
// implementation (CHttpAgent) runs its sockets on its own worker thread.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "engine/core/task_hash.h"

namespace tessali::sources {

using HttpKey = core::TaskHash;

// One unfinished download as the engine's status reports see it.
struct HttpJobStatus {
    HttpKey key;
    int64_t bytesWritten = 0;
    uint32_t speed = 0;  // bytes per second
    int64_t contentLength = 0;
    std::string path;  // target path (without the temporary extension)
};

// Results of Add.
constexpr int kHttpAddStarted = 1;
constexpr int kHttpAddComplete = 2;
constexpr int kHttpAddFailed = -1;

class CHttpAgentInterface {
public:
    virtual ~CHttpAgentInterface() = default;
    virtual bool Start() = 0;
    virtual void Stop() = 0;
    // 1 started, 2 already complete (no connection is opened), -1 failure. An empty target path
    // puts the file in the temporary folder.
    virtual int Add(const std::string& url, const HttpKey& key, int64_t part,
                    const std::string& targetPath) = 0;
    virtual bool Remove(const HttpKey& key) = 0;
    // Copies the first queued notification when `buffer` is large enough and removes it; otherwise
    // `length` gets the size needed. False when nothing is queued or the buffer is too small.
    virtual bool TakeNotification(std::span<uint8_t> buffer, size_t& length) = 0;
    virtual uint32_t Speed(const HttpKey& key) = 0;
    virtual int64_t BytesWritten(const HttpKey& key) = 0;
    virtual int64_t ContentLength(const HttpKey& key) = 0;
    virtual std::string TargetPath(const HttpKey& key) = 0;
    // The text of a refused answer (status line, headers and what came of the body); bytes copied.
    virtual size_t FailedResponseText(const HttpKey& key, std::span<char> buffer) = 0;
    // initiative: the engine stops the download (it is kept for loading into its task); otherwise
    // the server closed or the transfer failed. erase: forget the download entirely.
    virtual bool Close(const HttpKey& key, bool initiative, bool erase) = 0;
    virtual void Link(const HttpKey& key, const core::TaskHash& task) = 0;
    virtual bool TaskOf(const HttpKey& key, core::TaskHash& task) = 0;
    virtual std::vector<HttpJobStatus> StatusSnapshot() = 0;
    // Adjusts the byte total the speed is computed from (the speed counter subtracts expired bytes).
    virtual void AddToByteTotal(const HttpKey& key, int64_t bytes) = 0;
    // Copies the downloaded whole pieces into the linked task and deletes the temporary file;
    // the number of pieces written, or -1 when there is no linked task to load into.
    virtual int LoadIntoTask(const HttpKey& key) = 0;
};

}  // namespace tessali::sources
