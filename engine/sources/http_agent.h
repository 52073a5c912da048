// CHttpAgent: downloads HTTP sources into temporary ".!hmt" files, one CAgentInfo record per
// download, at most 64 connections at once, all served by one worker thread that polls their
// sockets. The record map, the connection table and the task links each have their own lock;
// a record's own lock serialises the worker's receive with the engine's close of that record.
// The process uses one instance (HttpAgent()); tests build private ones.
#pragma once

#include <atomic>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "engine/core/ref_counted.h"
#include "engine/core/task_control.h"
#include "engine/core/task_storage.h"
#include "engine/platform/event.h"
#include "engine/sources/http_agent_interface.h"

namespace tessali::sources {

constexpr size_t kMaxHttpConnections = 64;
constexpr size_t kHttpSocketBuffer = 131072;
// A broken download with a known length that got further than this is not retried.
constexpr int64_t kHttpRetryLimitBytes = 307199;
constexpr uint8_t kHttpMaxReconnects = 2;
// A connection that brings no byte for this long is closed (and retried as a broken download).
constexpr uint32_t kHttpIdleTimeoutMs = 60000;
// The longest an idle worker sleeps; opening a connection, a socket to close or Stop wake it.
constexpr int kIdleWorkerWaitMs = 100;
// The refused answer kept for the caller is cut to this size.
constexpr size_t kMaxFailedResponseBytes = 16384;
constexpr size_t kMaxHttpUrlChars = 1024;

// Notifications queued for TakeNotification: the key (20 bytes) followed by one event byte.
constexpr uint8_t kHttpNoticeComplete = 1;
constexpr uint8_t kHttpNoticeGivenUp = 2;

class CAgentInfo : public core::RefCountedObject {
public:
    enum State : uint8_t { kInUse = 1, kGivenUp = 2, kConnected = 3 };

    std::mutex lock;  // guards everything below
    uint8_t state = kInUse;
    bool closed = false;
    std::string url;
    int64_t part = 0;
    std::string targetPath;
    uint32_t address = 0;  // network order
    uint16_t port = 0;     // host order
    HttpKey key;
    std::string request;
    bool answered = false;      // an answer's head was accepted (contentLength holds)
    int64_t contentLength = 0;  // 0 until an answer was accepted, or an empty file
    int64_t bytesWritten = 0;
    int fileFd = -1;
    int socketFd = -1;
    int64_t byteTotal = 0;  // bytes inside the speed window
    std::string failedResponse;
    bool finished = false;
    bool storageFailed = false;  // the temporary file could not be opened or written
    uint8_t reconnects = 0;
    uint32_t lastActivity = 0;                         // tick of the connect or of the last byte received
    int64_t unfed = 0;                                 // bytes written but not yet given to the byte feed
    std::string head;                                  // the answer's head while it is being received
    std::deque<std::pair<uint32_t, int64_t>> samples;  // (tick, bytes) inside the speed window

    bool Complete() const { return answered && bytesWritten == contentLength; }
};

class CHttpAgent : public CHttpAgentInterface {
public:
    // Task operations go to the engine's task manager, or to `storage` (pieces and writes) and
    // `control` (pausing a finished job's task). The byte feed is told of every write (the
    // engine's speed counter); the agent keeps its own speed window either way.
    CHttpAgent();
    CHttpAgent(core::ITaskStorage& storage, core::ITaskControl& control);
    ~CHttpAgent() override;
    CHttpAgent(const CHttpAgent&) = delete;
    CHttpAgent& operator=(const CHttpAgent&) = delete;

    bool Start() override;
    void Stop() override;
    int Add(const std::string& url, const HttpKey& key, int64_t part, const std::string& targetPath) override;
    bool Remove(const HttpKey& key) override;
    bool TakeNotification(std::span<uint8_t> buffer, size_t& length) override;
    uint32_t Speed(const HttpKey& key) override;
    int64_t BytesWritten(const HttpKey& key) override;
    int64_t ContentLength(const HttpKey& key) override;
    std::string TargetPath(const HttpKey& key) override;
    size_t FailedResponseText(const HttpKey& key, std::span<char> buffer) override;
    bool Close(const HttpKey& key, bool initiative, bool erase) override;
    void Link(const HttpKey& key, const core::TaskHash& task) override;
    bool TaskOf(const HttpKey& key, core::TaskHash& task) override;
    std::vector<HttpJobStatus> StatusSnapshot() override;
    void AddToByteTotal(const HttpKey& key, int64_t bytes) override;
    int LoadIntoTask(const HttpKey& key) override;

    // The record's connection state (CAgentInfo::State), 0 when there is no record.
    int State(const HttpKey& key);
    // Every byte of the answer is in the target file (an empty answer included).
    bool IsComplete(const HttpKey& key);
    // How long a connection may bring no byte before it is closed; tests shorten it.
    void SetIdleTimeout(uint32_t ms) { m_idleTimeoutMs = ms; }
    // Told (from the worker thread, no agent lock held) of the bytes each receive wrote.
    void SetByteFeed(std::function<void(const HttpKey&, int64_t)> feed);
    size_t ConnectionCount();
    // Connection attempts made so far (first connects and reconnects), for diagnostics and tests.
    uint64_t ConnectAttempts() const { return m_connectAttempts.load(); }
    // The temporary file of a download (target + ".!hmt", or the temporary-folder form).
    static std::string TemporaryPath(const HttpKey& key, int64_t part, const std::string& targetPath);

private:
    struct Connection {
        int fd;
        HttpKey key;
    };

    core::ITaskStorage& Storage();
    core::ITaskControl& Control();
    core::Ref<CAgentInfo> FindRecord(const HttpKey& key);
    void EraseRecord(const HttpKey& key);
    // Opens a socket and starts the connect; the socket joins the table. Record lock held.
    bool OpenConnection(CAgentInfo& info);
    // Takes the record's socket out of the table; the worker closes it. Record lock held.
    void DropConnection(CAgentInfo& info);
    void CloseSocketLater(int fd);
    void Worker();
    void OnConnected(CAgentInfo& info);
    // -1: the connection is to be closed (failure or end of stream); 0 otherwise.
    int Receive(CAgentInfo& info, bool& completed);
    int OnData(CAgentInfo& info, const uint8_t* data, size_t size, bool& completed);
    void Complete(CAgentInfo& info);
    // The close decision of a record whose lock is held; true when it was acted on.
    bool CloseLocked(CAgentInfo& info, bool initiative);
    // The download is not retried: its temporary file goes, the engine is told. Record lock held.
    void GiveUp(CAgentInfo& info);
    void CountBytes(CAgentInfo& info, int64_t bytes);
    // Hands bytes to the byte feed; called without any record lock held.
    void FeedBytes(const HttpKey& key, int64_t bytes);
    void ExpireSamples(CAgentInfo& info, uint32_t now);
    void Notify(const HttpKey& key, uint8_t event);
    // Closes the connections that brought nothing within the idle time-out.
    void CloseIdleConnections(const std::vector<HttpKey>& keys);

    core::ITaskStorage* m_storage = nullptr;  // nullptr: the engine's task manager
    core::ITaskControl* m_control = nullptr;
    std::mutex m_tableLock;
    std::vector<Connection> m_table;
    std::vector<int> m_closing;  // sockets left for the worker to close
    std::mutex m_recordLock;
    std::map<HttpKey, core::Ref<CAgentInfo>> m_records;
    std::mutex m_linkLock;
    std::map<HttpKey, core::TaskHash> m_links;
    std::mutex m_noticeLock;
    std::deque<std::vector<uint8_t>> m_notices;
    std::mutex m_feedLock;
    std::function<void(const HttpKey&, int64_t)> m_feed;
    std::atomic<bool> m_running{false};
    platform::Event m_tableChanged;  // wakes an idle worker: a socket to watch or to close, or Stop
    std::atomic<uint64_t> m_connectAttempts{0};
    std::atomic<uint32_t> m_idleTimeoutMs{kHttpIdleTimeoutMs};
    std::thread m_thread;
    std::mutex m_startLock;
};

// The process-wide agent, created on first use; DestroyHttpAgent ends it (engine shut-down).
CHttpAgent& HttpAgent();
void DestroyHttpAgent();

}  // namespace tessali::sources
