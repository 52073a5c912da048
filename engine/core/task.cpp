#include "engine/core/task.h"

#include <ctime>

#include "engine/platform/file.h"

namespace tessali::core {

uint64_t NowSeconds() {
    return static_cast<uint64_t>(time(nullptr));
}

CTask::CTask(const TaskHash& hash, const std::string& destinationPath)
    : m_hash(hash),
      m_folder(platform::DirName(destinationPath)),
      m_name(platform::BaseName(destinationPath)),
      m_startTime(NowSeconds()) {
    m_header.path = destinationPath;
    m_header.hash = hash;
    m_header.creationTime = static_cast<uint32_t>(NowSeconds());
}

CTask::~CTask() = default;

void CTask::SetHash(const TaskHash& hash) {
    std::lock_guard lock(m_taskLock);
    m_hash = hash;
    m_header.hash = hash;
}

void CTask::Start() {
    if (RunState() != kRunRunning) {
        m_startTime.store(NowSeconds());
        SetRunState(kRunRunning);
    }
}

uint8_t CTask::Kind() const {
    std::lock_guard lock(m_taskLock);
    return m_header.settings[kSetKind];
}

void CTask::SetKind(uint8_t kind) {
    std::lock_guard lock(m_taskLock);
    m_header.settings[kSetKind] = kind;
}

TaskHeader CTask::Header() const {
    std::lock_guard lock(m_taskLock);
    TaskHeader h = m_header;
    h.settings[kSetRunState] = RunState();
    return h;
}

void CTask::ApplyCreationDetails(const TaskHeader& details) {
    {
        std::lock_guard lock(m_taskLock);
        m_header = details;
        m_header.hash = m_hash;
        m_header.creationTime = static_cast<uint32_t>(NowSeconds());
    }
    SetRunState(details.settings[kSetRunState]);
    m_startTime.store(NowSeconds());
}

std::array<uint8_t, 6> CTask::Settings() const {
    return Header().settings;
}

uint32_t CTask::CreationTime() const {
    std::lock_guard lock(m_taskLock);
    return m_header.creationTime;
}

bool CTask::IsHttpTask() const {
    std::lock_guard lock(m_taskLock);
    return m_httpFlag;
}

void CTask::SetSourceUrl(const std::string& url) {
    std::lock_guard lock(m_taskLock);
    m_sourceUrl = url;
    m_httpFlag = true;
}

void CTask::ClearSourceUrl() {
    std::lock_guard lock(m_taskLock);
    m_httpFlag = false;
    m_httpJob = {};
    m_sourceUrl.clear();
}

std::optional<std::string> CTask::SourceUrl() const {
    std::lock_guard lock(m_taskLock);
    if (m_sourceUrl.empty()) {
        return std::nullopt;
    }
    return m_sourceUrl;
}

void CTask::LinkHttpJob(const TaskHash& job) {
    std::lock_guard lock(m_taskLock);
    m_httpLinked = true;
    m_httpJob = job;
}

bool CTask::IsHttpLinked() const {
    std::lock_guard lock(m_taskLock);
    return m_httpLinked;
}

TaskHash CTask::HttpJobHash() const {
    std::lock_guard lock(m_taskLock);
    return m_httpJob;
}

bool CTask::SetSequentialMode(bool on) {
    m_sequential.store(on);
    return true;
}

}  // namespace tessali::core
