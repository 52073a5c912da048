// The protocol link of the engine tracker side: what announcing a source, stopping a task's
// sources and the task control codes do to the tracker list and the request queue.
#include "engine/sources/engine_tracker.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>

#include "common/task_hashes.h"
#include "core/fake_task.h"
#include "engine/core/task_mgr.h"
#include "engine/platform/tick.h"
#include "sources/tracker_fakes.h"

namespace tessali::sources {
namespace {

using core::TaskHash;

using tessali::test::HashOf;

const std::string kUrl = "http://127.0.0.1:6970";

struct Fixture {
    test::FakeTrackerAgent agent;
    test::FakeTrackTasks tasks;
    test::CRecordingConnector connector;
    test::RecordingSender sender;
    CEngineTracker tracker{agent,
                           tasks,
                           [this](const TaskHash& h) -> std::optional<TrackerTaskFacts> {
                               if (!tasks.WantsPeers(h)) {
                                   return std::nullopt;
                               }
                               TrackerTaskFacts f;
                               f.wantsPeers = true;
                               f.runState = 1;
                               return f;
                           },
                           connector,
                           sender,
                           TrackHandleEnv{},
                           kUrl};
};

TEST(EngineTrackerLink, ADownloadIsAskedForOnTheNextPassAsAnUrgentSourceRequest) {
    Fixture f;
    f.tasks.tasks[HashOf(1)];
    f.tracker.AddEngineTracker(HashOf(1));
    f.tracker.AnnouncePass(1000);
    ASSERT_EQ(f.agent.QueuedCommands(), std::vector<uint16_t>{kCmdSourceList});
    EXPECT_TRUE(f.agent.queued[0].urgent);
    SourceListRequest req;
    ASSERT_TRUE(Decode(f.agent.queued[0].bytes, req));
    EXPECT_EQ(req.hash, HashOf(1));
}

// A peer on the local network that starts after the download must still be found: the LAN is
// searched every time the engine tracker is asked, just before the request, and never for a
// task that only shares.
TEST(EngineTrackerLink, EverySourceRequestIsPrecededByALanSearch) {
    Fixture f;
    std::vector<std::pair<TaskHash, size_t>> searches;  // hash, requests queued before it
    f.tracker.SetLanSearch([&](const TaskHash& h) { searches.push_back({h, f.agent.queued.size()}); });
    f.tasks.tasks[HashOf(1)];
    f.tasks.tasks[HashOf(2)];
    f.tracker.AddEngineTracker(HashOf(1));
    f.tracker.AnnounceSource(HashOf(2));
    f.tracker.AnnouncePass(1000);
    ASSERT_EQ(searches.size(), 1u);
    EXPECT_EQ(searches[0], std::make_pair(HashOf(1), size_t{1}));  // after the share, before the 774
    f.tracker.AnnouncePass(2000);                                  // nothing due: neither asked nor searched
    EXPECT_EQ(searches.size(), 1u);
    f.tracker.AnnouncePass(1000 + 80001);
    ASSERT_EQ(searches.size(), 2u);
    EXPECT_EQ(searches[1].first, HashOf(1));
    EXPECT_EQ(f.agent.QueuedCommands(), (std::vector<uint16_t>{kCmdShare, kCmdSourceList, kCmdSourceList}));
}

TEST(EngineTrackerLink, ACompletedDownloadBecomesASourceAndDeletingItStopsSharing) {
    Fixture f;
    f.tasks.tasks[HashOf(2)];
    f.tracker.AddEngineTracker(HashOf(2));
    f.tracker.AnnounceSource(HashOf(2));
    EXPECT_EQ(f.agent.QueuedCommands(), std::vector<uint16_t>{kCmdShare});
    EXPECT_FALSE(f.agent.queued[0].urgent);
    std::optional<TrackerEntry> e = f.tracker.List().Find(HashOf(2), kUrl);
    ASSERT_TRUE(e);
    EXPECT_EQ(e->kind, kTrackerEngineShare);
    f.tracker.AnnouncePass(1000);  // a source is never asked for sources
    EXPECT_EQ(f.agent.queued.size(), 1u);

    f.tracker.ControlTrackers(HashOf(2), 3);
    EXPECT_EQ(f.agent.QueuedCommands(), (std::vector<uint16_t>{kCmdShare, kCmdStopShare}));
    EXPECT_EQ(f.tracker.List().Size(), 0u);
    // A download that was never a source is not unshared.
    f.tracker.AddEngineTracker(HashOf(3));
    f.tracker.StopTaskSources(HashOf(3));
    EXPECT_EQ(f.agent.queued.size(), 2u);
    EXPECT_EQ(f.tracker.List().Size(), 0u);
}

TEST(EngineTrackerLink, StartActivatesOrAddsTheEngineTrackerAndPauseKeepsIt) {
    Fixture f;
    f.tasks.tasks[HashOf(4)];
    f.tracker.AddEngineTracker(HashOf(4));
    f.tracker.AnnouncePass(1000);
    f.tracker.ControlTrackers(HashOf(4), 2);
    EXPECT_EQ(f.tracker.List().Size(), 1u);
    f.tracker.ControlTrackers(HashOf(4), 1);
    f.tracker.AnnouncePass(2000);  // activated: asked again at once
    EXPECT_EQ(f.agent.QueuedCommands(), (std::vector<uint16_t>{kCmdSourceList, kCmdSourceList}));
    f.tasks.tasks[HashOf(5)];
    f.tracker.ControlTrackers(HashOf(5), 4);
    EXPECT_TRUE(f.tracker.List().Find(HashOf(5), kUrl));
    f.tracker.ControlTrackers(HashOf(6), 1);  // no such task
    EXPECT_FALSE(f.tracker.List().Find(HashOf(6), kUrl));
}

// The BitTorrent trackers a seed names are announced beside the engine tracker: listed when the
// task starts (or, for a seed that arrives later, at its next source request), each handed to
// the BitTorrent announcer, dropped after three unanswered announces and listed again when the
// task is started again. The engine tracker itself and schemes without a client are left out.
TEST(EngineTrackerLink, TheSeedsBitTorrentTrackersAreAnnouncedBesideTheEngineTracker) {
    Fixture f;
    const std::string udp = "udp://127.0.0.1:6969/announce";
    const std::string http = "http://127.0.0.1:6881/announce";
    std::vector<std::pair<TaskHash, std::string>> bt;
    f.tracker.List().SetAnnouncer(kTrackerBitTorrent,
                                  [&](const TrackerEntry& e) { bt.push_back({e.hash, e.url}); });
    f.tasks.tasks[HashOf(7)].seedTrackers = {kUrl + "/announce", udp, "wss://example.invalid/x", udp, http};
    f.tracker.AddEngineTracker(HashOf(7));
    EXPECT_EQ(f.tracker.List().Size(), 3u) << "the engine tracker, the UDP and the HTTP tracker";
    f.tracker.AnnouncePass(1000);
    EXPECT_EQ(bt, (std::vector<std::pair<TaskHash, std::string>>{{HashOf(7), udp}, {HashOf(7), http}}));
    EXPECT_EQ(f.agent.QueuedCommands(), std::vector<uint16_t>{kCmdSourceList});

    // A tracker that never answers is asked twice more, then dropped.
    platform::Tick now = 1000;
    for (int i = 0; i < 3; ++i) {
        now += 80001;
        f.tracker.AnnouncePass(now);
    }
    EXPECT_EQ(bt.size(), 6u);
    EXPECT_FALSE(f.tracker.List().Find(HashOf(7), udp)) << "three unanswered announces";
    EXPECT_TRUE(f.tracker.List().Find(HashOf(7), kUrl)) << "the engine tracker stays";
    // Started again: the dropped tracker is listed again.
    f.tracker.ControlTrackers(HashOf(7), 1);
    EXPECT_TRUE(f.tracker.List().Find(HashOf(7), udp));

    // A seed that arrives after the start: its trackers are listed at the next source request.
    f.tasks.tasks[HashOf(8)];
    f.tracker.AddEngineTracker(HashOf(8));
    f.tracker.AnnouncePass(now + 1);
    EXPECT_FALSE(f.tracker.List().Find(HashOf(8), udp));
    f.tasks.tasks[HashOf(8)].seedTrackers = {udp};
    f.tracker.AnnouncePass(now + 1 + 80001);  // the engine tracker asked again: the seed is known now
    f.tracker.AnnouncePass(now + 2 + 80001);
    std::erase_if(bt, [](const auto& e) { return e.first != HashOf(8); });
    EXPECT_EQ(bt, (std::vector<std::pair<TaskHash, std::string>>{{HashOf(8), udp}}));
}

// The announce pass over the real task manager: the peer threshold follows the engine's download
// limit and the task's own cap (both in KiB/s), and a task its cap holds right now is satisfied.
TEST(EngineTrackerFacts, TheDownloadLimitsSetThePeerThreshold) {
    platform::FakeTick clock(1000);
    test::FakeTaskFactory factory;
    core::CTaskMgr mgr;
    mgr.SetTaskFactory(&factory);
    uint32_t engineLimitKiB = 0;
    CTaskMgrTrackTasks facts(mgr, mgr, [&] { return engineLimitKiB; });
    CTrackerList list([&](const TaskHash& h) { return facts.Facts(h); });
    std::vector<TaskHash> announced;
    list.SetAnnouncer(kTrackerEngineDownload, [&](const TrackerEntry& e) { announced.push_back(e.hash); });
    auto addTask = [&](uint8_t b, uint32_t peers) {
        ASSERT_EQ(mgr.CreateDownloadTask(HashOf(b), "/dl/file" + std::to_string(b), nullptr, false, 0), 0);
        for (uint32_t i = 0; i < peers; ++i) {
            core::ConnectionKey key{0x0100007F, static_cast<uint16_t>(1000 + i), static_cast<int>(i)};
            ASSERT_EQ(mgr.AddPeer(HashOf(b), key, core::PeerAttributes{}), 0);
        }
        list.AddEngineTracker(HashOf(b), kUrl);
    };
    auto pass = [&] {
        announced.clear();
        list.ActivateAll();
        list.AnnouncePass(clock.Now());
        return announced;
    };
    addTask(1, 25);
    addTask(2, 15);

    EXPECT_EQ(pass(), (std::vector<TaskHash>{HashOf(1), HashOf(2)})) << "no limit: 50";
    engineLimitKiB = 100;
    EXPECT_EQ(pass(), std::vector<TaskHash>{HashOf(2)}) << "100 KiB/s: 20";
    EXPECT_TRUE(list.Find(HashOf(1), kUrl)->satisfied);
    engineLimitKiB = 2000;
    EXPECT_EQ(pass(), (std::vector<TaskHash>{HashOf(1), HashOf(2)})) << "2000 KiB/s: 400";

    // The task's own cap is in bytes per second: 100 KiB/s gives 20 here too.
    ASSERT_TRUE(mgr.SetDownloadPace(HashOf(1), 100 * 1024));
    EXPECT_EQ(pass(), std::vector<TaskHash>{HashOf(2)});

    // Held by its cap right now: satisfied whatever its peers.
    ASSERT_TRUE(mgr.SetDownloadPace(HashOf(2), 100 * 1024));
    core::Ref<core::CTask> task;
    ASSERT_TRUE(mgr.FindTask(HashOf(2), task));
    task->Pace().Advance(core::PaceDirection::kDownload, 16397, clock.Now());
    EXPECT_EQ(pass(), std::vector<TaskHash>{});
    EXPECT_TRUE(list.Find(HashOf(2), kUrl)->satisfied);
    clock.Advance(1000);
    EXPECT_EQ(pass(), std::vector<TaskHash>{HashOf(2)});
}

}  // namespace
// The tracker side's view of the task manager: a peer is known by the last 12 characters of its id
// (the part source lists carry), and the shared flag lands on the task's information record.
TEST(EngineTrackerFacts, PeerIdsMatchByTheirTailAndTheSharedFlagReachesTheTask) {
    test::FakeTaskFactory factory;
    core::CTaskMgr mgr;
    mgr.SetTaskFactory(&factory);
    CTaskMgrTrackTasks facts(mgr, mgr);
    ASSERT_EQ(mgr.CreateDownloadTask(HashOf(1), "/dl/file1", nullptr, false, 0), 0);
    factory.last->contentFiles = true;  // the record is filled only once the task has content
    core::ConnectionKey key{0x0100007F, 1000, 1};
    ASSERT_EQ(mgr.AddPeer(HashOf(1), key, core::PeerAttributes{}), 0);
    core::PeerId stored;
    std::string text = "MIRT0066ABCD12345678";
    std::copy(text.begin(), text.end(), stored.bytes.begin());
    ASSERT_EQ(mgr.SetPeerId(HashOf(1), key, stored.bytes), 0);

    core::PeerId otherVersion = stored;
    otherVersion.bytes[7] = '5';  // same tail, another version
    EXPECT_TRUE(facts.HasPeerWithId(HashOf(1), otherVersion));
    core::PeerId otherTail = stored;
    otherTail.bytes[19] = '9';
    EXPECT_FALSE(facts.HasPeerWithId(HashOf(1), otherTail));
    EXPECT_FALSE(facts.HasPeerWithId(HashOf(2), stored)) << "absent task";

    core::TaskInfoRecord record{};
    facts.SetSharedFlag(HashOf(1), 1);
    ASSERT_EQ(mgr.QueryTaskInfo(HashOf(1), record), 0);
    EXPECT_EQ(record.shared, 1);
    facts.SetSharedFlag(HashOf(1), 0);
    ASSERT_EQ(mgr.QueryTaskInfo(HashOf(1), record), 0);
    EXPECT_EQ(record.shared, 0);
}

}  // namespace tessali::sources
