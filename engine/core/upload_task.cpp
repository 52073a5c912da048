#include "engine/core/upload_task.h"

#include "engine/core/engine_config.h"
#include "engine/core/engine_log.h"
#include "engine/core/seed_builder.h"
#include "engine/core/share_queue.h"
#include "engine/core/task_control.h"
#include "engine/core/task_key.h"
#include "engine/platform/file.h"

namespace tessali::core {

CUpLoadTask::CUpLoadTask(const std::string& path, const std::string& extraText, ITaskControl& taskMgr)
    : CTask(TaskHash{}, path),
      m_extraText(extraText),
      m_taskMgr(taskMgr),
      m_key(TaskKey(path)),
      m_seed(SeedFilePath(m_key)),
      m_record(ResumeFilePath(m_key)) {
    SetKind(kKindShareNative);
}

bool CUpLoadTask::BuildSeed() {
    SeedBuildRequest request;
    request.filePath = FullPath();
    request.displayName = Name();
    request.seedName = Name();
    request.seedPath = m_seed.SeedPath();
    request.trackerUrl = Config().TrackerUrl();
    request.adUrl = m_extraText;
    request.keepGoing = &ShareFlag();
    return BuildSeedForFile(request) == 0;
}

int CUpLoadTask::Load(int mode) {
    const std::string path = FullPath();
    const char* n = path.c_str();
    if (!platform::FileExists(path)) {
        platform::RemoveFile(m_seed.SeedPath());
        m_record.Remove();
        EngineLog(kLogError1, "Upload Task:File Not exist!Delete Task(%s)!!\n", n);
        return -1;
    }
    if (!m_seed.LoadFromDisk()) {
        if (mode != 0) {
            return -1;
        }
        if (!BuildSeed() || !m_seed.LoadFromDisk()) {
            EngineLog(kLogError1, "%s Build seed failed!\n", n);
            return -1;
        }
    } else if (platform::FileSize(path) != m_seed.TotalLength()) {
        platform::RemoveFile(m_seed.SeedPath());
        if (!BuildSeed()) {
            EngineLog(kLogError1, "%s ReBuild seed failed!\n", n);
            return -1;
        }
        m_seed.Clear();
        if (!m_seed.LoadFromDisk()) {
            EngineLog(kLogError1, "%s UploadTask Load seed Failed!\n", n);
            return -1;
        }
    }
    const bool native = m_seed.IsNative(Config().TrackerUrl());
    m_record.CreateFull(m_seed.PieceLength(), m_seed.TotalLength());
    SetHash(native ? m_seed.PiecesHash() : m_seed.InfoHash());

    if (m_taskMgr.TaskExists(Hash())) {
        EngineLog(kLogError1, "%s,Task has already existed!Share failed!\n\t\t\n", n);
        return -1;
    }
    if (native || !m_seed.IsMultiFile()) {
        auto file = std::make_unique<CMirtFile>(path, m_seed.TotalLength(), true);
        if (platform::FileSize(file->Path()) < m_seed.TotalLength()) {
            EngineLog(kLogError1, "%s,New MirtFile failed!share failed!\n", n);
            return -1;
        }
        m_files.Add(std::move(file));
    } else {
        // A multi-file seed: the files lie under the task's folder, in the seed's name folder.
        for (size_t i = 0; i < m_seed.FileCount(); ++i) {
            auto file =
                std::make_unique<CMirtFile>(Folder() + m_seed.FileName(i), m_seed.FileLength(i), true);
            if (platform::FileSize(file->Path()) < m_seed.FileLength(i)) {
                return -1;
            }
            m_files.Add(std::move(file));
        }
    }
    SetRunState(kRunRunning);
    if (!native) {
        SetKind(kKindShareForeign);
    }
    m_ready = true;
    return 0;
}

int64_t CUpLoadTask::Read(std::span<uint8_t> out, uint32_t piece, uint32_t offset, bool countUpload) {
    if (!m_ready) {
        return -1;
    }
    int64_t n = m_files.ReadPieceRange(nullptr, m_seed.PieceLength(), piece, offset, out);
    if (countUpload && n > 0) {
        uploadedTotal.fetch_add(n);
    }
    return n;
}

void CUpLoadTask::OnRemoved() {
    platform::RemoveFile(m_seed.SeedPath());
    m_record.Remove();
}

std::optional<std::vector<uint8_t>> CUpLoadTask::SeedBytes() const {
    if (!m_ready) {
        return std::nullopt;
    }
    auto raw = m_seed.RawBytes();
    return std::vector<uint8_t>(raw.begin(), raw.end());
}

}  // namespace tessali::core
