#include "engine/core/task_mgr.h"

#include <arpa/inet.h>

#include <algorithm>
#include <atomic>
#include <cstring>

#include "engine/core/engine_log.h"
#include "engine/core/engine_task_factory.h"
#include "engine/core/http_status.h"
#include "engine/core/protocol_link.h"
#include "engine/platform/file.h"
#include "engine/platform/text_convert.h"
#include "engine/platform/tick.h"

namespace tessali::core {
namespace {

std::atomic<ITaskFactory*> g_defaultFactory{nullptr};

int32_t RateOf(const std::atomic<int32_t>& counter) {
    return std::max<int32_t>(0, counter.load() / 10);
}

void PutU32BigEndian(uint8_t* p, uint32_t v) {
    v = htonl(v);
    std::memcpy(p, &v, 4);
}

}  // namespace

CTaskMgr::CTaskMgr() : m_engineFactory(std::make_unique<CEngineTaskFactory>(*this)) {}

CTaskMgr::~CTaskMgr() {
    std::map<TaskHash, Ref<CTask>> tasks;
    {
        std::lock_guard lock(m_tableLock);
        tasks.swap(m_tasks);
    }
    std::lock_guard lock(m_folderLock);
    m_folders.clear();
}

void CTaskMgr::SetTaskFactory(ITaskFactory* factory) {
    std::lock_guard lock(m_factoryLock);
    m_factory = factory;
}

ITaskFactory& CTaskMgr::Factory() {
    std::lock_guard lock(m_factoryLock);
    if (m_factory != nullptr) {
        return *m_factory;
    }
    ITaskFactory* def = g_defaultFactory.load();
    return def != nullptr ? *def : *m_engineFactory;
}

Ref<CTask> CTaskMgr::Find(const TaskHash& hash) {
    std::lock_guard lock(m_tableLock);
    auto it = m_tasks.find(hash);
    return it == m_tasks.end() ? Ref<CTask>() : it->second;
}

bool CTaskMgr::FindTask(const TaskHash& hash, Ref<CTask>& out) {
    out = Find(hash);
    return static_cast<bool>(out);
}

CTask* CTaskMgr::PeekTask(const TaskHash& hash) {
    std::lock_guard lock(m_tableLock);
    auto it = m_tasks.find(hash);
    return it == m_tasks.end() ? nullptr : it->second.get();
}

bool CTaskMgr::TaskExists(const TaskHash& hash) {
    return static_cast<bool>(Find(hash));
}

bool CTaskMgr::HasSeed(const TaskHash& hash) {
    Ref<CTask> t = Find(hash);
    return t && t->HasSeed();
}

bool CTaskMgr::StoreSeedData(const TaskHash& hash, std::span<const uint8_t> seed) {
    Ref<CTask> t = Find(hash);
    return t && t->StoreSeedData(seed);
}

bool CTaskMgr::GetSeedBytes(const TaskHash& hash, std::span<uint8_t> buffer, size_t& length) {
    Ref<CTask> t = Find(hash);
    if (!t) {
        return false;
    }
    auto bytes = t->SeedBytes();
    if (buffer.empty()) {
        length = bytes ? bytes->size() : 0;
        return true;
    }
    if (!bytes) {
        return false;
    }
    length = std::min(buffer.size(), bytes->size());
    std::copy_n(bytes->begin(), length, buffer.begin());
    return true;
}

int64_t CTaskMgr::WriteAt(const TaskHash& hash, std::span<const uint8_t> data, int64_t position) {
    Ref<CTask> t = Find(hash);
    if (!t) {
        return -1;
    }
    uint32_t pieceLength = t->PieceLength();
    if (pieceLength == 0) {
        return 0;
    }
    return t->WritePiece(data, static_cast<uint32_t>(position / pieceLength),
                         static_cast<uint32_t>(position % pieceLength));
}

int64_t CTaskMgr::PutBlock(const TaskHash& hash, const ConnectionKey& peer, std::span<const uint8_t> data,
                           PieceIndex piece, BlockOffset offset) {
    Ref<CTask> t = Find(hash);
    if (!t) {
        return -1;
    }
    if (!t->IsRequestedFrom(peer, piece.value, offset.value)) {
        EngineLog(kLogError1, "错误啊,不是我以前请求的包\n");
        return 0;
    }
    return t->PutBlock(peer, data, piece.value, offset.value);
}

int64_t CTaskMgr::ReadAt(const TaskHash& hash, std::span<uint8_t> out, int64_t position, bool countUpload) {
    Ref<CTask> t = Find(hash);
    if (!t) {
        return -1;
    }
    uint32_t pieceLength = t->PieceLength();
    if (pieceLength == 0) {
        return -1;
    }
    return t->Read(out, static_cast<uint32_t>(position / pieceLength),
                   static_cast<uint32_t>(position % pieceLength), countUpload);
}

bool CTaskMgr::PickRequestAt(const TaskHash& hash, const ConnectionKey& peer, BlockRange& out) {
    Ref<CTask> t = Find(hash);
    return t && t->PickRequestSequential(peer, out.position, out.length);
}

bool CTaskMgr::PickRequest(const TaskHash& hash, const ConnectionKey& peer,
                           std::span<uint8_t, kRequestMessageBytes> out) {
    Ref<CTask> t = Find(hash);
    if (!t) {
        return false;
    }
    uint32_t pieceLength = t->PieceLength();
    int64_t position = 0;
    uint32_t length = 0;
    if (pieceLength == 0 || !t->PickRequest(peer, position, length)) {
        return false;
    }
    // Length prefix 13, id 6 (request), piece index, offset in piece, length: all big-endian.
    PutU32BigEndian(&out[0], 13);
    out[4] = 6;
    PutU32BigEndian(&out[5], static_cast<uint32_t>(position / pieceLength));
    PutU32BigEndian(&out[9], static_cast<uint32_t>(position % pieceLength));
    PutU32BigEndian(&out[13], length);
    return true;
}

bool CTaskMgr::IsComplete(const TaskHash& hash) {
    Ref<CTask> t = Find(hash);
    return t && t->IsComplete();
}

bool CTaskMgr::GetBitfield(const TaskHash& hash, std::span<uint8_t> buffer, size_t& length) {
    Ref<CTask> t = Find(hash);
    if (!t) {
        return false;
    }
    Bitfield bits = t->PieceBitfield();
    if (buffer.empty()) {
        length = bits.Size();
        return true;
    }
    length = std::min(buffer.size(), bits.Size());
    std::copy_n(bits.Bytes().begin(), length, buffer.begin());
    return true;
}

int CTaskMgr::AddPeer(const TaskHash& hash, const ConnectionKey& key, const PeerAttributes& attributes) {
    Ref<CTask> t = Find(hash);
    if (!t) {
        return -1;
    }
    auto peer = Ref<CPeer>::Make(key);
    peer->natType = attributes.natType;
    peer->transport = attributes.transport;
    peer->viaUdp = attributes.transport == 3 ? 1 : 0;
    peer->kind = attributes.kind;
    peer->extra = attributes.extra;
    t->Peers().Add(peer);
    return 0;
}

int CTaskMgr::RemovePeer(const TaskHash& hash, const ConnectionKey& key) {
    Ref<CTask> t = Find(hash);
    if (!t) {
        return -1;
    }
    Ref<CPeer> peer = t->Peers().Remove(key);
    if (!peer) {
        return -1;
    }
    t->uploadRateCount.fetch_sub(peer->uploadRateCount.load());
    t->downloadRateCount.fetch_sub(peer->downloadRateCount.load());
    t->ReleasePeer(*peer);
    return 0;
}

// Looks up the task and its peer; both references stay valid outside every lock.
bool CTaskMgr::FindPeer(const TaskHash& hash, const ConnectionKey& key, Ref<CTask>& task, Ref<CPeer>& peer) {
    task = Find(hash);
    if (!task) {
        return false;
    }
    peer = task->Peers().Find(key);
    return static_cast<bool>(peer);
}

int CTaskMgr::SetPeerBitfield(const TaskHash& hash, const ConnectionKey& key, std::span<const uint8_t> bits) {
    Ref<CTask> t;
    Ref<CPeer> p;
    if (!FindPeer(hash, key, t, p)) {
        return -1;
    }
    p->SetBitfield(bits);
    return 0;
}

int CTaskMgr::SetPeerHave(const TaskHash& hash, const ConnectionKey& key, PieceIndex piece) {
    Ref<CTask> t;
    Ref<CPeer> p;
    if (!FindPeer(hash, key, t, p)) {
        return -1;
    }
    p->SetHave(piece.value);  // an index past the bitfield touches nothing
    return 0;
}

int CTaskMgr::SetPeerId(const TaskHash& hash, const ConnectionKey& key, std::span<const uint8_t, 20> id) {
    Ref<CTask> t;
    Ref<CPeer> p;
    if (!FindPeer(hash, key, t, p)) {
        return -1;
    }
    p->SetId(id);
    return 0;
}

int CTaskMgr::SetPeerKind(const TaskHash& hash, const ConnectionKey& key, uint8_t kind) {
    Ref<CTask> t;
    Ref<CPeer> p;
    if (!FindPeer(hash, key, t, p)) {
        return -1;
    }
    p->kind = kind;
    return 0;
}

int CTaskMgr::GetPeerId(const TaskHash& hash, const ConnectionKey& key, std::span<uint8_t, 20> id) {
    Ref<CTask> t;
    Ref<CPeer> p;
    if (!FindPeer(hash, key, t, p)) {
        return -1;
    }
    auto stored = p->Id();
    std::copy(stored.begin(), stored.end(), id.begin());
    return 0;
}

int CTaskMgr::GetPeerKind(const TaskHash& hash, const ConnectionKey& key) {
    Ref<CTask> t;
    Ref<CPeer> p;
    return FindPeer(hash, key, t, p) ? p->kind.load() : -1;
}

uint8_t CTaskMgr::IsPeerViaUdp(const TaskHash& hash, const ConnectionKey& key) {
    Ref<CTask> t;
    Ref<CPeer> p;
    return FindPeer(hash, key, t, p) ? p->viaUdp.load() : 0;
}

uint32_t CTaskMgr::GetPeerVersion(const TaskHash& hash, const ConnectionKey& key) {
    Ref<CTask> t;
    Ref<CPeer> p;
    return FindPeer(hash, key, t, p) ? p->version.load() : 0;
}

uint8_t CTaskMgr::HasPeerLargeBlocks(const TaskHash& hash, const ConnectionKey& key) {
    Ref<CTask> t;
    Ref<CPeer> p;
    return FindPeer(hash, key, t, p) ? p->largeBlocks.load() : 0;
}

uint32_t CTaskMgr::GetPeerCount(const TaskHash& hash) {
    Ref<CTask> t = Find(hash);
    return t ? t->PeerCount() : 0;
}

bool CTaskMgr::HasPeerAt(const TaskHash& hash, uint32_t addr, uint16_t port) {
    Ref<CTask> t = Find(hash);
    return t && t->Peers().FindByAddress(addr, port);
}

int32_t CTaskMgr::GetPeerState(const TaskHash& hash, const ConnectionKey& key) {
    Ref<CTask> t;
    Ref<CPeer> p;
    return FindPeer(hash, key, t, p) ? p->state.load() : -1;
}

bool CTaskMgr::SetPeerState(const TaskHash& hash, const ConnectionKey& key, int32_t state) {
    Ref<CTask> t;
    Ref<CPeer> p;
    if (!FindPeer(hash, key, t, p)) {
        return false;
    }
    p->state = state;
    return true;
}

bool CTaskMgr::InitPeerBitfield(const TaskHash& hash, const ConnectionKey& key) {
    Ref<CTask> t;
    Ref<CPeer> p;
    if (!FindPeer(hash, key, t, p) || p->HasBitfield()) {
        return false;
    }
    p->SetBitfield(std::vector<uint8_t>(t->BitfieldLength(), 0));
    p->state = kPeerActive;
    return true;
}

bool CTaskMgr::PeerNeedsHave(const TaskHash& hash, const ConnectionKey& key, PieceIndex piece) {
    Ref<CTask> t;
    Ref<CPeer> p;
    if (!FindPeer(hash, key, t, p) || p->state == kPeerConnected) {
        return false;
    }
    return p->kind == kPeerBitTorrent || !p->HasPiece(piece.value);
}

int32_t CTaskMgr::GetPeerRate(const TaskHash& hash, const ConnectionKey& key) {
    Ref<CTask> t;
    Ref<CPeer> p;
    return FindPeer(hash, key, t, p) ? RateOf(p->downloadRateCount) : 0;
}

bool CTaskMgr::HasPeerWithId(const TaskHash& hash, std::span<const uint8_t, 20> id) {
    Ref<CTask> t = Find(hash);
    return t && t->Peers().FindById(id);
}

void CTaskMgr::TickAllTasks() {
    std::lock_guard lock(m_folderLock);
    for (auto& [folder, tasks] : m_folders) {
        for (const Ref<CTask>& t : tasks) {
            t->Tick();
        }
    }
}

int CTaskMgr::GetRunState(const TaskHash& hash) {
    Ref<CTask> t = Find(hash);
    return t ? t->RunState() : -1;
}

int CTaskMgr::GetBitfieldLength(const TaskHash& hash) {
    Ref<CTask> t = Find(hash);
    return t ? static_cast<int>(t->BitfieldLength()) : -1;
}

int CTaskMgr::CountActiveDownloads() {
    int n = 0;
    for (const Ref<CTask>& t : AllTasks()) {
        uint8_t kind = t->Kind();
        if (!t->IsComplete() && t->RunState() == kRunRunning && (kind == 1 || kind == 2)) {
            ++n;
        }
    }
    return n;
}

uint32_t CTaskMgr::GetPieceLength(const TaskHash& hash) {
    Ref<CTask> t = Find(hash);
    return t ? t->PieceLength() : 0;
}

uint32_t CTaskMgr::GetPieceCount(const TaskHash& hash) {
    Ref<CTask> t = Find(hash);
    return t ? t->PieceCount() : 0;
}

int CTaskMgr::QueryTaskInfo(const TaskHash& hash, TaskInfoRecord& record) {
    Ref<CTask> t = Find(hash);
    if (!t) {
        return -1;
    }
    FillTaskInfo(t, record);
    return 0;
}

void CTaskMgr::FillTaskInfo(const Ref<CTask>& task, TaskInfoRecord& record) {
    std::string text = task->Hash().ToText();
    std::memcpy(record.hashText, text.data(), sizeof record.hashText);
    record.zero = 0;

    auto writeDestination = [&] {
        std::u16string dest = platform::Utf8ToUtf16(task->FullPath());
        size_t n = std::min(dest.size(), kTaskInfoPathChars - 1);
        std::copy_n(dest.begin(), n, record.destination);
        record.destination[n] = 0;
    };

    if (task->IsHttpTask()) {
        // HTTP-source progress comes from the HTTP agent; without one the engine reports what the
        // task itself knows.
        HttpTaskStatus http;
        if (QueryHttpStatus(task->HttpJobHash(), http)) {
            SplitHighLow(http.contentLength, record.totalHigh, record.totalLow);
            SplitHighLow(http.bytesWritten, record.haveHigh, record.haveLow);
            record.downloadRate = http.rate;
        } else {
            http.bytesWritten = task->VerifiedBytes();
            SplitHighLow(task->TotalSize(), record.totalHigh, record.totalLow);
            SplitHighLow(http.bytesWritten, record.haveHigh, record.haveLow);
            record.downloadRate = static_cast<uint32_t>(RateOf(task->downloadRateCount));
        }
        record.downloaded = record.haveLow;
        if (http.path.empty()) {
            writeDestination();
        } else {
            std::u16string dest = platform::Utf8ToUtf16(http.path);
            size_t n = std::min(dest.size(), kTaskInfoPathChars - 1);
            std::copy_n(dest.begin(), n, record.destination);
            record.destination[n] = 0;
        }
        EngineLog(kLogDebug, "HTTP=>download len:%lld,%d\n", static_cast<long long>(http.bytesWritten),
                  static_cast<int>(record.downloadRate));
        return;
    }
    if (!task->HasContentFiles()) {
        return;
    }
    int64_t total = task->TotalSize();
    int64_t have = task->VerifiedBytes();
    SplitHighLow(total, record.totalHigh, record.totalLow);
    SplitHighLow(have, record.haveHigh, record.haveLow);
    record.uploaded = static_cast<uint32_t>(task->uploadedTotal.load());
    record.downloaded = static_cast<uint32_t>(task->downloadedTotal.load());
    record.uploadRate = static_cast<uint32_t>(RateOf(task->uploadRateCount));
    record.downloadRate = static_cast<uint32_t>(RateOf(task->downloadRateCount));
    auto settings = task->Settings();
    std::copy_n(settings.begin(), 4, record.settings);
    record.seedMark = task->HasSeed() ? 1 : 0;
    record.peerCount = static_cast<uint8_t>(std::min<uint32_t>(task->PeerCount(), 255));
    record.kind = settings[kSetKind];
    record.shared = task->SharedFlag();
    record.fileCount = task->FileCount();
    record.flags = settings[kSetFlags];
    record.creationTime = task->CreationTime();
    writeDestination();
    EngineLog(kLogDebug, "file len:%lld,download len:%lld\n", static_cast<long long>(total),
              static_cast<long long>(have));
    EngineLog(kLogDebug, "Mirt=> Download Len:%d\n", static_cast<int>(record.downloaded));
}

bool CTaskMgr::SetSequentialMode(const TaskHash& hash, uint32_t value) {
    Ref<CTask> t = Find(hash);
    return t && t->SetSequentialMode(value != 0);
}

bool CTaskMgr::SetReadPosition(const TaskHash& hash, int64_t position) {
    Ref<CTask> t = Find(hash);
    return t && t->SetReadPosition(position);
}

int CTaskMgr::CreateDownloadTask(const TaskHash& hash, const std::string& destinationPath,
                                 const TaskHeader* details, bool highPriority, int loadMode) {
    if (TaskExists(hash)) {
        return 2;
    }
    if (destinationPath.empty() || destinationPath.back() == '/') {
        return -1;  // a destination must name a file
    }
    Ref<CTask> task = Factory().MakeDownloadTask(hash, destinationPath);
    if (!task) {
        return -1;
    }
    if (details != nullptr) {
        task->ApplyCreationDetails(*details);
    }
    if (highPriority) {
        task->SetHighPriority(true);
    }
    int result = task->Load(loadMode);
    if (result < 0) {
        return result;  // the reference dies here, destroying the task
    }
    if (!InsertTask(task)) {
        return 2;  // another thread created the same hash meanwhile
    }
    task->ComputePieceLimit();
    return result;
}

int CTaskMgr::CreateShareTask(const std::string& text, TaskHash& hashOut, const TaskHeader* details,
                              int loadMode) {
    Ref<CTask> task;
    if (Factory().MakeShareTask(text, details, loadMode, task) != 0 || !task) {
        return -1;
    }
    hashOut = task->Hash();
    if (!InsertTask(task)) {
        return 0;  // already shared: the existing task stays untouched
    }
    task->ComputePieceLimit();
    return 0;
}

bool CTaskMgr::InsertTask(const Ref<CTask>& task) {
    {
        std::lock_guard lock(m_tableLock);
        if (!m_tasks.emplace(task->Hash(), task).second) {
            return false;
        }
    }
    std::lock_guard lock(m_folderLock);
    m_folders[task->Folder()].push_back(task);
    return true;
}

int CTaskMgr::ControlTaskState(const TaskHash& hash, int code) {
    if (code < 1 || code > 4) {
        return -1;
    }
    Ref<CTask> t = Find(hash);
    if (!t) {
        return -1;
    }
    switch (code) {
        case 1:
            t->Start();
            break;
        case 2:
            t->SetRunState(kRunPaused);
            break;
        case 3:
            t->SetRunState(kRunDeleting);
            RemoveTask(hash);
            break;
        case 4: {
            std::lock_guard lock(m_tableLock);
            t->Start();
            for (auto& [h, other] : m_tasks) {
                if (h != hash && other->RunState() != kRunPaused && !other->HighPriority()) {
                    other->SetRunState(kRunPaused);
                }
            }
            break;
        }
    }
    return 0;
}

int CTaskMgr::SelectFiles(const TaskHash& hash, uint32_t count) {
    Ref<CTask> t = Find(hash);
    if (!t) {
        return -1;
    }
    int r = t->SelectFiles(count);
    if (r == 0) {
        t->ComputePieceLimit();
    }
    return r;
}

void CTaskMgr::StartAll() {
    for (const Ref<CTask>& t : AllTasks()) {
        t->Start();
    }
}

void CTaskMgr::PauseAll() {
    for (const Ref<CTask>& t : AllTasks()) {
        if (!t->HighPriority() && t->RunState() != kRunPaused) {
            t->SetRunState(kRunPaused);
        }
    }
}

// The task's own caps (bytes per second, 0 = none); the peer layer's pacing pass holds the task's
// requests and served blocks to them.
bool CTaskMgr::SetUploadLimit(const TaskHash& hash, uint32_t bytesPerSecond) {
    return SetUploadPace(hash, bytesPerSecond);
}

bool CTaskMgr::IsDownloadPaced(const TaskHash& hash) {
    Ref<CTask> t = Find(hash);
    return t && t->Pace().IsPaced(PaceDirection::kDownload, platform::GetTick());
}

bool CTaskMgr::IsUploadPaced(const TaskHash& hash) {
    Ref<CTask> t = Find(hash);
    return t && t->Pace().IsPaced(PaceDirection::kUpload, platform::GetTick());
}

bool CTaskMgr::SetUploadPace(const TaskHash& hash, uint32_t bytesPerSecond) {
    Ref<CTask> t = Find(hash);
    if (!t) {
        return false;
    }
    t->Pace().SetLimit(PaceDirection::kUpload, bytesPerSecond);
    return true;
}

bool CTaskMgr::SetDownloadPace(const TaskHash& hash, uint32_t bytesPerSecond) {
    Ref<CTask> t = Find(hash);
    if (!t) {
        return false;
    }
    t->Pace().SetLimit(PaceDirection::kDownload, bytesPerSecond);
    return true;
}

bool CTaskMgr::ResetPace(const TaskHash& hash) {
    Ref<CTask> t = Find(hash);
    return t && t->Pace().Reset();
}

bool CTaskMgr::HasPaceLimit(const TaskHash& hash) {
    Ref<CTask> t = Find(hash);
    return t && t->Pace().HasLimit();
}

int32_t CTaskMgr::GetTaskRateA(const TaskHash& hash) {
    Ref<CTask> t = Find(hash);
    return t ? RateOf(t->uploadRateCount) : 0;
}

int32_t CTaskMgr::GetTaskRateB(const TaskHash& hash) {
    Ref<CTask> t = Find(hash);
    return t ? RateOf(t->downloadRateCount) : 0;
}

int CTaskMgr::GetFreeRequestSlots(const TaskHash& hash, const ConnectionKey& peer) {
    Ref<CTask> t = Find(hash);
    return t ? t->FreeRequestSlots(peer) : 0;
}

int CTaskMgr::CancelRequest(const TaskHash& hash, const ConnectionKey& peer, PieceIndex piece,
                            BlockOffset offset, uint32_t length) {
    Ref<CTask> t = Find(hash);
    return t ? t->CancelRequest(peer, piece.value, offset.value, length) : -1;
}

int CTaskMgr::CountDownloaded(const TaskHash& hash, const ConnectionKey& key, int32_t bytes) {
    Ref<CTask> t = Find(hash);
    if (!t) {
        return -1;
    }
    t->downloadRateCount.fetch_add(bytes);
    if (Ref<CPeer> p = t->Peers().Find(key)) {
        p->downloadRateCount.fetch_add(bytes);
        // The rate window takes bytes back with a negative count; the total only grows.
        if (bytes > 0) {
            p->downloadedTotal.fetch_add(bytes);
        }
    }
    return 0;
}

int CTaskMgr::CountUploaded(const TaskHash& hash, const ConnectionKey& key, int32_t bytes) {
    Ref<CTask> t = Find(hash);
    if (!t) {
        return -1;
    }
    t->uploadRateCount.fetch_add(bytes);
    if (Ref<CPeer> p = t->Peers().Find(key)) {
        p->uploadRateCount.fetch_add(bytes);
        if (bytes > 0) {
            p->uploadedTotal.fetch_add(bytes);
        }
    }
    return 0;
}

bool CTaskMgr::SetSharedFlag(const TaskHash& hash, uint8_t value) {
    Ref<CTask> t = Find(hash);
    if (!t) {
        return false;
    }
    t->SetSharedFlag(value);
    return true;
}

Ref<CTask> CTaskMgr::FindTaskByPath(const std::string& fullPath) {
    std::lock_guard lock(m_folderLock);
    auto it = m_folders.find(platform::DirName(fullPath));
    if (it == m_folders.end()) {
        return {};
    }
    for (const Ref<CTask>& t : it->second) {
        if (t->FullPath() == fullPath) {
            return t;
        }
    }
    return {};
}

void CTaskMgr::AnnounceAllSources() {
    for (const Ref<CTask>& t : AllTasks()) {
        uint8_t kind = t->Kind();
        if (((kind == 1 || kind == 2) && t->IsComplete()) || kind == 3 || kind == 4) {
            LinkAnnounceSource(t->Hash());
        }
    }
}

bool CTaskMgr::IsHttpTask(const TaskHash& hash) {
    Ref<CTask> t = Find(hash);
    return t && t->IsHttpTask();
}

bool CTaskMgr::GetHttpHash(const TaskHash& hash, TaskHash& out) {
    Ref<CTask> t = Find(hash);
    if (!t) {
        return false;
    }
    out = t->HttpJobHash();
    return true;
}

bool CTaskMgr::LinkHttpJob(const TaskHash& hash, const TaskHash& job) {
    Ref<CTask> t = Find(hash);
    if (!t) {
        return false;
    }
    t->LinkHttpJob(job);
    std::lock_guard lock(m_httpLock);
    m_httpLinked.insert(hash);
    return true;
}

bool CTaskMgr::IsHttpLinkedHash(const TaskHash& hash) {
    std::lock_guard lock(m_httpLock);
    return m_httpLinked.count(hash) != 0;
}

bool CTaskMgr::SetSourceUrl(const TaskHash& hash, const std::string& url) {
    Ref<CTask> t = Find(hash);
    if (!t) {
        return false;
    }
    t->SetSourceUrl(url);
    return true;
}

bool CTaskMgr::ClearSourceUrl(const TaskHash& hash) {
    Ref<CTask> t = Find(hash);
    if (!t) {
        return false;
    }
    t->ClearSourceUrl();
    return true;
}

bool CTaskMgr::GetSourceUrl(const TaskHash& hash, std::string& out) {
    Ref<CTask> t = Find(hash);
    if (!t) {
        return false;
    }
    auto url = t->SourceUrl();
    if (!url) {
        return false;
    }
    out = *url;
    return true;
}

int64_t CTaskMgr::GetCreationTime(const TaskHash& hash) {
    Ref<CTask> t = Find(hash);
    return t ? static_cast<int64_t>(t->CreationTime()) : -1;
}

int CTaskMgr::RemoveTask(const TaskHash& hash) {
    Ref<CTask> removed;
    {
        std::lock_guard folderLock(m_folderLock);
        for (auto it = m_folders.begin(); it != m_folders.end(); ++it) {
            auto& list = it->second;
            auto pos = std::find_if(list.begin(), list.end(),
                                    [&](const Ref<CTask>& t) { return t->Hash() == hash; });
            if (pos == list.end()) {
                continue;
            }
            if ((*pos)->IsHttpLinked()) {
                std::lock_guard httpLock(m_httpLock);
                m_httpLinked.erase(hash);
            }
            removed = *pos;
            list.erase(pos);
            if (list.empty()) {
                m_folders.erase(it);
            }
            break;
        }
    }
    {
        std::lock_guard lock(m_tableLock);
        m_tasks.erase(hash);
    }
    if (removed) {
        removed->OnRemoved();
    }
    return 0;
}

std::vector<Ref<CTask>> CTaskMgr::AllTasks() {
    std::lock_guard lock(m_tableLock);
    std::vector<Ref<CTask>> out;
    out.reserve(m_tasks.size());
    for (auto& [h, t] : m_tasks) {
        out.push_back(t);
    }
    return out;
}

size_t CTaskMgr::TaskCount() {
    std::lock_guard lock(m_tableLock);
    return m_tasks.size();
}

namespace {
std::mutex g_mgrLock;
CTaskMgr* g_mgr = nullptr;
}  // namespace

CTaskMgr& TaskMgr() {
    std::lock_guard lock(g_mgrLock);
    if (g_mgr == nullptr) {
        g_mgr = new CTaskMgr;
    }
    return *g_mgr;
}

void DestroyTaskMgr() {
    CTaskMgr* mgr;
    {
        std::lock_guard lock(g_mgrLock);
        mgr = std::exchange(g_mgr, nullptr);
    }
    delete mgr;
}

void SetDefaultTaskFactory(ITaskFactory* factory) {
    g_defaultFactory.store(factory);
}

}  // namespace tessali::core
