// Input: a conversation with the peer logic. Byte 0 chooses whether the task already holds its
// seed and whether each of three connections opens with an engine or a BitTorrent handshake;
// then records follow, each [connection (1 byte)][length (1 byte)][message id + payload], which
// arrive as the framer would hand them over (length field in front). Some records are followed
// by the scheduling, pacing and one-second passes. The task is a real download task on disk
// (three pieces of 16 KiB and a short fourth): whatever the peers say, a piece may only count as
// done when its bytes on disk are the real ones, and nothing answers outside the task.
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "engine/core/engine_env.h"
#include "engine/core/engine_log.h"
#include "engine/core/seed_builder.h"
#include "engine/core/sha1.h"
#include "engine/core/task_key.h"
#include "engine/core/task_mgr.h"
#include "engine/net/msg_handle.h"
#include "engine/net/peer_wire.h"
#include "engine/platform/file.h"

namespace {

using namespace tessali;
using Bytes = std::vector<uint8_t>;

constexpr uint32_t kPieceBytes = 16384;
constexpr size_t kContentBytes = 3 * kPieceBytes + 1000;

struct Fixture {
    std::string dir;
    std::string dest;
    Bytes content;
    std::string seed;
    core::TaskHash hash;

    Fixture() {
        char name[] = "/tmp/fuzz_peer_messages.XXXXXX";
        dir = mkdtemp(name);
        // The engine keeps seeds and resume records in its data folder: keep it in ours.
        setenv("XDG_DATA_HOME", (dir + "/data").c_str(), 1);
        if (!core::PrepareEngineFolders()) {
            std::abort();
        }
        dest = dir + "/pack.bin";
        content.resize(kContentBytes);
        for (size_t i = 0; i < content.size(); ++i) {
            content[i] = static_cast<uint8_t>(i * 7 + (i >> 11));
        }
        std::string hashes;
        for (size_t at = 0; at < content.size(); at += kPieceBytes) {
            size_t n = std::min<size_t>(kPieceBytes, content.size() - at);
            core::Sha1Digest d = core::Sha1Of({content.data() + at, n});
            hashes.append(reinterpret_cast<const char*>(d.data()), d.size());
        }
        seed = core::SeedBytes(static_cast<int64_t>(content.size()), "pack.bin", kPieceBytes, hashes,
                               "http://127.0.0.1:6970", "", 1);
        core::Sha1Digest h = core::Sha1Of({reinterpret_cast<const uint8_t*>(hashes.data()), hashes.size()});
        std::memcpy(hash.bytes.data(), h.data(), h.size());
        core::SetLogSink([](int, const std::string&) {});
    }
    void Clean() const {
        for (const char* suffix : {"", ".!mt"}) {
            unlink((dest + suffix).c_str());
        }
        std::string key = core::TaskKey(dest);
        unlink(core::SeedFilePath(key).c_str());
        unlink(core::ResumeFilePath(key).c_str());
    }
};

class Link : public net::IPeerLink {
public:
    int Send(const core::ConnectionKey&, std::span<const uint8_t> m) override {
        if (m.empty() || m.size() > net::kMaxMessageBytes) {
            std::abort();
        }
        return static_cast<int>(m.size());
    }
    void Close(const core::ConnectionKey&) override {}
    void Discard(int) override {}
    int CreateTcp(uint32_t, uint16_t) override { return -1; }
    bool RegisterTcp(uint8_t, const core::ConnectionKey&) override { return false; }
    int CreateUdpCarrier(uint32_t, uint16_t) override { return -1; }
    bool RegisterReliableUdp(uint8_t, const core::ConnectionKey&, uint32_t, std::span<const uint8_t, 20>,
                             std::span<const uint8_t, 20>) override {
        return false;
    }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static Fixture fx;
    if (size < 1) {
        return 0;
    }
    fx.Clean();
    core::CTaskMgr tasks;
    if (tasks.CreateDownloadTask(fx.hash, fx.dest, nullptr, false, 0) != 0) {
        std::abort();
    }
    const uint8_t flags = data[0];
    if ((flags & 1) &&
        !tasks.StoreSeedData(fx.hash, {reinterpret_cast<const uint8_t*>(fx.seed.data()), fx.seed.size()})) {
        std::abort();
    }
    {
        Link link;
        net::CMsgPool pool;
        net::CMsgLimitLayer limits;
        net::CMsgHandle handle(tasks, link, pool, limits);
        core::ConnectionKey keys[3] = {
            {0x0100007F, 0x1111, 11}, {0x0200007F, 0x2222, 12}, {0x0300007F, 0x3333, 13}};
        for (int i = 0; i < 3; ++i) {
            std::array<uint8_t, 20> id{};
            std::memcpy(id.data(), "MIRT0066ABCDEF01234", 19);
            id[19] = static_cast<uint8_t>('0' + i);
            auto hs = net::BuildHandshake((flags >> (1 + i)) & 1, fx.hash.bytes, id);
            net::MessageRecord r;
            r.key = keys[i];
            r.bytes.assign(hs.begin(), hs.end());
            handle.Handle(r);
        }
        size_t at = 1;
        while (at + 2 <= size) {
            uint8_t conn = data[at];
            size_t length = data[at + 1];
            at += 2;
            length = std::min(length, size - at);
            net::MessageRecord r;
            r.key = keys[conn % 3];
            r.transport = (conn & 0x40) ? 3 : 1;
            if (length == 68 && data[at] == 19) {
                r.bytes.assign(data + at, data + at + length);  // a handshake record
            } else {
                Bytes body(data + at, data + at + length);
                r.bytes = net::BuildMessage(
                    body.empty() ? 0 : body[0],
                    body.empty() ? std::span<const uint8_t>{} : std::span<const uint8_t>(body).subspan(1));
                if (body.empty()) {
                    r.bytes.resize(4);  // a keep-alive: the length field alone
                    std::memset(r.bytes.data(), 0, 4);
                }
            }
            at += length;
            handle.Handle(r);
            if (conn & 0x80) {
                handle.ScheduleRequests(fx.hash, keys[conn % 3]);
                handle.PacingPass();
                handle.SecondPass();
            }
        }
        handle.DropTaskConnections(fx.hash);
    }
    // Whatever was said, a piece counted as done holds exactly the real bytes.
    core::Ref<core::CTask> task;
    if (tasks.FindTask(fx.hash, task) && task->HasSeed()) {
        core::Bitfield done = task->PieceBitfield();
        for (uint32_t p = 0; p < task->PieceCount(); ++p) {
            if (!done.Test(p)) {
                continue;
            }
            size_t begin = size_t{p} * kPieceBytes;
            size_t n = std::min<size_t>(kPieceBytes, fx.content.size() - begin);
            Bytes got(n);
            if (task->Read(got, p, 0, false) != static_cast<int64_t>(n) ||
                std::memcmp(got.data(), fx.content.data() + begin, n) != 0) {
                std::abort();
            }
        }
    }
    return 0;
}
