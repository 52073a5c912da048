// The peer logic against a real task manager holding a scripted task and a fake link that
// records what would go on the wire: handshakes, the answers to each message, request
// scheduling and its rules, serving, the deferred queue, upload admission and pacing, the speed
// window, the connection rules for source-list peers and the detection of lying peers.
#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <future>
#include <map>
#include <set>
#include <vector>

#include "common/log_capture.h"
#include "engine/core/task.h"
#include "engine/core/task_mgr.h"
#include "engine/net/block_witness.h"
#include "engine/net/dispatch.h"
#include "engine/net/msg_handle.h"
#include "engine/platform/tick.h"

namespace tessali::net {
namespace {

using Bytes = std::vector<uint8_t>;
using core::ConnectionKey;

constexpr uint32_t kPieceLength = 32768;  // two blocks
constexpr uint32_t kPieces = 4;

// A task whose content and answers the test controls; blocks are handed out in order, at most
// two outstanding per peer.
class ScriptedTask : public core::CTask {
public:
    explicit ScriptedTask(const core::TaskHash& h) : CTask(h, "/tmp/scripted.bin"), bits(kPieces) {}

    bool seed = true;
    bool complete = false;
    core::Bitfield bits;
    int64_t next = 0;
    std::map<ConnectionKey, int> outstanding;
    std::vector<std::array<uint32_t, 3>> cancelled;
    std::vector<std::array<uint32_t, 2>> put;
    int64_t putResult = 0;

    int Load(int) override { return 0; }
    int64_t Read(std::span<uint8_t> out, uint32_t piece, uint32_t offset, bool) override {
        for (size_t i = 0; i < out.size(); ++i) {
            out[i] = static_cast<uint8_t>(piece * 31 + offset + i);
        }
        return static_cast<int64_t>(out.size());
    }
    int64_t WritePiece(std::span<const uint8_t> d, uint32_t, uint32_t) override {
        return static_cast<int64_t>(d.size());
    }
    bool HasSeed() const override { return seed; }
    bool IsComplete() const override { return complete; }
    uint32_t PieceLength() const override { return seed ? kPieceLength : 0; }
    uint32_t PieceCount() const override { return seed ? kPieces : 0; }
    int64_t TotalSize() const override { return int64_t{kPieceLength} * kPieces; }
    core::Bitfield PieceBitfield() const override { return bits; }
    size_t BitfieldLength() const override { return seed ? bits.Size() : 0; }
    bool StoreSeedData(std::span<const uint8_t>) override {
        seed = true;
        return true;
    }
    std::optional<std::vector<uint8_t>> SeedBytes() const override { return std::vector<uint8_t>{1, 2, 3}; }
    bool IsRequestedFrom(const ConnectionKey&, uint32_t, uint32_t) const override { return true; }
    int64_t PutBlock(const ConnectionKey& peer, std::span<const uint8_t>, uint32_t piece,
                     uint32_t offset) override {
        put.push_back({piece, offset});
        --outstanding[peer];
        return putResult;
    }
    bool PickRequest(const ConnectionKey& peer, int64_t& position, uint32_t& length) override {
        if (outstanding[peer] >= 2 || next >= TotalSize()) {
            return false;
        }
        position = next;
        length = 16384;
        next += 16384;
        ++outstanding[peer];
        return true;
    }
    bool PickRequestSequential(const ConnectionKey& peer, int64_t& position, uint32_t& length) override {
        return PickRequest(peer, position, length);
    }
    int CancelRequest(const ConnectionKey& peer, uint32_t piece, uint32_t offset, uint32_t length) override {
        cancelled.push_back({piece, offset, length});
        --outstanding[peer];
        return 0;
    }
    int FreeRequestSlots(const ConnectionKey& peer) const override {
        auto it = outstanding.find(peer);
        return 2 - (it == outstanding.end() ? 0 : it->second);
    }

private:
    ~ScriptedTask() override = default;
};

class FakeLink : public IPeerLink {
public:
    std::map<ConnectionKey, std::vector<Bytes>> sent;
    std::vector<ConnectionKey> closed;
    std::vector<int> discarded;
    std::vector<std::pair<uint8_t, ConnectionKey>> tcp;
    std::vector<std::pair<uint32_t, ConnectionKey>> udp;
    int nextSock = 100;
    bool failSends = false;
    // Bytes the connection would hold unsent; with `peerReads` false every piece sent adds to it.
    size_t pending = 0;
    bool peerReads = true;

    int Send(const ConnectionKey& key, std::span<const uint8_t> m) override {
        if (failSends) {
            return -1;
        }
        sent[key].emplace_back(m.begin(), m.end());
        if (!peerReads) {
            pending += m.size();
        }
        return static_cast<int>(m.size());
    }
    // Runs of messages handed over together: key -> the message count of each run.
    std::map<ConnectionKey, std::vector<size_t>> runs;
    size_t SendAll(const ConnectionKey& key, std::span<const uint8_t> m, size_t each) override {
        if (failSends) {
            return 0;
        }
        for (size_t at = 0; at < m.size(); at += each) {
            sent[key].emplace_back(m.begin() + at, m.begin() + at + each);
        }
        runs[key].push_back(m.size() / each);
        return m.size() / each;
    }
    size_t PendingSendBytes(const ConnectionKey&) override { return pending; }
    void Close(const ConnectionKey& key) override { closed.push_back(key); }
    void Discard(int sock) override { discarded.push_back(sock); }
    int CreateTcp(uint32_t, uint16_t) override { return nextSock++; }
    bool RegisterTcp(uint8_t type, const ConnectionKey& key) override {
        tcp.push_back({type, key});
        return true;
    }
    int CreateUdpCarrier(uint32_t, uint16_t) override { return nextSock++; }
    bool RegisterReliableUdp(uint8_t, const ConnectionKey& key, uint32_t nat, std::span<const uint8_t, 20>,
                             std::span<const uint8_t, 20>) override {
        udp.push_back({nat, key});
        return true;
    }
    std::vector<ConnectionKey> directUdp;
    bool RegisterReliableUdpDirect(uint8_t, const ConnectionKey& key) override {
        directUdp.push_back(key);
        return true;
    }
    // The ids of the messages sent to `key`, handshakes as 19.
    std::vector<int> Ids(const ConnectionKey& key) {
        std::vector<int> ids;
        for (const Bytes& m : sent[key]) {
            ids.push_back(m.size() == 68 && m[0] == 19 ? 19 : m.size() > 4 ? m[4] : -1);
        }
        return ids;
    }
    std::vector<Bytes> OfId(const ConnectionKey& key, int id) {
        std::vector<Bytes> out;
        for (const Bytes& m : sent[key]) {
            if (m.size() > 4 && m[4] == id && !(m.size() == 68 && m[0] == 19)) {
                out.push_back(m);
            }
        }
        return out;
    }
};

class PeerLogic : public ::testing::Test {
protected:
    PeerLogic() {
        for (size_t i = 0; i < 20; ++i) {
            hash.bytes[i] = static_cast<uint8_t>(i + 1);
        }
        task = core::Ref<ScriptedTask>::Make(hash);
        tasks.InsertTask(task);
    }

    MessageRecord Record(Bytes bytes, const ConnectionKey& k) {
        MessageRecord r;
        r.key = k;
        r.bytes = std::move(bytes);
        return r;
    }
    Bytes Handshake(const char* id = "MIRT0066ABCDEF012345") {
        std::array<uint8_t, 20> peerId;
        std::memcpy(peerId.data(), id, 20);
        auto h = BuildHandshake(true, hash.bytes, peerId);
        return Bytes(h.begin(), h.end());
    }
    // An incoming engine peer past its handshake (active when the seed is loaded).
    void Connect(const ConnectionKey& k, const char* id = "MIRT0066ABCDEF012345") {
        handle.Handle(Record(Handshake(id), k));
        link.sent[k].clear();
    }
    core::Ref<core::CPeer> Peer(const ConnectionKey& k) { return task->Peers().Find(k); }
    Bytes Piece(uint32_t piece, uint32_t begin, size_t len) {
        auto head = BuildPieceHead(piece, begin, static_cast<uint32_t>(len));
        Bytes m(head.begin(), head.end());
        m.resize(13 + len, 0x77);
        return m;
    }

    platform::FakeTick clock{1000};
    core::TaskHash hash;
    core::CTaskMgr tasks;
    core::Ref<ScriptedTask> task;
    FakeLink link;
    CMsgPool pool;
    CMsgLimitLayer limits;
    CMsgHandle handle{tasks, link, pool, limits};
    ConnectionKey key{0x0100007F, 0x2222, 9};
};

TEST_F(PeerLogic, AnIncomingHandshakeIsAnsweredWithOursAndOurBitfield) {
    handle.Handle(Record(Handshake(), key));
    EXPECT_EQ(link.Ids(key), (std::vector<int>{19, kMsgBitfield}));
    EXPECT_EQ(Bytes(link.sent[key][0].begin() + 28, link.sent[key][0].begin() + 48),
              Bytes(hash.bytes.begin(), hash.bytes.end()));
    EXPECT_TRUE(pool.IsMapped(key));
    EXPECT_EQ(tasks.GetPeerState(hash, key), core::kPeerActive);
    EXPECT_EQ(tasks.GetPeerKind(hash, key), core::kPeerEngine);
    EXPECT_EQ(tasks.GetPeerVersion(hash, key), 66u);
}

TEST_F(PeerLogic, ASecondHandshakeOnAnActiveConnectionIsRejected) {
    Connect(key);
    test::LogCapture log;
    handle.Handle(Record(Handshake(), key));
    EXPECT_TRUE(log.Contains("Handshake status error2,9!!\n"));
    EXPECT_TRUE(link.sent[key].empty());
    EXPECT_EQ(tasks.GetPeerState(hash, key), core::kPeerActive);
}

TEST_F(PeerLogic, AHandshakeForAnUnknownTaskOrFromAPeerAlreadyConnectedIsRefused) {
    Connect(key);
    ConnectionKey other{0x0100007F, 0x3333, 10};
    handle.Handle(Record(Handshake(), other));  // same id characters 9-20
    EXPECT_EQ(link.closed, std::vector<ConnectionKey>{other});
    EXPECT_FALSE(pool.IsMapped(other));
    Bytes stranger = Handshake("MIRT0066FFFFFFFFFFFF");
    stranger[30] ^= 0xFF;  // names a task we do not have
    ConnectionKey third{0x0100007F, 0x4444, 11};
    handle.Handle(Record(stranger, third));
    EXPECT_EQ(link.closed.back(), third);
    EXPECT_EQ(tasks.GetPeerCount(hash), 1u);
}

TEST_F(PeerLogic, AnUnknownIdDropsThePeer) {
    Connect(key);
    test::LogCapture log;
    handle.Handle(Record(BuildMessage(12), key));
    EXPECT_TRUE(log.Contains("something could not recognize,length 5,id 12!\n"));
    EXPECT_EQ(tasks.GetPeerState(hash, key), -1);
    EXPECT_FALSE(pool.IsMapped(key));
    EXPECT_EQ(link.closed, std::vector<ConnectionKey>{key});
}

TEST_F(PeerLogic, InterestIsAlwaysAnsweredByUnchokeAndAWrongLengthDropsThePeer) {
    handle.Handle(Record(Handshake(), key));
    task->seed = false;  // even a peer we never asked anything
    link.sent[key].clear();
    handle.Handle(Record(BuildMessage(kMsgInterested), key));
    EXPECT_EQ(link.sent[key], std::vector<Bytes>{BuildMessage(kMsgUnchoke)});
    test::LogCapture log;
    handle.Handle(Record(BuildMessage(kMsgInterested, Bytes{1}), key));
    EXPECT_TRUE(log.Contains("interest packet check len error,6!!!\n"));
    EXPECT_EQ(tasks.GetPeerState(hash, key), -1);
}

TEST_F(PeerLogic, ABitfieldBeforeTheSeedIsStoredButLeavesThePeerIdle) {
    task->seed = false;
    handle.Handle(Record(Handshake(), key));
    EXPECT_EQ(link.Ids(key), (std::vector<int>{19, kMsgMetaRequest}));
    link.sent[key].clear();
    handle.Handle(Record(BuildMessage(kMsgBitfield, Bytes{0xF0, 0x0F}), key));
    EXPECT_EQ(Peer(key)->Bitfield(), (Bytes{0xF0, 0x0F}));
    EXPECT_EQ(tasks.GetPeerState(hash, key), core::kPeerIdle);
    EXPECT_TRUE(link.sent[key].empty()) << "no interested";

    // The seed arrives: the stored bitfield that does not fit it starts over, and the peer works.
    Bytes seed(10, 0x5A);
    handle.Handle(Record(BuildMessage(kMsgMetaResponse, seed), key));
    EXPECT_TRUE(task->seed);
    EXPECT_EQ(link.Ids(key), (std::vector<int>{kMsgBitfield, kMsgInterested}));
    EXPECT_EQ(tasks.GetPeerState(hash, key), core::kPeerActive);
    EXPECT_EQ(Peer(key)->Bitfield(), Bytes{0x00});
}

TEST_F(PeerLogic, ASecondSeedAnswerStillActivatesItsPeer) {
    task->seed = false;
    ConnectionKey other{0x0100007F, 0x3333, 10};
    handle.Handle(Record(Handshake(), key));
    handle.Handle(Record(Handshake("MIRT0066BBBBBBBBBBBB"), other));
    handle.Handle(Record(BuildMessage(kMsgMetaResponse, Bytes(10, 1)), key));
    link.sent[other].clear();
    handle.Handle(Record(BuildMessage(kMsgMetaResponse, Bytes(10, 1)), other));
    EXPECT_EQ(tasks.GetPeerState(hash, other), core::kPeerActive);
    EXPECT_EQ(link.Ids(other), (std::vector<int>{kMsgBitfield, kMsgInterested}));
}

TEST_F(PeerLogic, BitfieldsAndHavesNamingPiecesBeyondTheTaskAreRejected) {
    Connect(key);
    handle.Handle(Record(BuildHave(3), key));
    EXPECT_TRUE(Peer(key)->HasPiece(3));
    handle.Handle(Record(BuildHave(kPieces), key));
    EXPECT_EQ(tasks.GetPeerState(hash, key), -1) << "have of piece 4 of 4";

    ConnectionKey other{0x0100007F, 0x3333, 10};
    Connect(other, "MIRT0066BBBBBBBBBBBB");
    handle.Handle(Record(BuildMessage(kMsgBitfield, Bytes{0xF8}), other));  // bit 4 is past the last piece
    EXPECT_EQ(tasks.GetPeerState(hash, other), -1);
    ConnectionKey third{0x0100007F, 0x4444, 11};
    Connect(third, "MIRT0066CCCCCCCCCCCC");
    handle.Handle(Record(BuildMessage(kMsgBitfield, Bytes{0xF0}), third));
    EXPECT_EQ(Peer(third)->Bitfield(), Bytes{0xF0});
    EXPECT_EQ(link.Ids(third), std::vector<int>{kMsgInterested});
}

TEST_F(PeerLogic, UnchokeSchedulesTwoRequestsAndEachPieceOneMore) {
    Connect(key);
    handle.Handle(Record(BuildMessage(kMsgUnchoke), key));
    std::vector<Bytes> requests = link.OfId(key, kMsgRequest);
    ASSERT_EQ(requests.size(), 2u);
    auto first = BuildRequest(0, 0, 16384);
    auto second = BuildRequest(0, 16384, 16384);
    EXPECT_EQ(requests[0], Bytes(first.begin(), first.end()));
    EXPECT_EQ(requests[1], Bytes(second.begin(), second.end()));
    handle.Handle(Record(Piece(0, 0, 16384), key));
    EXPECT_EQ(task->put.size(), 1u);
    EXPECT_EQ(link.OfId(key, kMsgRequest).size(), 3u);
    EXPECT_EQ(handle.PieceBytesReceived(), 16384);
}

TEST_F(PeerLogic, BlocksOfOneRunAreFollowedByTheirRequestsInOneSendAtTheEndOfTheRun) {
    Connect(key);
    handle.Handle(Record(BuildMessage(kMsgUnchoke), key));
    ASSERT_EQ(link.OfId(key, kMsgRequest).size(), 2u);
    handle.BeginBatch();
    handle.Handle(Record(Piece(0, 0, 16384), key));
    handle.Handle(Record(Piece(0, 16384, 16384), key));
    EXPECT_EQ(link.OfId(key, kMsgRequest).size(), 2u) << "nothing asked before the run ends";
    handle.EndBatch();
    std::vector<Bytes> requests = link.OfId(key, kMsgRequest);
    ASSERT_EQ(requests.size(), 4u);
    auto third = BuildRequest(1, 0, 16384);
    auto fourth = BuildRequest(1, 16384, 16384);
    EXPECT_EQ(requests[2], Bytes(third.begin(), third.end()));
    EXPECT_EQ(requests[3], Bytes(fourth.begin(), fourth.end()));
    EXPECT_EQ(link.runs[key].back(), 2u) << "both in one send";
    // A send that fails releases every request of the run.
    link.failSends = true;
    handle.BeginBatch();
    handle.Handle(Record(Piece(1, 0, 16384), key));
    handle.Handle(Record(Piece(1, 16384, 16384), key));
    handle.EndBatch();
    EXPECT_EQ(task->cancelled.size(), 2u);
    EXPECT_EQ(task->FreeRequestSlots(key), 2);
}

TEST_F(PeerLogic, AFastTaskGivesNoNewRequestToASlowPeer) {
    Connect(key);
    handle.Handle(Record(BuildMessage(kMsgUnchoke), key));
    // Rates are window totals over 10 s: task at 200 KiB/s, this peer at 3 KiB/s.
    task->downloadRateCount = 200 * 1024 * 10;
    Peer(key)->downloadRateCount = 3 * 1024 * 10 - 16384;
    handle.Handle(Record(Piece(0, 0, 16384), key));
    EXPECT_EQ(link.OfId(key, kMsgRequest).size(), 2u) << "no third request";
    // At 10 KiB/s the same peer gets its two free slots filled again.
    Peer(key)->downloadRateCount = 10 * 1024 * 10;
    handle.Handle(Record(Piece(0, 16384, 16384), key));
    EXPECT_EQ(link.OfId(key, kMsgRequest).size(), 4u);
}

TEST_F(PeerLogic, ASlowPeerHeldBackByAFastTaskIsAskedAgainLater) {
    Connect(key);
    handle.Handle(Record(BuildMessage(kMsgUnchoke), key));
    task->downloadRateCount = 200 * 1024 * 10;
    Peer(key)->downloadRateCount = 0;
    // Both requests answered while held back: no request of this peer is left outstanding.
    handle.Handle(Record(Piece(0, 0, 16384), key));
    Peer(key)->downloadRateCount = 0;
    handle.Handle(Record(Piece(0, 16384, 16384), key));
    ASSERT_EQ(link.OfId(key, kMsgRequest).size(), 2u);
    clock.Advance(kDeferredRequestMs);
    handle.SecondPass();
    EXPECT_EQ(link.OfId(key, kMsgRequest).size(), 4u) << "the idle peer gets its two slots filled";
}

TEST_F(PeerLogic, ARefusedRequestIsReleasedAndRequestsResume5sLater) {
    Connect(key);
    handle.Handle(Record(BuildMessage(kMsgUnchoke), key));
    auto refused = BuildRequest(0, 16384, 16384);
    handle.Handle(Record(BuildMessage(kMsgRequestRefused, refused), key));
    ASSERT_EQ(task->cancelled.size(), 1u);
    EXPECT_EQ(task->cancelled[0], (std::array<uint32_t, 3>{0, 16384, 16384}));
    clock.Advance(4999);
    handle.SecondPass();
    EXPECT_EQ(link.OfId(key, kMsgRequest).size(), 2u);
    clock.Advance(1);
    handle.SecondPass();
    EXPECT_EQ(link.OfId(key, kMsgRequest).size(), 3u);
    clock.Advance(5000);
    handle.SecondPass();
    EXPECT_EQ(link.OfId(key, kMsgRequest).size(), 3u) << "once";
}

TEST_F(PeerLogic, AFailedRequestSendReleasesTheRequestAtOnce) {
    Connect(key);
    link.failSends = true;
    handle.Handle(Record(BuildMessage(kMsgUnchoke), key));
    EXPECT_EQ(task->cancelled.size(), 2u);
    EXPECT_EQ(task->FreeRequestSlots(key), 2);
}

TEST_F(PeerLogic, RequestsAreServedWithTheBlockOrRefused) {
    Connect(key);
    auto request = BuildRequest(2, 16384, 100);
    handle.Handle(Record(Bytes(request.begin(), request.end()), key));
    std::vector<Bytes> pieces = link.OfId(key, kMsgPiece);
    ASSERT_EQ(pieces.size(), 1u);
    ASSERT_EQ(pieces[0].size(), 113u);
    EXPECT_EQ(GetU32(pieces[0].data() + 5), 2u);
    EXPECT_EQ(GetU32(pieces[0].data() + 9), 16384u);
    EXPECT_EQ(pieces[0][13], static_cast<uint8_t>(2 * 31 + 16384));
    EXPECT_EQ(task->uploadRateCount.load(), 100);

    auto outside = BuildRequest(kPieces, 0, 100);
    handle.Handle(Record(Bytes(outside.begin(), outside.end()), key));
    auto tooLong = BuildRequest(0, 0, 40000);
    handle.Handle(Record(Bytes(tooLong.begin(), tooLong.end()), key));
    pool.SetUploadSetting(kUploadSettingOff);
    handle.Handle(Record(Bytes(request.begin(), request.end()), key));
    std::vector<Bytes> refused = link.OfId(key, kMsgRequestRefused);
    ASSERT_EQ(refused.size(), 2u)
        << "outside the content and uploading off; a length above 32 KiB is ignored";
    EXPECT_EQ(Bytes(refused[0].begin() + 5, refused[0].end()), Bytes(outside.begin(), outside.end()));
    EXPECT_EQ(Bytes(refused[1].begin() + 5, refused[1].end()), Bytes(request.begin(), request.end()));
}

TEST_F(PeerLogic, HaveIsBroadcastOnlyForAPieceThatPassedItsCheck) {
    Connect(key);
    ConnectionKey other{0x0100007F, 0x3333, 10};
    Connect(other, "MIRT0066BBBBBBBBBBBB");
    handle.Handle(Record(BuildMessage(kMsgUnchoke), key));
    task->putResult = 1;  // the block completed its piece...
    handle.Handle(Record(Piece(0, 0, 16384), key));
    EXPECT_TRUE(link.OfId(other, kMsgHave).empty()) << "...which failed its check";
    task->bits.Set(0);
    handle.Handle(Record(Piece(0, 16384, 16384), key));
    std::vector<Bytes> haves = link.OfId(other, kMsgHave);
    ASSERT_EQ(haves.size(), 1u);
    EXPECT_EQ(haves[0], BuildHave(0));
}

TEST_F(PeerLogic, ATaskPassReachesEveryConnectionOfItsTask) {
    Connect(key);
    ConnectionKey other{0x0100007F, 0x3333, 10};
    Connect(other, "MIRT0066BBBBBBBBBBBB");
    handle.ScheduleTaskRequests(hash);
    EXPECT_EQ(link.OfId(key, kMsgRequest).size(), 2u);
    EXPECT_EQ(link.OfId(other, kMsgRequest).size(), 2u);
    handle.DropTaskConnections(hash);
    EXPECT_EQ(pool.ConnectionCount(), 0u);
    EXPECT_EQ(tasks.GetPeerCount(hash), 0u);
    EXPECT_EQ(link.closed.size(), 2u);
}

TEST(UploadAdmission, LowLimitsKeepTheQueueOfNewPeersShort) {
    EXPECT_TRUE(AdmitUpload(8, 1));
    EXPECT_FALSE(AdmitUpload(8, 2));
    EXPECT_TRUE(AdmitUpload(11, 3));
    EXPECT_FALSE(AdmitUpload(25, 4));
    EXPECT_TRUE(AdmitUpload(26, 5));
    EXPECT_FALSE(AdmitUpload(26, 6));
    EXPECT_FALSE(AdmitUpload(0, 0));
}

TEST_F(PeerLogic, AtEightKiBAThirdQueuedRequestOfAVersion66PeerIsRefused) {
    Connect(key);  // id "MIRT0066...": version 66, high priority
    pool.SetUploadSetting(8);
    auto request = BuildRequest(0, 0, 16384);
    for (int i = 0; i < 3; ++i) {
        handle.Handle(Record(Bytes(request.begin(), request.end()), key));
    }
    EXPECT_EQ(limits.UploadCount(), 2u);
    EXPECT_EQ(link.OfId(key, kMsgRequestRefused).size(), 1u);
    EXPECT_TRUE(link.OfId(key, kMsgPiece).empty());
    // A peer of an older version is always queued.
    ConnectionKey old{0x0100007F, 0x3333, 10};
    Connect(old, "MIRT0058BBBBBBBBBBBB");
    handle.Handle(Record(Bytes(request.begin(), request.end()), old));
    EXPECT_EQ(limits.UploadCount(), 3u);
}

TEST_F(PeerLogic, TheLimiterServesInTimeAndRefusesARequestThatWaited3500Ms) {
    Connect(key);
    pool.SetUploadSetting(100);
    auto request = BuildRequest(1, 0, 16384);
    handle.Handle(Record(Bytes(request.begin(), request.end()), key));
    handle.PacingPass();
    EXPECT_EQ(link.OfId(key, kMsgPiece).size(), 1u) << "the first goes at once";
    EXPECT_EQ(pool.ClockInterval(Direction::kUpload), 163u) << "16 397 bytes at 100 KiB/s";
    handle.Handle(Record(Bytes(request.begin(), request.end()), key));
    clock.Advance(162);
    handle.PacingPass();
    EXPECT_EQ(link.OfId(key, kMsgPiece).size(), 1u);
    clock.Advance(1);
    handle.PacingPass();
    EXPECT_EQ(link.OfId(key, kMsgPiece).size(), 2u);

    handle.Handle(Record(Bytes(request.begin(), request.end()), key));
    clock.Advance(3500);
    handle.PacingPass();
    EXPECT_EQ(link.OfId(key, kMsgPiece).size(), 2u);
    std::vector<Bytes> refused = link.OfId(key, kMsgRequestRefused);
    ASSERT_EQ(refused.size(), 1u);
    EXPECT_EQ(Bytes(refused[0].begin() + 5, refused[0].end()), Bytes(request.begin(), request.end()));
    EXPECT_EQ(limits.UploadCount(), 0u);
}

TEST_F(PeerLogic, ALimitHoldsUntilTheNextSecondPass) {
    Connect(key);
    pool.SetDownloadSetting(50);
    EXPECT_EQ(pool.DownloadLimit(), 50u);
    handle.Handle(Record(BuildMessage(kMsgUnchoke), key));
    EXPECT_TRUE(link.OfId(key, kMsgRequest).empty());
    EXPECT_EQ(limits.DownloadCount(), 2u);
    handle.PacingPass();
    EXPECT_EQ(link.OfId(key, kMsgRequest).size(), 1u);
    handle.SecondPass();
    EXPECT_EQ(pool.DownloadLimit(), 0u);
    EXPECT_EQ(pool.DownloadSetting(), 0u);
    pool.SetDownloadSetting(kDownloadSettingAuto);
    EXPECT_EQ(pool.DownloadLimit(), 0u) << "145 means no limit";
}

TEST_F(PeerLogic, AStandingLimitOutlivesTheSecondPassAndSettingsStillOverrideIt) {
    pool.SetStandingLimits(300, 2000);
    handle.SecondPass();
    EXPECT_EQ(pool.DownloadLimit(), 2000u);
    EXPECT_EQ(pool.UploadLimit(), 300u);
    EXPECT_EQ(pool.ClockInterval(Direction::kDownload), 8u) << "16 397 bytes at 2000 KiB/s";
    pool.SetDownloadSetting(50);
    pool.SetUploadSetting(kUploadSettingOff);
    EXPECT_EQ(pool.DownloadLimit(), 50u);
    EXPECT_TRUE(pool.UploadOff());
    handle.SecondPass();
    EXPECT_EQ(pool.DownloadLimit(), 2000u);
    EXPECT_EQ(pool.UploadLimit(), 300u);
    EXPECT_FALSE(pool.UploadOff());
    pool.SetDownloadSetting(kDownloadSettingAuto);
    EXPECT_EQ(pool.DownloadLimit(), 2000u) << "automatic mode keeps the limit but spares LAN peers";
    EXPECT_TRUE(pool.DownloadLanExempt());

    // Under the standing limit a block request waits for the pacing pass.
    Connect(key);
    handle.SecondPass();
    handle.Handle(Record(BuildMessage(kMsgUnchoke), key));
    EXPECT_TRUE(link.OfId(key, kMsgRequest).empty());
    EXPECT_EQ(limits.DownloadCount(), 2u);
}

TEST_F(PeerLogic, ALatePassReleasesWhatTheLimitAllowedMeanwhile) {
    pool.SetStandingLimits(0, 1000);  // 16 ms per request
    Connect(key);
    handle.Handle(Record(BuildMessage(kMsgUnchoke), key));
    handle.PacingPass();
    ASSERT_EQ(link.OfId(key, kMsgRequest).size(), 1u);
    handle.Handle(Record(Piece(0, 0, 16384), key));  // a third request waits behind the second
    ASSERT_EQ(limits.DownloadCount(), 2u);
    // The routine woke 40 ms later instead of 16 (a loaded machine): both were due by then.
    clock.Advance(40);
    handle.PacingPass();
    EXPECT_EQ(link.OfId(key, kMsgRequest).size(), 3u);
    // The clock counted from when they were due, not from the late pass: the next is due at 48.
    handle.Handle(Record(Piece(0, 16384, 16384), key));
    clock.Advance(7);
    handle.PacingPass();
    EXPECT_EQ(link.OfId(key, kMsgRequest).size(), 3u);
    clock.Advance(1);
    handle.PacingPass();
    EXPECT_EQ(link.OfId(key, kMsgRequest).size(), 4u);
}

TEST_F(PeerLogic, ATasksOwnDownloadCapHoldsItsRequestsAndLetsOtherTasksPass) {
    // A second task on its own connection, its requests queued behind the first task's.
    core::TaskHash other;
    other.bytes.fill(0x99);
    auto otherTask = core::Ref<ScriptedTask>::Make(other);
    tasks.InsertTask(otherTask);
    ConnectionKey otherKey{0x0100007F, 0x4444, 11};
    std::array<uint8_t, 20> otherId;
    std::memcpy(otherId.data(), "MIRT0066FEDCBA987654", 20);
    auto hs = BuildHandshake(true, other.bytes, otherId);
    handle.Handle(Record(Bytes(hs.begin(), hs.end()), otherKey));

    // Without an engine limit a capped task still goes through the pacing pass.
    ASSERT_TRUE(tasks.SetDownloadPace(hash, 163970));  // 100 ms per request
    Connect(key);
    handle.Handle(Record(BuildMessage(kMsgUnchoke), key));
    EXPECT_TRUE(link.OfId(key, kMsgRequest).empty());
    ASSERT_EQ(limits.DownloadCount(), 2u);
    handle.PacingPass();
    EXPECT_EQ(link.OfId(key, kMsgRequest).size(), 1u);
    clock.Advance(99);
    handle.PacingPass();
    EXPECT_EQ(link.OfId(key, kMsgRequest).size(), 1u) << "held by its own cap";
    clock.Advance(1);
    handle.PacingPass();
    EXPECT_EQ(link.OfId(key, kMsgRequest).size(), 2u);

    // Under an engine limit as well, the capped task's waiting request does not hold the
    // uncapped task's requests queued after it.
    handle.Handle(Record(Piece(0, 0, 16384), key));  // one more request of the capped task
    pool.SetDownloadSetting(200);                    // 81 ms per request
    handle.Handle(Record(BuildMessage(kMsgUnchoke), otherKey));
    ASSERT_EQ(limits.DownloadCount(), 3u);
    handle.PacingPass();
    EXPECT_EQ(link.OfId(key, kMsgRequest).size(), 2u);
    EXPECT_EQ(link.OfId(otherKey, kMsgRequest).size(), 1u);
    clock.Advance(81);
    handle.PacingPass();
    EXPECT_EQ(link.OfId(otherKey, kMsgRequest).size(), 2u);
    clock.Advance(81);
    handle.PacingPass();
    EXPECT_EQ(link.OfId(key, kMsgRequest).size(), 3u) << "its cap opened meanwhile";
}

TEST_F(PeerLogic, ATasksOwnUploadCapQueuesServedBlocksAndPacesThem) {
    Connect(key);
    ASSERT_TRUE(tasks.SetUploadLimit(hash, 163970));  // 100 ms per block
    auto request = BuildRequest(1, 0, 16384);
    for (int i = 0; i < 2; ++i) {
        handle.Handle(Record(Bytes(request.begin(), request.end()), key));
    }
    EXPECT_TRUE(link.OfId(key, kMsgPiece).empty()) << "served by the pacing pass, not at once";
    EXPECT_TRUE(link.OfId(key, kMsgRequestRefused).empty()) << "admitted by the task's cap";
    handle.PacingPass();
    EXPECT_EQ(link.OfId(key, kMsgPiece).size(), 1u);
    EXPECT_TRUE(tasks.IsUploadPaced(hash));
    clock.Advance(99);
    handle.PacingPass();
    EXPECT_EQ(link.OfId(key, kMsgPiece).size(), 1u);
    clock.Advance(1);
    handle.PacingPass();
    EXPECT_EQ(link.OfId(key, kMsgPiece).size(), 2u);

    // A request its cap holds for more than 3 s is refused in time all the same.
    ASSERT_TRUE(tasks.SetUploadPace(hash, 1640));  // 10 s per block
    handle.Handle(Record(Bytes(request.begin(), request.end()), key));
    handle.PacingPass();
    handle.Handle(Record(Bytes(request.begin(), request.end()), key));
    clock.Advance(3001);
    handle.PacingPass();
    EXPECT_EQ(link.OfId(key, kMsgPiece).size(), 3u);
    EXPECT_EQ(link.OfId(key, kMsgRequestRefused).size(), 1u);
    EXPECT_EQ(limits.UploadCount(), 0u);
}

TEST_F(PeerLogic, RequestsHeldBackByALimitAreReleasedWhenTheirTaskPauses) {
    Connect(key);
    pool.SetDownloadSetting(50);
    handle.Handle(Record(BuildMessage(kMsgUnchoke), key));
    ASSERT_EQ(limits.DownloadCount(), 2u);
    ASSERT_EQ(task->FreeRequestSlots(key), 0);
    task->SetRunState(core::kRunPaused);
    handle.PacingPass();
    EXPECT_EQ(limits.DownloadCount(), 0u);
    EXPECT_TRUE(link.OfId(key, kMsgRequest).empty());
    // Both dropped and both released: the peer has its whole queue again.
    EXPECT_EQ(task->cancelled.size(), 2u);
    EXPECT_EQ(task->FreeRequestSlots(key), 2);
    // After the resume (and without a limit) the peer is asked again.
    task->SetRunState(core::kRunRunning);
    pool.SetDownloadSetting(0);
    handle.ScheduleTaskRequests(hash);
    EXPECT_EQ(link.OfId(key, kMsgRequest).size(), 2u);
}

// A peer that asks for far more than it reads: what the seeder holds for it stays bounded, and
// the waiting requests go out once the connection drains.
TEST_F(PeerLogic, ADeepQueueOfRequestsIsServedAsTheConnectionDrainsAndIsBounded) {
    Connect(key);
    link.peerReads = false;
    const int kAsked = static_cast<int>(kMaxWaitingRequests) + 3000;
    for (int i = 0; i < kAsked; ++i) {
        auto request = BuildRequest(static_cast<uint32_t>(i % kPieces), (i / kPieces) % 2 * 16384, 16384);
        handle.Handle(Record(Bytes(request.begin(), request.end()), key));
    }
    const size_t served = link.OfId(key, kMsgPiece).size();
    const size_t refused = link.OfId(key, kMsgRequestRefused).size();
    // Blocks: up to the mark plus the one that crossed it; each refusal is 22 bytes.
    EXPECT_LE(link.pending, kServeSendHighWater + 16384 + 13 + refused * 22);
    EXPECT_EQ(handle.WaitingRequests(key), kMaxWaitingRequests);
    EXPECT_EQ(served + refused + kMaxWaitingRequests, static_cast<size_t>(kAsked));
    EXPECT_GT(refused, 0u);
    // Nothing drains: the send routine's pass answers nothing more.
    handle.PacingPass();
    EXPECT_EQ(link.OfId(key, kMsgPiece).size(), served);
    // The connection drains: the waiting requests are answered, a buffer's worth at a time.
    int passes = 0;
    while (handle.WaitingRequests(key) > 0 && passes++ < 1000) {
        link.pending = 0;
        handle.PacingPass();
        EXPECT_LE(link.pending, kServeSendHighWater + 16384 + 13);
    }
    EXPECT_EQ(link.OfId(key, kMsgPiece).size(), served + kMaxWaitingRequests);
    EXPECT_EQ(link.OfId(key, kMsgRequestRefused).size(), refused);
    // A dropped connection forgets what waited for it.
    link.pending = kServeSendHighWater;
    auto request = BuildRequest(0, 0, 16384);
    handle.Handle(Record(Bytes(request.begin(), request.end()), key));
    EXPECT_EQ(handle.WaitingRequests(key), 1u);
    handle.DropPeer(hash, key);
    EXPECT_EQ(handle.WaitingRequests(key), 0u);
}

TEST_F(PeerLogic, TheSendRoutineWaitsForWorkWhileIdleAndWakesWhenWorkIsQueued) {
    // The send routine's wait between passes: an idle engine must not spin, but a queued
    // message or a waiting request must not wait for the idle bound (a minute here).
    Connect(key);
    auto idleWait = [this] { return std::async(std::launch::async, [this] { handle.WaitSendWork(60000); }); };
    handle.PacingPass();
    std::future<void> waiter = idleWait();
    EXPECT_EQ(waiter.wait_for(std::chrono::milliseconds(50)), std::future_status::timeout);
    pool.SetUploadSetting(100);
    auto request = BuildRequest(1, 0, 16384);
    handle.Handle(Record(Bytes(request.begin(), request.end()), key));
    ASSERT_EQ(waiter.wait_for(std::chrono::seconds(20)), std::future_status::ready) << "queued upload";
    // Held back by the clock: the next passes come without waiting for new work.
    handle.PacingPass();
    handle.Handle(Record(Bytes(request.begin(), request.end()), key));
    handle.PacingPass();
    ASSERT_EQ(limits.UploadCount(), 1u);
    ASSERT_EQ(idleWait().wait_for(std::chrono::seconds(20)), std::future_status::ready) << "held back";
    // Requests waiting for a full send buffer wake it too.
    clock.Advance(5000);
    handle.PacingPass();
    pool.SetUploadSetting(0);
    handle.SecondPass();
    handle.PacingPass();
    ASSERT_EQ(limits.UploadCount(), 0u);
    waiter = idleWait();
    link.pending = kServeSendHighWater;
    handle.Handle(Record(Bytes(request.begin(), request.end()), key));
    ASSERT_EQ(handle.WaitingRequests(key), 1u);
    ASSERT_EQ(waiter.wait_for(std::chrono::seconds(20)), std::future_status::ready) << "waiting request";
    handle.PacingPass();
    ASSERT_EQ(idleWait().wait_for(std::chrono::seconds(20)), std::future_status::ready) << "still waiting";
}

TEST_F(PeerLogic, A1MiBBurstShowsAbout104857BytesPerSecondFor10SecondsThen0) {
    Connect(key);
    for (int i = 0; i < 64; ++i) {
        handle.Speed().Count(hash, key, 16384, SpeedKind::kDownload);
        clock.Advance(15);
    }
    for (int second = 1; second <= 9; ++second) {
        clock.Advance(second == 1 ? 40 : 1000);
        handle.RateWindowStep();
        pool.RecomputeSpeeds();
        EXPECT_NEAR(pool.Speed(Direction::kDownload), 104857.6, 1) << second;
        EXPECT_EQ(tasks.GetTaskRateB(hash), 104857) << second;
    }
    // 10 s after the last byte of the burst, nothing is left in the window.
    clock.Advance(1000);
    handle.RateWindowStep();
    pool.RecomputeSpeeds();
    EXPECT_GT(pool.Speed(Direction::kDownload), 0) << "9.96 s after the end";
    clock.Advance(1000);
    handle.RateWindowStep();
    pool.RecomputeSpeeds();
    EXPECT_EQ(pool.Speed(Direction::kDownload), 0);
    EXPECT_EQ(tasks.GetTaskRateB(hash), 0);
    EXPECT_EQ(pool.Total(Direction::kDownload), 1 << 20);
    EXPECT_EQ(handle.Speed().SampleCount(), 0u);
}

TEST_F(PeerLogic, SourcePeersConnectWithTheFramingOfTheirVersionOrOverReliableUdp) {
    SourcePeer p;
    p.addr = 0x0200007F;
    p.port = 0x1111;
    std::memcpy(p.idTail.data(), "AAAAAAAAAAAA", 12);
    for (uint8_t type : {1, 2, 3}) {
        p.versionType = type;
        p.port = static_cast<uint16_t>(0x1111 + type);
        p.idTail[0] = static_cast<uint8_t>('A' + type);
        ASSERT_TRUE(handle.ConnectToSource(hash, p));
    }
    ASSERT_EQ(link.tcp.size(), 3u);
    EXPECT_EQ(link.tcp[0].first, kDispatchPlain);
    EXPECT_EQ(link.tcp[1].first, kDispatchHttp);
    EXPECT_EQ(link.tcp[2].first, kDispatchScrambled);
    std::array<uint8_t, 20> id;
    tasks.GetPeerId(hash, link.tcp[1].second, id);
    EXPECT_EQ(std::string(id.begin(), id.end()), "MIRT0057CAAAAAAAAAAA");
    EXPECT_TRUE(pool.IsMapped(link.tcp[1].second));

    EXPECT_FALSE(handle.ConnectToSource(hash, p)) << "already connected";
    p.natType = 3;
    p.port = 0x5555;
    p.idTail[0] = 'Z';
    ASSERT_TRUE(handle.ConnectToSource(hash, p));
    ASSERT_EQ(link.udp.size(), 1u);
    EXPECT_EQ(link.udp[0].first, 3u);
    EXPECT_EQ(tasks.IsPeerViaUdp(hash, link.udp[0].second), 1);
    // A peer the user named is connected to straight, not through the NAT rules.
    p.natType = 1;
    p.port = 0x6666;
    p.idTail[0] = 'Y';
    p.direct = true;
    ASSERT_TRUE(handle.ConnectToSource(hash, p));
    EXPECT_EQ(link.udp.size(), 1u);
    ASSERT_EQ(link.directUdp.size(), 1u);
    EXPECT_EQ(link.directUdp[0].port, 0x6666);
    EXPECT_EQ(tasks.IsPeerViaUdp(hash, link.directUdp[0]), 1);

    // The connection's handshake goes out once it is established.
    ConnectionKey k = link.tcp[2].second;
    auto established = BuildSynthetic(kMsgConnected);
    handle.Handle(Record(Bytes(established.begin(), established.end()), k));
    EXPECT_EQ(link.Ids(k), std::vector<int>{19});
    EXPECT_EQ(tasks.GetPeerState(hash, k), core::kPeerHandshakeSent);
    handle.Handle(Record(Handshake("MIRT0066CAAAAAAAAAAA"), k));
    EXPECT_EQ(tasks.GetPeerState(hash, k), core::kPeerActive);
    tasks.GetPeerId(hash, k, id);
    EXPECT_EQ(std::string(id.begin(), id.end()), "MIRT0066CAAAAAAAAAAA") << "the answer's id is recorded";
    // Closed: the peer leaves its task and the connection is forgotten.
    auto closed = BuildSynthetic(kMsgClosed);
    handle.Handle(Record(Bytes(closed.begin(), closed.end()), k));
    EXPECT_EQ(tasks.GetPeerState(hash, k), -1);
    EXPECT_FALSE(pool.IsMapped(k));
}

TEST(BlockWitness, ALiarIsNamedByTwoAgreeingPeersOrByTheVerifiedPiece) {
    CBlockWitness w;
    ConnectionKey a{1, 1, 1}, b{2, 2, 2}, liar{3, 3, 3};
    Bytes good(16384, 0x11), bad(16384, 0x99);
    w.Record(0, 0, a, good);
    EXPECT_EQ(w.PiecesTracked(), 0u) << "nothing is hashed before a piece failed";
    EXPECT_TRUE(w.PieceFailed(0).empty());
    // Piece 1: the liar's block, then a failed check; the same block from a and b agrees.
    w.Record(1, 0, liar, bad);
    w.Record(1, 16384, a, good);
    EXPECT_TRUE(w.PieceFailed(1).empty()) << "one witness per block names nobody";
    w.Record(1, 0, a, good);
    w.Record(1, 0, b, good);
    EXPECT_EQ(w.PieceFailed(1), std::vector<ConnectionKey>{liar});
    // Piece 2: the liar's block failed once; the piece then passes with good data.
    w.Record(2, 0, liar, bad);
    w.Record(2, 16384, b, good);
    w.PieceFailed(2);
    w.Record(2, 0, a, good);
    auto read = [&](uint32_t, std::span<uint8_t> out) {
        std::fill(out.begin(), out.end(), 0x11);
        return true;
    };
    EXPECT_EQ(w.PieceVerified(2, read), std::vector<ConnectionKey>{liar});
    EXPECT_TRUE(w.PieceVerified(2, read).empty()) << "the piece's records are gone";
}

// A tracker that lists far more peers than any task needs gets only the first ones connected.
TEST_F(PeerLogic, SourceListsConnectNoMoreThanTheCapOfPeersPerTask) {
    SourcePeer p;
    p.port = 0x1111;
    p.versionType = 1;
    size_t connected = 0;
    for (uint32_t i = 0; i < kMaxSourcePeers + 50; ++i) {
        p.addr = htonl(0x7F010000u + i);
        char tail[13];
        std::snprintf(tail, sizeof tail, "%012X", i);
        std::memcpy(p.idTail.data(), tail, 12);
        connected += handle.ConnectToSource(hash, p) ? 1 : 0;
    }
    EXPECT_EQ(connected, kMaxSourcePeers);
    EXPECT_EQ(link.tcp.size(), kMaxSourcePeers);
    EXPECT_EQ(tasks.GetPeerCount(hash), kMaxSourcePeers);
    // A peer that leaves makes room for one more.
    auto closed = BuildSynthetic(kMsgClosed);
    handle.Handle(Record(Bytes(closed.begin(), closed.end()), link.tcp[0].second));
    p.addr = htonl(0x7F020000u);
    std::memcpy(p.idTail.data(), "NEWPEER00000", 12);
    EXPECT_TRUE(handle.ConnectToSource(hash, p));
    EXPECT_FALSE(handle.ConnectToSource(hash, SourcePeer{htonl(0x7F030000u), 0x1111, {}, 0, 1, false}));
}

TEST_F(PeerLogic, ABannedPeerIsDroppedAndNeverConnectedAgain) {
    SourcePeer p;
    p.addr = 0x0200007F;
    p.port = 0x1111;
    std::memcpy(p.idTail.data(), "AAAAAAAAAAAA", 12);
    ASSERT_TRUE(handle.ConnectToSource(hash, p));
    ConnectionKey k = link.tcp[0].second;
    handle.BanPeer(hash, k);
    EXPECT_FALSE(pool.IsMapped(k));
    EXPECT_EQ(tasks.GetPeerState(hash, k), -1);
    EXPECT_FALSE(handle.ConnectToSource(hash, p));
    // Nor accepted when it calls us with the same id.
    ConnectionKey incoming{0x0200007F, 0x7777, 50};
    handle.Handle(Record(Handshake("MIRT0054AAAAAAAAAAAA"), incoming));
    EXPECT_FALSE(pool.IsMapped(incoming));
}

}  // namespace
}  // namespace tessali::net
