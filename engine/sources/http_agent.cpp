#include "engine/sources/http_agent.h"

#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <memory>
#include <utility>

#include "engine/core/bitfield.h"
#include "engine/core/engine_config.h"
#include "engine/core/engine_env.h"
#include "engine/core/engine_log.h"
#include "engine/core/share_queue.h"
#include "engine/core/task_mgr.h"
#include "engine/core/tracker_url.h"
#include "engine/platform/tick.h"
#include "engine/sources/http_source_reply.h"

namespace tessali::sources {
namespace {

constexpr uint32_t kSpeedWindowMs = 10000;
constexpr char kTempSuffix[] = ".!hmt";

std::string KeyText(const HttpKey& key) {
    return key.ToText();
}

void SetNonBlocking(int fd) {
    int flags = fcntl(fd, F_GETFL, 0);
    fcntl(fd, F_SETFL, flags | O_NONBLOCK);
}

// Path from the first "/" after the scheme and host; "/" when the URL names none.
std::string OriginForm(const std::string& url) {
    size_t start = url.find("//");
    start = start == std::string::npos ? 0 : start + 2;
    size_t slash = url.find('/', start);
    return slash == std::string::npos ? std::string("/") : url.substr(slash);
}

}  // namespace

CHttpAgent::CHttpAgent() = default;

CHttpAgent::CHttpAgent(core::ITaskStorage& storage, core::ITaskControl& control)
    : m_storage(&storage), m_control(&control) {}

CHttpAgent::~CHttpAgent() {
    Stop();
    std::map<HttpKey, core::Ref<CAgentInfo>> records;
    {
        std::lock_guard lock(m_recordLock);
        records.swap(m_records);
    }
    for (auto& [key, info] : records) {
        std::lock_guard infoLock(info->lock);
        if (info->fileFd >= 0) {
            ::close(info->fileFd);
            info->fileFd = -1;
        }
    }
}

core::ITaskStorage& CHttpAgent::Storage() {
    return m_storage != nullptr ? *m_storage : core::TaskMgr();
}

core::ITaskControl& CHttpAgent::Control() {
    return m_control != nullptr ? *m_control : core::TaskMgr();
}

std::string CHttpAgent::TemporaryPath(const HttpKey& key, int64_t part, const std::string& targetPath) {
    if (!targetPath.empty()) {
        return targetPath + kTempSuffix;
    }
    const char* tmp = std::getenv("TMPDIR");
    std::string folder = std::string(tmp != nullptr && *tmp != '\0' ? tmp : "/tmp");
    if (folder.back() != '/') {
        folder += '/';
    }
    folder += "verarud/";
    ::mkdir(folder.c_str(), 0755);
    std::string path = folder + KeyText(key);
    if (part != 0) {
        path += "_" + std::to_string(part);
    }
    return path;
}

bool CHttpAgent::Start() {
    std::lock_guard lock(m_startLock);
    if (m_thread.joinable()) {
        return true;
    }
    m_running = true;
    m_thread = std::thread([this] { Worker(); });
    return true;
}

void CHttpAgent::Stop() {
    std::lock_guard lock(m_startLock);
    m_running = false;
    m_tableChanged.Set();
    if (m_thread.joinable()) {
        m_thread.join();
    }
}

core::Ref<CAgentInfo> CHttpAgent::FindRecord(const HttpKey& key) {
    std::lock_guard lock(m_recordLock);
    auto it = m_records.find(key);
    return it == m_records.end() ? core::Ref<CAgentInfo>() : it->second;
}

void CHttpAgent::EraseRecord(const HttpKey& key) {
    std::lock_guard lock(m_recordLock);
    m_records.erase(key);
}

size_t CHttpAgent::ConnectionCount() {
    std::lock_guard lock(m_tableLock);
    return m_table.size();
}

void CHttpAgent::CloseSocketLater(int fd) {
    if (fd < 0) {
        return;
    }
    // Only the worker closes sockets, so that it never polls a number the system already reused.
    std::lock_guard lock(m_tableLock);
    if (m_thread.joinable()) {
        m_closing.push_back(fd);
        m_tableChanged.Set();
    } else {
        ::close(fd);
    }
}

void CHttpAgent::DropConnection(CAgentInfo& info) {
    int fd = info.socketFd;
    if (fd < 0) {
        return;
    }
    info.socketFd = -1;
    {
        std::lock_guard lock(m_tableLock);
        std::erase_if(m_table, [fd](const Connection& c) { return c.fd == fd; });
    }
    CloseSocketLater(fd);
}

bool CHttpAgent::OpenConnection(CAgentInfo& info) {
    int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    if (fd < 0) {
        return false;
    }
    int size = static_cast<int>(kHttpSocketBuffer);
    setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &size, sizeof size);
    setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &size, sizeof size);
    SetNonBlocking(fd);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = info.address;
    addr.sin_port = htons(info.port);
    ++m_connectAttempts;
    // The worker may poll the socket as soon as it is in the table, and a socket whose connect
    // has not been issued yet polls as hung up: it would be taken for a refused connect.
    if (::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 && errno != EINPROGRESS) {
        ::close(fd);
        return false;
    }
    {
        std::lock_guard lock(m_tableLock);
        if (m_table.size() >= kMaxHttpConnections) {
            ::close(fd);
            return false;
        }
        m_table.push_back({fd, info.key});
    }
    m_tableChanged.Set();
    info.socketFd = fd;
    info.lastActivity = platform::GetTick();
    return true;
}

int CHttpAgent::Add(const std::string& url, const HttpKey& key, int64_t part, const std::string& targetPath) {
    if (core::Ref<CAgentInfo> old = FindRecord(key)) {
        bool complete;
        {
            std::lock_guard lock(old->lock);
            complete = old->Complete();
        }
        if (complete) {
            return kHttpAddComplete;
        }
        core::EngineLog(core::kLogDebug, "AddTask 任务重复了!!\n");
        Close(key, false, true);
    }
    if (url.size() > kMaxHttpUrlChars) {
        return kHttpAddFailed;
    }
    std::optional<core::TrackerUrlParts> parts = core::SplitTrackerUrl(url);
    if (!parts || parts->udp) {
        return kHttpAddFailed;
    }
    uint32_t address = core::ResolveIPv4(parts->host);
    if (address == 0) {
        return kHttpAddFailed;
    }
    core::Ref<CAgentInfo> info = core::Ref<CAgentInfo>::Make();
    std::unique_lock lock(info->lock);
    info->url = url;
    info->part = part;
    info->targetPath = targetPath;
    info->key = key;
    info->address = address;
    info->port = parts->port;
    std::string host = core::AddressText(address);
    info->request =
        "GET " + url +
        " HTTP/1.1\r\nAccept: image/gif, image/x-xbitmap, image/jpeg, image/pjpeg, "
        "application/x-shockwave-flash, "
        "application/x-ms-application, application/x-ms-xbap, */*\r\nAccept-Language: "
        "zh-cn\r\nAccept-Encoding: gzip, "
        "deflate\r\nUser-Agent: Mozilla/4.0 (compatible; MSIE 6.0; Windows NT 5.1; SV1; .NET CLR 1.1.4322; "
        ".NET CLR "
        "2.0.50727;  .NET CLR 2.0.50727;3.0.4506.2152; InfoPath.2; .NET CLR 3.5.21022)\r\nHost: " +
        host + "\r\nConnection: Keep-Alive\r\n\r\n";
    if (!OpenConnection(*info)) {
        return kHttpAddFailed;
    }
    info->state = CAgentInfo::kInUse;
    // The record's lock is never held while the map's is taken.
    lock.unlock();
    {
        std::lock_guard mapLock(m_recordLock);
        m_records[key] = info;
    }
    core::EngineLog(core::kLogDebug, "\nCHttpAgent::AddTask  %s,,%s\n", KeyText(key).c_str(), url.c_str());
    return kHttpAddStarted;
}

bool CHttpAgent::Remove(const HttpKey& key) {
    return Close(key, false, true);
}

void CHttpAgent::Notify(const HttpKey& key, uint8_t event) {
    std::vector<uint8_t> notice(key.bytes.begin(), key.bytes.end());
    notice.push_back(event);
    std::lock_guard lock(m_noticeLock);
    // Nobody may be reading them: keep the queue bounded by dropping the oldest.
    if (m_notices.size() >= 256) {
        m_notices.pop_front();
    }
    m_notices.push_back(std::move(notice));
}

bool CHttpAgent::TakeNotification(std::span<uint8_t> buffer, size_t& length) {
    std::lock_guard lock(m_noticeLock);
    if (m_notices.empty()) {
        length = 0;
        return false;
    }
    const std::vector<uint8_t>& first = m_notices.front();
    if (buffer.size() < first.size()) {
        length = first.size();
        return false;
    }
    std::copy(first.begin(), first.end(), buffer.begin());
    length = first.size();
    m_notices.pop_front();
    return true;
}

void CHttpAgent::ExpireSamples(CAgentInfo& info, uint32_t now) {
    while (!info.samples.empty() &&
           platform::TickElapsed(now, info.samples.front().first) >= kSpeedWindowMs) {
        info.byteTotal -= info.samples.front().second;
        info.samples.pop_front();
    }
}

void CHttpAgent::CountBytes(CAgentInfo& info, int64_t bytes) {
    uint32_t now = platform::GetTick();
    // One sample per 100 ms keeps the window small at any rate.
    if (!info.samples.empty() && platform::TickElapsed(now, info.samples.back().first) < 100) {
        info.samples.back().second += bytes;
    } else {
        info.samples.emplace_back(now, bytes);
    }
    info.byteTotal += bytes;
    info.unfed += bytes;
    ExpireSamples(info, now);
}

void CHttpAgent::FeedBytes(const HttpKey& key, int64_t bytes) {
    if (bytes <= 0) {
        return;
    }
    std::function<void(const HttpKey&, int64_t)> feed;
    {
        std::lock_guard lock(m_feedLock);
        feed = m_feed;
    }
    if (feed) {
        feed(key, bytes);
    }
}

void CHttpAgent::SetByteFeed(std::function<void(const HttpKey&, int64_t)> feed) {
    std::lock_guard lock(m_feedLock);
    m_feed = std::move(feed);
}

bool CHttpAgent::IsComplete(const HttpKey& key) {
    core::Ref<CAgentInfo> info = FindRecord(key);
    if (!info) {
        return false;
    }
    std::lock_guard lock(info->lock);
    return info->Complete();
}

int CHttpAgent::State(const HttpKey& key) {
    core::Ref<CAgentInfo> info = FindRecord(key);
    if (!info) {
        return 0;
    }
    std::lock_guard lock(info->lock);
    return info->state;
}

uint32_t CHttpAgent::Speed(const HttpKey& key) {
    core::Ref<CAgentInfo> info = FindRecord(key);
    if (!info) {
        return 0;
    }
    std::lock_guard lock(info->lock);
    if (info->finished || info->Complete()) {
        return 0;
    }
    ExpireSamples(*info, platform::GetTick());
    return static_cast<uint32_t>(std::max<int64_t>(0, info->byteTotal) / (kSpeedWindowMs / 1000));
}

int64_t CHttpAgent::BytesWritten(const HttpKey& key) {
    core::Ref<CAgentInfo> info = FindRecord(key);
    if (!info) {
        return 0;
    }
    std::lock_guard lock(info->lock);
    return info->bytesWritten;
}

int64_t CHttpAgent::ContentLength(const HttpKey& key) {
    core::Ref<CAgentInfo> info = FindRecord(key);
    if (!info) {
        return 0;
    }
    std::lock_guard lock(info->lock);
    return info->contentLength;
}

std::string CHttpAgent::TargetPath(const HttpKey& key) {
    core::Ref<CAgentInfo> info = FindRecord(key);
    if (!info) {
        return {};
    }
    std::lock_guard lock(info->lock);
    return info->targetPath;
}

size_t CHttpAgent::FailedResponseText(const HttpKey& key, std::span<char> buffer) {
    core::Ref<CAgentInfo> info = FindRecord(key);
    if (!info) {
        return 0;
    }
    std::lock_guard lock(info->lock);
    size_t n = std::min(buffer.size(), info->failedResponse.size());
    std::copy_n(info->failedResponse.begin(), n, buffer.begin());
    return n;
}

bool CHttpAgent::Close(const HttpKey& key, bool initiative, bool erase) {
    core::Ref<CAgentInfo> info = FindRecord(key);
    if (!info) {
        return false;
    }
    std::unique_lock lock(info->lock);
    if (erase) {
        core::EngineLog(core::kLogDebug, "\nCHttpAgent::OnErase___ieclose,%s\n", KeyText(key).c_str());
        DropConnection(*info);
        if (info->fileFd >= 0) {
            ::close(info->fileFd);
            info->fileFd = -1;
        }
        lock.unlock();
        EraseRecord(key);
        std::lock_guard linkLock(m_linkLock);
        m_links.erase(key);
        return true;
    }
    if (info->state == CAgentInfo::kGivenUp) {
        // Nothing runs any more: a given-up download is simply forgotten.
        lock.unlock();
        EraseRecord(key);
        return true;
    }
    return CloseLocked(*info, initiative);
}

bool CHttpAgent::CloseLocked(CAgentInfo& info, bool initiative) {
    if (info.state != CAgentInfo::kInUse && info.state != CAgentInfo::kConnected) {
        return false;  // given up: the caller removes the record
    }
    if (info.closed) {
        return false;
    }
    info.closed = true;
    DropConnection(info);
    core::EngineLog(core::kLogDebug, "\nCHttpAgent::OnClose,%s\n", KeyText(info.key).c_str());
    if (initiative) {
        core::EngineLog(core::kLogDebug, "\nCHttpAgent::###### Initiative Down ##############,%s\n",
                        KeyText(info.key).c_str());
        info.finished = true;
        if (info.fileFd >= 0) {
            ::close(info.fileFd);
            info.fileFd = -1;
        }
        return true;
    }
    if (info.Complete() || info.finished) {
        return true;
    }
    if (info.fileFd >= 0) {
        ::close(info.fileFd);
        info.fileFd = -1;
    }
    bool lengthKnown = info.answered && info.contentLength != kUnknownContentLength;
    bool refused = !info.failedResponse.empty();
    if (refused || info.storageFailed || (lengthKnown && info.bytesWritten > kHttpRetryLimitBytes) ||
        info.reconnects >= kHttpMaxReconnects) {
        GiveUp(info);
        return true;
    }
    // Reconnect: the download starts again from its first byte.
    ++info.reconnects;
    info.answered = false;
    info.contentLength = 0;
    info.bytesWritten = 0;
    info.head.clear();
    info.closed = false;
    info.state = CAgentInfo::kInUse;
    core::EngineLog(core::kLogDebug, "\nCHttpAgent::ReConnect  %s,%s\n", KeyText(info.key).c_str(),
                    info.url.c_str());
    if (!OpenConnection(info)) {
        info.closed = true;
        GiveUp(info);
    }
    return true;
}

void CHttpAgent::GiveUp(CAgentInfo& info) {
    info.state = CAgentInfo::kGivenUp;
    core::EngineLog(core::kLogDebug, "\nCHttpAgent::###### Down ##############,%s\n",
                    KeyText(info.key).c_str());
    // Every attempt starts again from byte 0 and a given-up download is never loaded into its
    // task, so what it wrote serves nobody.
    std::string temp = TemporaryPath(info.key, info.part, info.targetPath);
    if (::unlink(temp.c_str()) != 0 && errno != ENOENT) {
        core::EngineLog(core::kLogFail, "Delete File Failed!!Error Code:%d\n", errno);
    }
    Notify(info.key, kHttpNoticeGivenUp);
}

void CHttpAgent::Link(const HttpKey& key, const core::TaskHash& task) {
    std::lock_guard lock(m_linkLock);
    m_links[key] = task;
}

bool CHttpAgent::TaskOf(const HttpKey& key, core::TaskHash& task) {
    std::lock_guard lock(m_linkLock);
    auto it = m_links.find(key);
    if (it == m_links.end()) {
        return false;
    }
    task = it->second;
    return true;
}

std::vector<HttpJobStatus> CHttpAgent::StatusSnapshot() {
    std::vector<core::Ref<CAgentInfo>> records;
    {
        std::lock_guard lock(m_recordLock);
        for (auto& [key, info] : m_records) {
            records.push_back(info);
        }
    }
    std::vector<HttpJobStatus> out;
    uint32_t now = platform::GetTick();
    for (const core::Ref<CAgentInfo>& info : records) {
        std::lock_guard lock(info->lock);
        if (info->finished || info->state == CAgentInfo::kGivenUp) {
            continue;
        }
        ExpireSamples(*info, now);
        HttpJobStatus s;
        s.key = info->key;
        s.bytesWritten = info->bytesWritten;
        s.speed = static_cast<uint32_t>(std::max<int64_t>(0, info->byteTotal) / (kSpeedWindowMs / 1000));
        s.contentLength = info->contentLength;
        s.path = info->targetPath;
        out.push_back(std::move(s));
    }
    return out;
}

void CHttpAgent::AddToByteTotal(const HttpKey& key, int64_t bytes) {
    if (core::Ref<CAgentInfo> info = FindRecord(key)) {
        std::lock_guard lock(info->lock);
        info->byteTotal += bytes;
    }
}

void CHttpAgent::OnConnected(CAgentInfo& info) {
    info.state = CAgentInfo::kConnected;
    // The prepared text names the whole URL; servers expect the path alone.
    std::string request = info.request;
    size_t lineEnd = request.find(" HTTP/1.1\r\n");
    std::string text = "GET " + OriginForm(info.url) + request.substr(lineEnd);
    size_t sent = 0;
    while (sent < text.size()) {
        ssize_t n = ::send(info.socketFd, text.data() + sent, text.size() - sent, MSG_NOSIGNAL);
        if (n <= 0) {
            break;
        }
        sent += static_cast<size_t>(n);
    }
}

int CHttpAgent::OnData(CAgentInfo& info, const uint8_t* data, size_t size, bool& completed) {
    if (!info.answered) {
        // Still reading the head: it may come in several pieces, up to its bound.
        size_t room = kMaxHttpHeadBytes + kHttpSocketBuffer - info.head.size();
        info.head.append(reinterpret_cast<const char*>(data), std::min(size, room));
        HttpSourceHead head = ReadHttpSourceHead(info.head);
        if (head.verdict == HttpSourceHead::kIncomplete) {
            return 0;
        }
        if (head.verdict == HttpSourceHead::kRefused) {
            info.failedResponse = info.head.substr(0, kMaxFailedResponseBytes);
            core::EngineLog(core::kLogDebug, "Error Info: %s\n", info.failedResponse.c_str());
            info.head.clear();
            return -1;
        }
        info.answered = true;
        info.contentLength = head.contentLength;
        std::string body = info.head.substr(head.bodyOffset);
        info.head.clear();
        core::EngineLog(core::kLogDebug, "\nCHttpAgent::first OnData,Content len:%lld,%s\n",
                        static_cast<long long>(info.contentLength), KeyText(info.key).c_str());
        std::string path = TemporaryPath(info.key, info.part, info.targetPath);
        info.fileFd = ::open(path.c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
        if (info.fileFd < 0) {
            core::EngineLog(core::kLogFail, "open %s failed!\n", path.c_str());
            info.storageFailed = true;  // a file that cannot be written is not retried
            return -1;
        }
        if (info.contentLength == 0) {
            // An empty file: complete as soon as it exists.
            Complete(info);
            completed = true;
            return 0;
        }
        if (body.empty()) {
            return 0;
        }
        return OnData(info, reinterpret_cast<const uint8_t*>(body.data()), body.size(), completed);
    }
    if (info.fileFd < 0) {
        return -1;
    }
    // Bytes past the announced end belong to no download.
    size_t take = static_cast<size_t>(
        std::min<int64_t>(static_cast<int64_t>(size), info.contentLength - info.bytesWritten));
    if (take == 0) {
        return 0;
    }
    ssize_t n = ::pwrite(info.fileFd, data, take, info.bytesWritten);
    core::EngineLog(core::kLogInfo, "Http Write Data,flen = %d,total len:%lld\n", static_cast<int>(take),
                    static_cast<long long>(info.bytesWritten));
    if (n != static_cast<ssize_t>(take)) {
        core::EngineLog(core::kLogFail, "write len != datelen!!!\n");
        info.storageFailed = true;
        return -1;
    }
    info.bytesWritten += n;
    CountBytes(info, n);
    if (info.bytesWritten == info.contentLength) {
        Complete(info);
        completed = true;
    }
    return 0;
}

void CHttpAgent::Complete(CAgentInfo& info) {
    ::close(info.fileFd);
    info.fileFd = -1;
    std::string temp = TemporaryPath(info.key, info.part, info.targetPath);
    std::string target = info.targetPath.empty() ? temp : info.targetPath;
    if (temp != target && ::rename(temp.c_str(), target.c_str()) != 0) {
        core::EngineLog(core::kLogFail, "rename %s failed!\n", temp.c_str());
    }
    DropConnection(info);
    info.finished = true;
    info.closed = true;
}

int CHttpAgent::Receive(CAgentInfo& info, bool& completed) {
    static thread_local std::unique_ptr<uint8_t[]> buffer(new uint8_t[kHttpSocketBuffer]);
    size_t got = 0;
    bool ended = false;
    while (got < kHttpSocketBuffer) {
        ssize_t n = ::recv(info.socketFd, buffer.get() + got, kHttpSocketBuffer - got, 0);
        if (n > 0) {
            got += static_cast<size_t>(n);
            info.lastActivity = platform::GetTick();
            continue;
        }
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            break;
        }
        if (n < 0 && errno == EINTR) {
            continue;
        }
        ended = true;  // end of stream or a socket error
        break;
    }
    if (got > 0 && OnData(info, buffer.get(), got, completed) < 0) {
        return -1;
    }
    if (completed) {
        return 0;
    }
    return ended ? -1 : 0;
}

void CHttpAgent::CloseIdleConnections(const std::vector<HttpKey>& keys) {
    uint32_t limit = m_idleTimeoutMs.load();
    for (const HttpKey& key : keys) {
        core::Ref<CAgentInfo> info = FindRecord(key);
        if (!info) {
            continue;
        }
        std::lock_guard lock(info->lock);
        // The clock is read under the record's lock: another thread may have just opened the
        // connection, and a start later than "now" would look like a very long silence.
        uint32_t now = platform::GetTick();
        if (info->socketFd < 0 || info->closed || platform::TickElapsed(now, info->lastActivity) < limit) {
            continue;
        }
        // A server that stops sending (or never answers the connect) would hold the download for
        // ever: treat the silence as a broken connection.
        core::EngineLog(core::kLogDebug, "\nCHttpAgent::idle %u ms, closed,%s\n", limit,
                        KeyText(key).c_str());
        CloseLocked(*info, false);
    }
}

void CHttpAgent::Worker() {
    std::vector<pollfd> fds;
    std::vector<HttpKey> keys;
    while (m_running) {
        fds.clear();
        keys.clear();
        {
            std::lock_guard lock(m_tableLock);
            for (int fd : m_closing) {
                ::close(fd);
            }
            m_closing.clear();
            for (const Connection& c : m_table) {
                fds.push_back({c.fd, POLLIN | POLLOUT, 0});
                keys.push_back(c.key);
            }
        }
        if (fds.empty()) {
            // Nothing to watch: asleep until a connection is opened or a socket left to close.
            m_tableChanged.Wait(kIdleWorkerWaitMs);
            continue;
        }
        CloseIdleConnections(keys);
        // Connected sockets are only watched for writing until the request is out.
        for (size_t i = 0; i < fds.size(); ++i) {
            core::Ref<CAgentInfo> info = FindRecord(keys[i]);
            if (info) {
                std::lock_guard lock(info->lock);
                if (info->state == CAgentInfo::kConnected) {
                    fds[i].events = POLLIN;
                }
            }
        }
        int ready = ::poll(fds.data(), fds.size(), 10);
        if (ready <= 0) {
            continue;
        }
        for (size_t i = 0; i < fds.size(); ++i) {
            if (fds[i].revents == 0) {
                continue;
            }
            core::Ref<CAgentInfo> info = FindRecord(keys[i]);
            if (!info) {
                core::EngineLog(core::kLogDebug, "******find a unknow agent!*******\n");
                continue;
            }
            bool completed = false;
            core::TaskHash task;
            bool linked = false;
            int64_t received = 0;
            {
                std::lock_guard lock(info->lock);
                if (info->socketFd != fds[i].fd || info->closed) {
                    continue;  // closed or reconnected meanwhile
                }
                short ev = fds[i].revents;
                if (info->state == CAgentInfo::kInUse) {
                    int err = 0;
                    socklen_t len = sizeof err;
                    getsockopt(info->socketFd, SOL_SOCKET, SO_ERROR, &err, &len);
                    if (err != 0 || (ev & (POLLERR | POLLHUP)) != 0) {
                        core::EngineLog(core::kLogDebug, "\nCHttpAgent::OnConnectFail ,%s\n",
                                        KeyText(info->key).c_str());
                        CloseLocked(*info, false);
                        continue;
                    }
                    if ((ev & POLLOUT) != 0) {
                        OnConnected(*info);
                    }
                    continue;
                }
                if ((ev & (POLLIN | POLLERR | POLLHUP)) != 0 && Receive(*info, completed) < 0) {
                    CloseLocked(*info, false);
                }
                received = std::exchange(info->unfed, 0);
                if (completed) {
                    linked = TaskOf(info->key, task);
                }
            }
            // The speed counter is fed without the record's lock: its callbacks take the task
            // manager's locks, which are held elsewhere while the agent is asked for figures.
            FeedBytes(info->key, received);
            if (completed) {
                Notify(info->key, kHttpNoticeComplete);
                if (linked) {
                    // Paused, not deleted: the deleting state would drop the file just completed.
                    core::EngineLog(core::kLogDebug, "纯HTTP下载完成,暂停任务!%s\n", task.ToText().c_str());
                    Control().ControlTaskState(task, core::kRunPaused);
                    core::ShareQueue().Add(info->targetPath.empty()
                                               ? TemporaryPath(info->key, info->part, info->targetPath)
                                               : info->targetPath);
                }
            }
        }
    }
    std::lock_guard lock(m_tableLock);
    for (int fd : m_closing) {
        ::close(fd);
    }
    m_closing.clear();
    for (const Connection& c : m_table) {
        ::close(c.fd);
    }
    m_table.clear();
}

int CHttpAgent::LoadIntoTask(const HttpKey& key) {
    core::TaskHash task;
    if (!TaskOf(key, task)) {
        return -1;
    }
    core::Ref<CAgentInfo> info = FindRecord(key);
    if (!info) {
        return -1;
    }
    uint32_t pieceLength = Storage().GetPieceLength(task);
    if (pieceLength == 0) {
        return -1;
    }
    std::lock_guard lock(info->lock);
    if (info->fileFd >= 0) {
        ::close(info->fileFd);
        info->fileFd = -1;
    }
    std::string path = TemporaryPath(info->key, info->part, info->targetPath);
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        return 0;
    }
    std::vector<uint8_t> bits(static_cast<size_t>(std::max(0, Storage().GetBitfieldLength(task))));
    size_t bitsLength = 0;
    if (!Storage().GetBitfield(task, bits, bitsLength)) {
        bitsLength = 0;
    }
    bitsLength = std::min(bitsLength, bits.size());
    auto hasPiece = [&](uint32_t i) { return i / 8 < bitsLength && (bits[i / 8] & (0x80 >> (i % 8))) != 0; };
    // The task's own total: a download that reached it may also give the last, shorter piece.
    int64_t written = info->bytesWritten;
    uint32_t pieceCount = Storage().GetPieceCount(task);
    std::vector<uint8_t> piece(pieceLength);
    int loaded = 0;
    for (uint32_t i = 0; i < pieceCount; ++i) {
        int64_t start = static_cast<int64_t>(i) * pieceLength;
        int64_t remain = written - start;
        bool lastOfComplete = info->bytesWritten == info->contentLength && remain > 0 && i + 1 == pieceCount;
        if (remain < static_cast<int64_t>(pieceLength) && !lastOfComplete) {
            break;
        }
        size_t length = static_cast<size_t>(std::min<int64_t>(remain, pieceLength));
        if (!hasPiece(i)) {
            if (::pread(fd, piece.data(), length, start) != static_cast<ssize_t>(length)) {
                break;
            }
            int64_t r = Storage().WriteAt(task, std::span<const uint8_t>(piece.data(), length), start);
            core::EngineLog(core::kLogDebug, "Task Download Len:%lld\n", static_cast<long long>(r));
            if (r >= 0) {
                ++loaded;
            }
        }
        core::EngineLog(core::kLogDebug, "LoadHttpDownload,len:%lld,index:%d\n",
                        static_cast<long long>(length), static_cast<int>(i));
    }
    ::close(fd);
    for (int attempt = 0; attempt < 3; ++attempt) {
        int r = ::unlink(path.c_str());
        core::EngineLog(core::kLogDebug, "Delete File = %d!!Error Code:%d\n", r, r == 0 ? 0 : errno);
        if (r == 0 || errno == ENOENT) {
            break;
        }
        core::EngineLog(core::kLogDebug, "Delete File Failed!!Error Code:%d\n", errno);
    }
    return loaded;
}

namespace {
std::mutex g_agentLock;
CHttpAgent* g_agent = nullptr;
}  // namespace

CHttpAgent& HttpAgent() {
    std::lock_guard lock(g_agentLock);
    if (g_agent == nullptr) {
        g_agent = new CHttpAgent();
    }
    return *g_agent;
}

void DestroyHttpAgent() {
    std::lock_guard lock(g_agentLock);
    delete g_agent;
    g_agent = nullptr;
}

}  // namespace tessali::sources
