// Peers of a task through the task manager: ids, kinds, bitfields, have, rates and removal.

#include <gtest/gtest.h>

#include <cstring>

#include "core/fake_task.h"
#include "engine/core/task_mgr.h"

namespace tessali::core {
namespace {

std::array<uint8_t, 20> Id(const char* text) {
    std::array<uint8_t, 20> id{};
    std::memcpy(id.data(), text, 20);
    return id;
}

class PeerOpsTest : public ::testing::Test {
protected:
    PeerOpsTest() {
        mgr.SetTaskFactory(&factory);
        hash.bytes[0] = 1;
        mgr.CreateDownloadTask(hash, "/dl/f", nullptr, false, 0);
        task = factory.last;
    }
    test::FakeTaskFactory factory;
    CTaskMgr mgr;
    TaskHash hash;
    Ref<test::FakeTask> task;
    ConnectionKey key{0x0100007F, 0x5000, 9};
};

TEST_F(PeerOpsTest, IdDecidesKindVersionAndLargeBlocks) {
    ASSERT_EQ(mgr.AddPeer(hash, key, {}), 0);
    EXPECT_EQ(mgr.GetPeerKind(hash, key), kPeerBitTorrent);
    EXPECT_EQ(mgr.SetPeerId(hash, key, Id("MIRT0058ABCDEF012345")), 0);
    EXPECT_EQ(mgr.GetPeerKind(hash, key), kPeerEngine);
    EXPECT_EQ(mgr.GetPeerVersion(hash, key), 58u);
    EXPECT_EQ(mgr.HasPeerLargeBlocks(hash, key), 0);
    EXPECT_EQ(mgr.SetPeerId(hash, key, Id("MIRT0009ABCDEF012345")), 0);
    EXPECT_EQ(mgr.HasPeerLargeBlocks(hash, key), 1);  // "000" in characters 5 to 7

    ConnectionKey bt{0x0100007F, 0x5001, 10};
    mgr.AddPeer(hash, bt, {});
    mgr.SetPeerId(hash, bt, Id("-AR1360-abcdefghijkl"));
    EXPECT_EQ(mgr.GetPeerKind(hash, bt), kPeerBitTorrent);
    std::array<uint8_t, 20> back{};
    EXPECT_EQ(mgr.GetPeerId(hash, bt, back), 0);
    EXPECT_EQ(back, Id("-AR1360-abcdefghijkl"));
    // Ids are compared by characters 9 to 20.
    EXPECT_TRUE(mgr.HasPeerWithId(hash, Id("XXXXXXXXABCDEF012345")));
    EXPECT_FALSE(mgr.HasPeerWithId(hash, Id("MIRT0058ABCDEF01234X")));
    EXPECT_TRUE(mgr.HasPeerAt(hash, key.addr, key.port));
    EXPECT_EQ(mgr.GetPeerCount(hash), 2u);
}

TEST_F(PeerOpsTest, HaveStaysInsideTheBitfieldAndDecidesWhoNeedsHave) {
    mgr.AddPeer(hash, key, {});
    const uint8_t bits[] = {0x00, 0x00};
    mgr.SetPeerBitfield(hash, key, bits);
    EXPECT_EQ(mgr.SetPeerHave(hash, key, PieceIndex{15}), 0);
    EXPECT_EQ(mgr.SetPeerHave(hash, key, PieceIndex{16}), 0);  // past the bitfield: nothing is touched
    EXPECT_EQ(mgr.SetPeerHave(hash, key, PieceIndex{1u << 31}), 0);
    Ref<CPeer> p = task->Peers().Find(key);
    EXPECT_EQ(p->Bitfield(), (std::vector<uint8_t>{0x00, 0x01}));

    EXPECT_FALSE(mgr.PeerNeedsHave(hash, key, PieceIndex{3}));  // state 0: no have yet
    mgr.SetPeerState(hash, key, kPeerActive);
    EXPECT_TRUE(mgr.PeerNeedsHave(hash, key, PieceIndex{3}));  // a BitTorrent peer always gets it
    mgr.SetPeerKind(hash, key, kPeerEngine);
    EXPECT_TRUE(mgr.PeerNeedsHave(hash, key, PieceIndex{3}));
    EXPECT_FALSE(mgr.PeerNeedsHave(hash, key, PieceIndex{15}));  // an engine peer that has it does not
    EXPECT_EQ(mgr.SetPeerHave(hash, ConnectionKey{}, PieceIndex{1}), -1);
}

TEST_F(PeerOpsTest, InitPeerBitfieldOnlyOnce) {
    mgr.AddPeer(hash, key, {});
    task->bitfieldLength = 3;
    EXPECT_TRUE(mgr.InitPeerBitfield(hash, key));
    EXPECT_EQ(mgr.GetPeerState(hash, key), kPeerActive);
    EXPECT_EQ(task->Peers().Find(key)->Bitfield(), std::vector<uint8_t>(3, 0));
    EXPECT_FALSE(mgr.InitPeerBitfield(hash, key));
}

TEST_F(PeerOpsTest, RemovalTakesThePeersRateOffTheTask) {
    mgr.AddPeer(hash, key, {});
    ConnectionKey other{0x0100007F, 0x5002, 11};
    mgr.AddPeer(hash, other, {});
    mgr.CountDownloaded(hash, key, 5000);
    mgr.CountDownloaded(hash, other, 1000);
    mgr.CountUploaded(hash, key, 300);
    EXPECT_EQ(mgr.GetTaskRateB(hash), 600);
    EXPECT_EQ(mgr.GetPeerRate(hash, key), 500);
    mgr.CountDownloaded(hash, key, -5000);  // the rate window expiring
    EXPECT_EQ(task->Peers().Find(key)->downloadedTotal, 5000);
    mgr.CountDownloaded(hash, key, 2000);
    EXPECT_EQ(mgr.RemovePeer(hash, key), 0);
    EXPECT_EQ(mgr.GetTaskRateB(hash), 100);
    EXPECT_EQ(mgr.GetTaskRateA(hash), 0);
    EXPECT_EQ(mgr.RemovePeer(hash, key), -1);
    EXPECT_EQ(mgr.GetPeerState(hash, key), -1);
}

}  // namespace
}  // namespace tessali::core
