#include "engine/core/download_task.h"

#include <fcntl.h>
#include <stdio.h>

#include <cerrno>
#include <cstring>

#include "engine/core/engine_log.h"
#include "engine/core/protocol_link.h"
#include "engine/core/share_queue.h"
#include "engine/core/task_key.h"
#include "engine/platform/file.h"
#include "engine/platform/fs_info.h"

namespace tessali::core {
namespace {

constexpr int kLogTask = kLogError1;  // every line of the resume decision

}  // namespace

CDownLoadTask::CDownLoadTask(const TaskHash& hash, const std::string& destinationPath)
    : CTask(hash, destinationPath),
      m_key(TaskKey(destinationPath)),
      m_seed(SeedFilePath(m_key)),
      m_record(ResumeFilePath(m_key)) {
    SetKind(kKindDownload);
}

CDownLoadTask::~CDownLoadTask() {
    if (RunState() == kRunDeleting) {
        DeleteFiles(true);
    }
}

bool CDownLoadTask::CheckKey() const {
    return (Settings()[kSetFlags] & kFlagCheckKey) != 0;
}

void CDownLoadTask::WipeFile(const std::string& path) {
    if (!platform::RemoveFile(path)) {
        EngineLog(kLogPlain6, "Delete File Failed!!!File: %s,Error Code:%d\n", path.c_str(), errno);
    }
}

// A file at the destination that the engine cannot prove is its own download (no seed, a seed
// that does not fit it, or no record of having written it) may be the user's: it is never
// deleted, only moved out of the download's way, to the first free "NAME.old", "NAME.old.1", ...
bool CDownLoadTask::SetAside(const std::string& path) {
    int error = 0;
    for (int i = 0; i < 100; ++i) {
        const std::string aside = path + ".old" + (i == 0 ? std::string() : "." + std::to_string(i));
        int r = renameat2(AT_FDCWD, path.c_str(), AT_FDCWD, aside.c_str(), RENAME_NOREPLACE);
        if (r != 0 && errno == EINVAL) {
            // A file system without the no-replace flag: check first, then rename.
            r = platform::FileExists(aside) || platform::DirectoryExists(aside) ? (errno = EEXIST, -1)
                                                                                  : std::rename(path.c_str(), aside.c_str());
        }
        if (r == 0) {
            EngineLog(kLogFail, "%s is not known to be this download's own file: kept as %s\n", path.c_str(),
                      aside.c_str());
            return true;
        }
        error = errno;
        if (error != EEXIST && error != ENOTEMPTY) {
            break;
        }
    }
    EngineLog(kLogFail, "%s is in the download's way and cannot be moved aside (%s), task paused!\n", path.c_str(),
              std::strerror(error != 0 ? error : EEXIST));
    SetRunState(kRunPaused);
    return false;
}

int CDownLoadTask::TempFileUnusable(const std::string& tempPath) {
    platform::File probe;
    if (probe.Open(tempPath, platform::File::kRead | platform::File::kWrite)) {
        return 0;
    }
    return errno != 0 ? errno : EIO;
}

int CDownLoadTask::FileUnreadable(const std::string& path) {
    platform::File probe;
    if (probe.Open(path, platform::File::kRead)) {
        return 0;
    }
    return errno != 0 ? errno : EIO;
}

int CDownLoadTask::KeepAndPause(const char* step, int error) {
    return KeepAndPause(FullPath() + std::string(kUnfinishedSuffix), step, error);
}

int CDownLoadTask::KeepAndPause(const std::string& path, const char* step, int error) {
    EngineLog(kLogFail, "%s cannot be %s (%s), task paused!\n", path.c_str(), step, std::strerror(error));
    SetRunState(kRunPaused);
    return 0;
}

void CDownLoadTask::WipeSeedFile() {
    WipeFile(m_seed.SeedPath());
}

int CDownLoadTask::Load(int mode) {
    const std::string name = Name();
    const char* n = name.c_str();
    const std::string finishedPath = FullPath();
    const std::string tempPath = finishedPath + std::string(kUnfinishedSuffix);

    if (name.find('?') != std::string::npos) {
        return -1;
    }
    // The content could never take its final name there, and nothing in that folder is ours.
    if (platform::DirectoryExists(finishedPath)) {
        EngineLog(kLogFail, "%s is a folder, not a file: task refused!\n", finishedPath.c_str());
        return -1;
    }
    if (!platform::IsLocalFilesystem(Folder())) {
        WipeSeedFile();
        m_record.Remove();
        return -1;
    }
    if (Kind() != kKindDownload) {
        return 0;
    }

    const bool finished = platform::FileExists(finishedPath);
    const bool temp = platform::FileExists(tempPath);
    const bool seed = m_seed.Exists();
    // Each test below is evaluated only where the tables reach it, in their order.
    auto seedLoad = [&] { return m_seed.LoadFromDisk(); };
    auto hashOk = [&] { return m_seed.MatchesTask(Hash()); };
    auto memLoad = [&] { return m_record.Load(m_seed.TotalLength(), m_seed.PieceLength()); };
    auto resetAll = [&](bool clearSeed, bool wipeTemp, bool wipeFinished) {
        if (clearSeed) {
            m_seed.Clear();
        }
        if (wipeTemp) {
            WipeFile(tempPath);
        }
        if (wipeFinished) {
            SetAside(finishedPath);
        }
        WipeSeedFile();
        m_record.Remove();
    };

    // The rows below take a seed or record that does not load for a broken one and reset the
    // download with it. One that merely cannot be read now (another user's file, no free
    // descriptor) says nothing about the download: keep everything and pause.
    if (!finished && temp) {
        // Every row below either uses the partial download or deletes it; one the engine cannot
        // open may be another user's file, or ours in a moment of no free descriptors: never
        // delete it for that.
        if (int error = TempFileUnusable(tempPath); error != 0) {
            return KeepAndPause("opened", error);
        }
    }
    if ((finished || temp) && seed) {
        for (const std::string* path : {&m_seed.SeedPath(), &m_record.Path()}) {
            if (int error = platform::FileExists(*path) ? FileUnreadable(*path) : 0; error != 0) {
                return KeepAndPause(*path, "read", error);
            }
        }
    }

    if (finished) {
        if (!seed) {
            m_record.Remove();
            if (mode == 0) {
                SetAside(finishedPath);
                return 0;
            }
            ShareQueue().Add(finishedPath);
            EngineLog(kLogTask, "%s File Exist,Load Task but Not Found Seed,Delete and share Task!\n", n);
            return -1;
        }
        if (!seedLoad()) {
            resetAll(true, false, true);
            EngineLog(kLogTask, "%s File Exist,Load Seed Fail,Reset Task!\n", n);
            return 0;
        }
        if (platform::FileSize(finishedPath) != m_seed.TotalLength()) {
            resetAll(false, false, true);
            m_seed.Clear();
            EngineLog(kLogTask, "%s File Exist,Seed OK,File Size is not matching,delete Task!\n", n);
            return 0;
        }
        if (!hashOk()) {
            resetAll(true, false, true);
            EngineLog(kLogTask, "%s File Exist,Seed OK,Hash Invalid and Reset Task!\n", n);
            return 0;
        }
        if (!m_record.Exists() || !memLoad()) {
            resetAll(true, false, true);
            EngineLog(kLogTask, "%s Seed and File Exist,Mem disappear or Load Fail,Reset Task!\n", n);
            return 0;
        }
        if (m_record.IsComplete()) {
            if (InitFileList(true)) {
                return 1;
            }
            WipeSeedFile();
            m_record.Remove();
            EngineLog(kLogTask, "%s Seed and File Exist,InitFileList Error,Delete Task!\n", n);
            return -1;
        }
        m_record.Remove();
        ShareQueue().Add(finishedPath);
        EngineLog(kLogTask, "%s Seed and File Exist,Mem is not Down finish,change Task\n",
                  Hash().ToText().c_str());
        return -1;
    }

    if (temp) {
        if (!seed) {
            WipeFile(tempPath);
            m_record.Remove();
            EngineLog(kLogTask, "%s Tmp File Exist,Seed Not Exist,Reset Task!\n", n);
            return 0;
        }
        if (!seedLoad()) {
            resetAll(true, true, false);
            EngineLog(kLogTask, "%s Tmp File and Seed Exist,Load Seed Error and Reset Task!\n", n);
            return 0;
        }
        if (!hashOk()) {
            resetAll(true, true, false);
            EngineLog(kLogTask, "%s Tmp File and Seed Exist,Hash Invalid,Reset Task!\n", n);
            return 0;
        }
        if (CheckKey()) {
            resetAll(false, true, false);
            EngineLog(kLogTask, "%s Bcheckkey and Delete Task!\n", n);
            return -1;
        }
        if (!m_record.Exists() || !memLoad()) {
            resetAll(true, true, false);
            EngineLog(kLogTask, "%s Tmp File and Seed Exist,Mem Not Exist or Load Failed,Reset Task!\n", n);
            return 0;
        }
        DropPiecesPastEnd(tempPath);
        if (InitFileList(false)) {
            return FinishIfComplete() ? 1 : 0;
        }
        // The file could not be opened or extended (a full disk): its verified pieces are still
        // good, and the record says which.
        return KeepAndPause(m_contentStep, m_contentError);
    }

    if (!seed) {
        m_record.Remove();
        if (mode != 0) {
            EngineLog(kLogTask, "%s Tmp File and Seed Not Exist,Reset Task!\n", n);
        }
        return 0;
    }
    if (!seedLoad()) {
        resetAll(mode == 0, false, false);
        if (mode == 0) {
            EngineLog(kLogTask, "%s Tmp File Not Exist,Seed Exist,Load Seed Error,Reset Task!\n", n);
            return 0;
        }
        EngineLog(kLogTask, "%s Tmp File Not Exist,Seed Exist,Load Seed Error,LoadTask,Delete Task!\n", n);
        return -1;
    }
    if (!hashOk()) {
        resetAll(mode == 0, false, false);
        if (mode == 0) {
            EngineLog(kLogTask, "%s Tmp File Not Exist,Seed Exist,Hash Invalid!Reset Task!\n", n);
            return 0;
        }
        EngineLog(kLogTask, "%s Tmp File Not Exist,Seed Exist,Load Task,Hash Invalid,Delete Task!\n", n);
        return -1;
    }
    if (!memLoad()) {
        resetAll(false, false, false);
        EngineLog(kLogTask, "%s Tmp File Not Exist,Seed Exist,Load Mem Failed,Delete Task!\n", n);
        return -1;
    }
    if (m_record.VerifiedBytes() == 0) {
        InitFileList(false);  // its result is ignored: the file is made again on the first write
        return 0;
    }
    m_record.Remove();
    WipeSeedFile();
    if (mode == 0) {
        m_seed.Clear();
        return 0;
    }
    EngineLog(kLogTask, "%s Tmp File Not Exist,Seed Exist,Mem GetDownLoadLen!=0,Delete Task\n", n);
    return -1;
}

bool CDownLoadTask::InitFileList(bool finished) {
    std::unique_ptr<CMirtFile> file;
    const int64_t total = m_seed.TotalLength();
    if (!finished && CheckKey()) {
        file = std::make_unique<CTmpMirtFile>(FullPath(), total, m_seed.PieceLength());
    } else {
        file = std::make_unique<CMirtFile>(FullPath(), total, finished);
    }
    bool ok = finished ? platform::FileSize(file->Path()) == total : file->Open();
    if (!ok) {
        m_contentError = finished ? EINVAL : file->LastError();
        m_contentStep = finished ? "opened" : file->LastFailedStep();
        EngineLog(kLogTask, "%s InitFileList failed!\n", Name().c_str());
        return false;
    }
    std::lock_guard lock(m_taskLock);
    m_files.Add(std::move(file));
    SetUpPieces();
    return true;
}

void CDownLoadTask::DropPiecesPastEnd(const std::string& tempPath) {
    const int64_t have = platform::FileSize(tempPath);
    const int64_t total = m_seed.TotalLength();
    if (have < 0 || have >= total) {
        return;
    }
    if (uint32_t dropped = m_record.ClearPiecesFrom(have); dropped > 0) {
        EngineLog(kLogTask, "%s Tmp File holds %lld of %lld bytes, %u verified pieces past its end dropped\n",
                  Name().c_str(), static_cast<long long>(have), static_cast<long long>(total), dropped);
        m_record.Save();
    }
}

bool CDownLoadTask::FinishIfComplete() {
    if (!m_record.IsComplete()) {
        return false;
    }
    return FinishFiles();
}

bool CDownLoadTask::FinishFiles() {
    std::lock_guard lock(m_taskLock);
    errno = 0;
    if (m_files.FinishAll()) {
        if (m_finishFailed) {
            EngineLog(kLogFail, "%s has its final name now, task complete\n", FullPath().c_str());
        }
        m_finishFailed = false;
        return true;
    }
    const int error = errno != 0 ? errno : EIO;
    if (!m_finishFailed) {
        EngineLog(kLogFail, "%s is complete but cannot take its final name (%s), tried again on each tick\n",
                  FullPath().c_str(), std::strerror(error));
    }
    m_finishFailed = true;
    return false;
}

void CDownLoadTask::SetUpPieces() {
    IPieceStorage& storage = *this;
    auto pieces = std::make_shared<CTaskPieces>(m_seed.TotalLength(), m_seed.PieceLength(),
                                                m_seed.PieceCount(), storage);
    CPeerGroup* group = &m_peers;
    pieces->SetPeerCountSource([group] { return group->Count(); });
    // Sequential mode may have been asked for before the seed was known.
    pieces->SetSequential(SequentialMode());
    pieces->SetPieceHolderSource([group](uint32_t index) {
        for (const Ref<CPeer>& peer : group->All()) {
            if (peer->HasPiece(index)) {
                return true;
            }
        }
        return false;
    });
    m_pieces = std::move(pieces);
}

std::shared_ptr<CTaskPieces> CDownLoadTask::Pieces() const {
    std::lock_guard lock(m_taskLock);
    return m_pieces;
}

bool CDownLoadTask::HasContentFiles() const {
    return static_cast<bool>(Pieces());
}

bool CDownLoadTask::HasSeed() const {
    if (!m_seed.Exists()) {
        return false;
    }
    if (Kind() == kKindShareNative || HasContentFiles()) {
        return true;
    }
    // A stored seed whose content is not set up yet (a seed file and record left without a
    // content file): set it up now, so that "has seed" always means pieces can be taken.
    return const_cast<CDownLoadTask*>(this)->TakeUpStoredSeed();
}

bool CDownLoadTask::TakeUpStoredSeed() {
    std::lock_guard setup(m_setupLock);
    if (HasContentFiles()) {
        return true;
    }
    if (!m_seed.LoadFromDisk() || !m_seed.MatchesTask(Hash())) {
        m_seed.Clear();
        return false;
    }
    return SetUpUnfinishedContent();
}

bool CDownLoadTask::SetUpUnfinishedContent() {
    {
        std::lock_guard lock(m_recordLock);
        if (!m_record.Load(m_seed.TotalLength(), m_seed.PieceLength())) {
            m_contentError = errno;
            return false;
        }
    }
    return InitFileList(false);
}

bool CDownLoadTask::StoreSeedData(std::span<const uint8_t> seed) {
    if (RunState() != kRunRunning || HasSeed()) {
        return false;
    }
    std::lock_guard setup(m_setupLock);
    if (HasContentFiles()) {
        return false;
    }
    if (!m_seed.KeepReceived(seed) || !m_seed.Parse()) {
        m_seed.Clear();
        return false;
    }
    // Only the seed the task was asked for is accepted: otherwise any peer could make us
    // preallocate a file of its choosing and fill it with content it picked.
    if (!m_seed.MatchesTask(Hash())) {
        EngineLog(kLogTask, "%s seed from peer does not match the task hash, refused!\n", Name().c_str());
        m_seed.Clear();
        return false;
    }
    if (!m_seed.Save()) {
        const int error = errno;
        m_seed.Clear();
        // As below: the data folder has no room (or may not be written), so every seed a peer
        // sends would be dropped the same way, silently and for good.
        EngineLog(kLogFail, "%s cannot be saved (%s), task paused!\n", m_seed.SeedPath().c_str(),
                  std::strerror(error));
        SetRunState(kRunPaused);
        return false;
    }
    EngineLog(kLogDebug, "~~~~~~~~~~~~~~~SaveTorrentFile:%s,%lld", FullPath().c_str(),
              static_cast<long long>(m_seed.TotalLength()));
    const bool partialOnDisk = platform::FileExists(FullPath() + std::string(kUnfinishedSuffix));
    if (!SetUpUnfinishedContent()) {
        if (partialOnDisk) {
            // A partial download is there but cannot be used now: its record and seed stay
            // with it for the next start.
            KeepAndPause(m_contentStep, m_contentError);
            return false;
        }
        WipeSeedFile();
        m_seed.Clear();
        {
            std::lock_guard lock(m_recordLock);
            m_record.Remove();
        }
        // No room for the content (a full disk, a folder we may not write): asking peers on would
        // fetch the seed and fail again and again. The task stops until it is started again.
        KeepAndPause(m_contentStep, m_contentError);
        return false;
    }
    return true;
}

std::vector<std::string> CDownLoadTask::SeedTrackers() const {
    // The seed no longer changes once the content is set up.
    if (!HasContentFiles()) {
        return {};
    }
    return m_seed.Trackers();
}

std::optional<std::vector<uint8_t>> CDownLoadTask::SeedBytes() const {
    if (!HasContentFiles() || !m_seed.HasBytes()) {
        return std::nullopt;
    }
    auto raw = m_seed.RawBytes();
    return std::vector<uint8_t>(raw.begin(), raw.end());
}

int64_t CDownLoadTask::Read(std::span<uint8_t> out, uint32_t piece, uint32_t offset, bool countUpload) {
    if (!HasContentFiles()) {
        return -1;
    }
    int64_t n;
    {
        std::lock_guard lock(m_recordLock);
        n = m_files.ReadPieceRange(&m_record, m_seed.PieceLength(), piece, offset, out);
    }
    if (countUpload && n > 0) {
        uploadedTotal.fetch_add(n);
    }
    return n;
}

int64_t CDownLoadTask::WritePiece(std::span<const uint8_t> data, uint32_t piece, uint32_t offset) {
    auto pieces = Pieces();
    return pieces ? pieces->WritePiece(data, piece, offset) : -1;
}

void CDownLoadTask::DeleteFiles(bool alsoFinished) {
    WipeSeedFile();
    {
        std::lock_guard lock(m_recordLock);
        m_record.Remove();
    }
    std::lock_guard lock(m_taskLock);
    if (m_files.Empty()) {
        // The content list was never built: the files may still be on disk under their names.
        WipeFile(FullPath() + std::string(kUnfinishedSuffix));
        if (alsoFinished) {
            WipeFile(FullPath());
        }
        return;
    }
    m_files.DeleteFiles(alsoFinished);
}

void CDownLoadTask::Tick() {
    auto pieces = Pieces();
    if (!pieces) {
        return;
    }
    pieces->Tick();
    if (RecordComplete() && !ContentFinished()) {
        FinishFiles();
    }
}

bool CDownLoadTask::ContentFinished() const {
    std::lock_guard lock(m_taskLock);
    return m_files.AllFinished();
}

bool CDownLoadTask::IsComplete() const {
    // Complete means the content is there under its final name, not still a ".!mt".
    return HasContentFiles() && RecordComplete() && ContentFinished();
}

uint32_t CDownLoadTask::PieceLength() const {
    return HasContentFiles() ? m_seed.PieceLength() : 0;
}
uint32_t CDownLoadTask::PieceCount() const {
    return HasContentFiles() ? m_seed.PieceCount() : 0;
}
int64_t CDownLoadTask::TotalSize() const {
    return HasContentFiles() ? m_seed.TotalLength() : 0;
}

int64_t CDownLoadTask::VerifiedBytes() const {
    std::lock_guard lock(m_recordLock);
    return m_record.IsLoaded() ? m_record.VerifiedBytes() : 0;
}

uint16_t CDownLoadTask::FileCount() const {
    std::lock_guard lock(m_taskLock);
    return static_cast<uint16_t>(m_files.Count());
}

Bitfield CDownLoadTask::PieceBitfield() const {
    return HaveBitfield();
}

size_t CDownLoadTask::BitfieldLength() const {
    std::lock_guard lock(m_recordLock);
    return m_record.IsLoaded() ? m_record.BitfieldLength() : 0;
}

bool CDownLoadTask::IsRequestedFrom(const ConnectionKey& key, uint32_t piece, uint32_t offset) const {
    auto pieces = Pieces();
    Ref<CPeer> peer = m_peers.Find(key);
    // The length check happens in PutBlock, which sees the data.
    return pieces && peer && pieces->IsRequestedFrom(*peer, piece, offset, kBlockSize);
}

int64_t CDownLoadTask::PutBlock(const ConnectionKey& key, std::span<const uint8_t> data, uint32_t piece,
                                uint32_t offset) {
    auto pieces = Pieces();
    Ref<CPeer> peer = m_peers.Find(key);
    if (!pieces || !peer) {
        return 0;
    }
    if (!pieces->IsRequestedFrom(*peer, piece, offset, data.size())) {
        EngineLog(kLogError1, "错误啊,不是我以前请求的包\n");
        return 0;
    }
    return pieces->PutBlock(*peer, data, piece, offset);
}

bool CDownLoadTask::PickRequest(const ConnectionKey& key, int64_t& position, uint32_t& length) {
    auto pieces = Pieces();
    Ref<CPeer> peer = m_peers.Find(key);
    if (!pieces || !peer) {
        return false;
    }
    auto r = pieces->PickRequest(*peer);
    if (!r) {
        return false;
    }
    position = int64_t{r->piece} * pieces->PieceLength() + r->begin;
    length = r->length;
    return true;
}

bool CDownLoadTask::PickRequestSequential(const ConnectionKey& key, int64_t& position, uint32_t& length) {
    auto pieces = Pieces();
    Ref<CPeer> peer = m_peers.Find(key);
    if (!pieces || !peer) {
        return false;
    }
    auto r = pieces->PickRequestSequential(*peer);
    if (!r) {
        return false;
    }
    position = int64_t{r->piece} * pieces->PieceLength() + r->begin;
    length = r->length;
    return true;
}

int CDownLoadTask::CancelRequest(const ConnectionKey& key, uint32_t piece, uint32_t offset, uint32_t length) {
    auto pieces = Pieces();
    Ref<CPeer> peer = m_peers.Find(key);
    return pieces && peer ? pieces->CancelRequest(*peer, piece, offset, length) : -1;
}

int CDownLoadTask::FreeRequestSlots(const ConnectionKey& key) const {
    auto pieces = Pieces();
    Ref<CPeer> peer = m_peers.Find(key);
    return pieces && peer ? pieces->FreeRequestSlots(*peer) : 0;
}

void CDownLoadTask::ReleasePeer(CPeer& peer) {
    if (auto pieces = Pieces()) {
        pieces->ReleasePeer(peer);
    }
}

int CDownLoadTask::SelectFiles(uint32_t count) {
    auto pieces = Pieces();
    std::lock_guard lock(m_taskLock);
    if (m_files.Count() < count || !pieces) {
        return 2;
    }
    m_selectedFiles = count;
    int64_t sum = 0;
    for (size_t i = 0; i < count; ++i) {
        sum += m_files.File(i).Size();
    }
    pieces->SetWantedStart(sum);
    return 0;
}

void CDownLoadTask::ComputePieceLimit() {
    auto pieces = Pieces();
    if (!pieces) {
        return;
    }
    std::lock_guard lock(m_taskLock);
    if (m_selectedFiles == 0 || m_files.Count() <= 1) {
        pieces->SetPieceLimit(pieces->PieceCount());
        return;
    }
    int64_t sum = 0;
    for (size_t i = 0; i < m_selectedFiles && i < m_files.Count(); ++i) {
        sum += m_files.File(i).Size();
    }
    uint32_t pl = pieces->PieceLength();
    pieces->SetPieceLimit(static_cast<uint32_t>((sum + pl - 1) / pl));
}

bool CDownLoadTask::SetSequentialMode(bool on) {
    CTask::SetSequentialMode(on);
    if (auto pieces = Pieces()) {
        pieces->SetSequential(on);
    }
    return true;
}

bool CDownLoadTask::SetReadPosition(int64_t position) {
    auto pieces = Pieces();
    return pieces && pieces->SetReadPosition(position);
}

bool CDownLoadTask::ExpectedPieceHash(uint32_t index, std::array<uint8_t, 20>& out) const {
    if (index >= m_seed.PieceCount()) {
        return false;
    }
    auto h = m_seed.PieceHash(index);
    std::copy(h.begin(), h.end(), out.begin());
    return true;
}

int64_t CDownLoadTask::WriteContent(int64_t position, std::span<const uint8_t> data, int& error) {
    errno = 0;
    int64_t n = m_files.WriteAt(position, data);
    if (n < 0) {
        error = errno != 0 ? errno : EIO;
    }
    return n;
}

bool CDownLoadTask::HasPiece(uint32_t index) const {
    std::lock_guard lock(m_recordLock);
    return m_record.HasPiece(index);
}

Bitfield CDownLoadTask::HaveBitfield() const {
    std::lock_guard lock(m_recordLock);
    return m_record.Pieces();
}

void CDownLoadTask::RecordPiece(uint32_t index, int64_t length) {
    {
        std::lock_guard lock(m_recordLock);
        if (!m_record.MarkPieceVerified(index)) {
            return;
        }
        m_record.Save();
    }
    downloadedTotal.fetch_add(length);
}

bool CDownLoadTask::RecordComplete() const {
    std::lock_guard lock(m_recordLock);
    return const_cast<CResumeRecord&>(m_record).IsComplete();
}

void CDownLoadTask::OnFirstComplete() {
    FinishFiles();
    LinkAnnounceSource(Hash());
}

std::string CDownLoadTask::LogName() const {
    return FullPath();
}

}  // namespace tessali::core
