// The downloader's HTTP fetch client for its three small jobs outside the engine: the manifest
// fetch (a worker thread of its own, a completion event the caller waits on, a cancel flag,
// If-Modified-Since/304, redirects, Content-Length, chunked and gzip bodies), the picture fetch and
// the statistics beacon (both on the calling thread). A body is written to its file only once it
// has arrived whole, through a temporary file and a rename, so a failed fetch never leaves a
// partial file behind.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>

#include "app/fetch/http_answer.h"
#include "app/fetch/http_socket.h"
#include "engine/platform/event.h"

namespace tessali::app {

// Longest URLs (in the ANSI code page) each kind accepts; a longer one fails instead of being cut.
inline constexpr size_t kMaxManifestUrlBytes = 520;
inline constexpr size_t kMaxPictureUrlBytes = 10240;

struct FetchOptions {
    int receiveTimeoutMs = 10000;
    int connectTimeoutMs = 10000;
    size_t maxBodyBytes = kMaxBodyBytes;
    // Longest wait for a whole manifest refresh; negative waits without limit. A server that
    // accepts and never answers would otherwise hold the program's start-up forever.
    int64_t overallTimeoutMs = -1;
};

struct FetchResult {
    enum Outcome { kFailed, kBody, kNotModified } outcome = kFailed;
    std::string body;          // kBody: decoded when the answer was gzip-coded with a length or chunked
    std::string lastModified;  // the answer's Last-Modified value, when a 200 carried one
    std::string error;         // kFailed: why, in a few words (for logs and tests, never shown)
};

// One manifest transfer: answers 304, redirects, 200 with Content-Length, chunked or close-delimited
// bodies and gzip coding. Receive time-outs are repeated until `cancel` is set. `slot`, when given,
// publishes the open socket so that another thread can abort it.
FetchResult FetchManifestBody(std::string_view url, std::string_view modifiedSince,
                              const FetchOptions& options, const std::atomic<bool>* cancel = nullptr,
                              CSocketSlot* slot = nullptr);

// One picture transfer: redirects and 200 with Content-Length or until close; no 304, chunked or
// gzip handling; any receive time-out ends it.
FetchResult FetchPictureBody(std::string_view url, const FetchOptions& options = {});

// Fetches a picture and writes a non-empty body to `localPath`. An empty body succeeds and writes
// nothing; a failure writes nothing.
bool FetchPicture(std::string_view url, const std::string& localPath, const FetchOptions& options = {});

// Sends one statistics beacon to `url` (which needs "http://" and a '/' after the host) and closes
// without reading the answer; true when every byte went out.
bool SendBeacon(std::string_view url, int timeoutMs = 4000);

// A manifest fetch: create with a name, Prepare, Start, Wait, read the flags, Stop. The worker
// thread owns the transfer; the caller only reads the flags after the completion event is set.
class CManifestFetch {
public:
    enum State { kNotStarted = 0, kRunning = 1, kFinishedEmpty = 2, kFinished = 3 };

    explicit CManifestFetch(std::string name);
    ~CManifestFetch();
    CManifestFetch(const CManifestFetch&) = delete;
    CManifestFetch& operator=(const CManifestFetch&) = delete;

    // Stores a new URL and file; the modified-since text goes back to the initial date.
    void Prepare(std::string url, std::string localPath);
    // Stops a previous run, then starts the worker (nothing when the URL is empty).
    void Start();
    // Waits for the completion event; a negative time-out waits without limit.
    bool Wait(int64_t timeoutMs = -1);
    // Asks a running transfer to end, aborting its socket.
    void Cancel();
    // Cancels, waits for the worker to end and clears the flags.
    void Stop();

    const std::string& Name() const { return m_name; }
    int GetState() const { return m_state.load(); }
    bool Succeeded() const { return m_success.load(); }
    bool NotModified() const { return m_notModified.load(); }
    std::string ModifiedSince() const;
    // Why the last run failed ("" after a success).
    std::string Error() const;
    void SetOptions(const FetchOptions& options) { m_options = options; }

private:
    void Run();

    const std::string m_name;
    std::string m_url;
    std::string m_path;
    mutable std::mutex m_textLock;  // m_modifiedSince and m_error, written by the worker
    std::string m_modifiedSince;
    std::string m_error;
    FetchOptions m_options;
    std::atomic<int> m_state{kNotStarted};
    std::atomic<bool> m_success{false};
    std::atomic<bool> m_cancel{false};
    std::atomic<bool> m_notModified{false};
    platform::Event m_done{platform::Event::Reset::kManual, true};
    CSocketSlot m_socket;
    std::thread m_worker;
};

}  // namespace tessali::app
