// The tracker list and its announce pass: when an entry is asked, the peer threshold, entries
// removed with their task or after their attempts, and resets.
#include "engine/sources/tracker_list.h"

#include <gtest/gtest.h>

#include <map>

#include "common/log_capture.h"
#include "common/task_hashes.h"

namespace tessali::sources {
namespace {

using core::TaskHash;

using tessali::test::HashOf;

const std::string kUrl = "http://127.0.0.1:6970";
const std::string kBtUrl = "http://127.0.0.1:6969/announce";

struct Fixture {
    std::map<TaskHash, TrackerTaskFacts> tasks;
    std::vector<TrackerEntry> announced;
    CTrackerList list{[this](const TaskHash& h) -> std::optional<TrackerTaskFacts> {
        auto it = tasks.find(h);
        return it == tasks.end() ? std::nullopt : std::optional(it->second);
    }};
    Fixture() {
        auto record = [this](const TrackerEntry& e) { announced.push_back(e); };
        list.SetAnnouncer(kTrackerEngineDownload, record);
        list.SetAnnouncer(kTrackerBitTorrent, record);
        list.SetAnnouncer(kTrackerEngineShare, record);
    }
    void Downloading(uint8_t b, uint32_t peers = 0) {
        TrackerTaskFacts f;
        f.wantsPeers = true;
        f.runState = 1;
        f.peerCount = peers;
        tasks[HashOf(b)] = f;
    }
};

TEST(TrackerList, ANewEntryIsAskedAtOnceThenEveryEightySeconds) {
    Fixture f;
    f.Downloading(1);
    ASSERT_TRUE(f.list.AddEngineTracker(HashOf(1), kUrl));
    // Whatever the clock reads: a fresh entry has never been announced.
    f.list.AnnouncePass(5);
    ASSERT_EQ(f.announced.size(), 1u);
    EXPECT_EQ(f.announced[0].hash, HashOf(1));
    f.list.AnnouncePass(80005);
    EXPECT_EQ(f.announced.size(), 1u);
    f.list.AnnouncePass(80006);
    EXPECT_EQ(f.announced.size(), 2u);
    // Answered: the next ask waits 120 s instead.
    ASSERT_TRUE(f.list.MarkAnswered(HashOf(1), kUrl));
    f.list.AnnouncePass(80006 + 80001);
    EXPECT_EQ(f.announced.size(), 2u);
    f.list.AnnouncePass(80006 + 120001);
    EXPECT_EQ(f.announced.size(), 3u);
}

TEST(TrackerList, SixtyPeersAreEnoughAndMakeTheEntrySatisfied) {
    Fixture f;
    f.Downloading(1, 60);
    f.Downloading(2, 50);
    f.list.AddEngineTracker(HashOf(1), kUrl);
    f.list.AddEngineTracker(HashOf(2), kUrl);
    f.list.AnnouncePass(1000);
    ASSERT_EQ(f.announced.size(), 1u);
    EXPECT_EQ(f.announced[0].hash, HashOf(2));  // 50 is not more than the threshold
    EXPECT_TRUE(f.list.Find(HashOf(1), kUrl)->satisfied);
    EXPECT_FALSE(f.list.Find(HashOf(2), kUrl)->satisfied);
}

TEST(TrackerList, ThresholdFollowsModeAndDownloadLimit) {
    Fixture f;
    f.Downloading(1, 150);
    f.tasks[HashOf(1)].mode2 = true;  // 200 then
    f.Downloading(2, 25);
    f.tasks[HashOf(2)].downloadLimit = 100;  // limit / 5 = 20
    f.Downloading(3, 0);
    f.tasks[HashOf(3)].downloadLimit = 100000;
    f.tasks[HashOf(3)].atLimit = true;
    for (uint8_t b = 1; b <= 3; ++b) {
        f.list.AddEngineTracker(HashOf(b), kUrl);
    }
    f.list.AnnouncePass(1000);
    ASSERT_EQ(f.announced.size(), 1u);
    EXPECT_EQ(f.announced[0].hash, HashOf(1));
    EXPECT_TRUE(f.list.Find(HashOf(2), kUrl)->satisfied);
    EXPECT_TRUE(f.list.Find(HashOf(3), kUrl)->satisfied);
}

TEST(TrackerList, EntriesGoWithTheirTaskAndWaitWhileItIsPaused) {
    Fixture f;
    f.Downloading(1);
    f.Downloading(2);
    f.tasks[HashOf(2)].complete = true;
    f.Downloading(3);
    f.tasks[HashOf(3)].runState = 2;
    f.Downloading(5);
    f.tasks[HashOf(5)].wantsPeers = false;
    for (uint8_t b = 1; b <= 5; ++b) {
        f.list.AddEngineTracker(HashOf(b), kUrl);  // task 4 does not exist
    }
    f.list.AnnouncePass(1000);
    ASSERT_EQ(f.announced.size(), 1u);
    std::vector<TrackerEntry> left = f.list.Entries();
    ASSERT_EQ(left.size(), 2u);
    EXPECT_EQ(left[0].hash, HashOf(1));
    EXPECT_EQ(left[1].hash, HashOf(3));  // paused: kept, not asked
    f.tasks[HashOf(3)].runState = 1;
    f.list.ActivateOne(HashOf(3));
    f.list.AnnouncePass(2000);
    ASSERT_EQ(f.announced.size(), 2u);
    EXPECT_EQ(f.announced[1].hash, HashOf(3));
}

TEST(TrackerList, BitTorrentTrackersGoAfterThreeAttemptsTheEngineTrackerNever) {
    Fixture f;
    f.Downloading(1);
    f.list.AddEngineTracker(HashOf(1), kUrl);
    f.list.AddBitTorrentTracker(HashOf(1), kBtUrl);
    platform::Tick now = 1000;
    for (int i = 0; i < 3; ++i, now += 80001) {
        f.list.AnnouncePass(now);
    }
    EXPECT_EQ(f.announced.size(), 6u);
    f.list.AnnouncePass(now);  // the fourth time: the BitTorrent entry has no attempts left
    ASSERT_EQ(f.list.Size(), 1u);
    EXPECT_EQ(f.list.Entries()[0].kind, kTrackerEngineDownload);
    EXPECT_EQ(f.announced.size(), 7u);
    EXPECT_EQ(f.announced.back().kind, kTrackerEngineDownload);
}

TEST(TrackerList, ABitTorrentTrackerThatAnswersIsNeverDropped) {
    Fixture f;
    f.Downloading(1);
    f.list.AddBitTorrentTracker(HashOf(1), kBtUrl);
    platform::Tick now = 1000;
    // Ten announces over a long download, each answered: the entry stays and keeps being asked.
    for (int i = 0; i < 10; ++i, now += 120001) {
        f.list.AnnouncePass(now);
        ASSERT_EQ(f.list.Size(), 1u) << "after announce " << i + 1;
        ASSERT_TRUE(f.list.MarkAnswered(HashOf(1), kBtUrl));
    }
    EXPECT_EQ(f.announced.size(), 10u);
    // It falls silent: three unanswered announces later it goes.
    for (int i = 0; i < 3; ++i, now += 120001) {
        f.list.AnnouncePass(now);
    }
    EXPECT_EQ(f.list.Size(), 1u);
    f.list.AnnouncePass(now + 80001);
    EXPECT_EQ(f.list.Size(), 0u);
    EXPECT_EQ(f.announced.size(), 13u);
}

TEST(TrackerList, ASharedTaskEntryIsKeptButNeverAnnounced) {
    Fixture f;
    f.Downloading(1);
    f.tasks[HashOf(1)].complete = true;
    f.list.AddShareTracker(HashOf(1), kUrl);
    for (platform::Tick now = 0; now < 1000000; now += 130000) {
        f.list.AnnouncePass(now);
    }
    EXPECT_TRUE(f.announced.empty());
    EXPECT_EQ(f.list.Size(), 1u);
}

TEST(TrackerList, AddingAgainResetsAndActivateAllResetsEveryEntry) {
    test::LogCapture log;
    Fixture f;
    f.Downloading(1);
    f.Downloading(2);
    f.list.AddEngineTracker(HashOf(1), kUrl);
    f.list.AddBitTorrentTracker(HashOf(2), kBtUrl);
    EXPECT_TRUE(log.Contains("AddTrack:" + kUrl + "\n"));
    f.list.AnnouncePass(1000);
    f.list.MarkAnswered(HashOf(1), kUrl);
    f.list.AddEngineTracker(HashOf(1), kUrl);
    EXPECT_TRUE(log.Contains("AddTrack_Exist:" + kUrl + "\n"));
    EXPECT_EQ(f.list.Size(), 2u);
    TrackerEntry e = *f.list.Find(HashOf(1), kUrl);
    EXPECT_FALSE(e.satisfied);
    EXPECT_EQ(e.attempts, kEngineTrackerAttempts);
    f.list.AnnouncePass(2000);  // only the re-added entry is due
    EXPECT_EQ(f.announced.size(), 3u);
    f.list.ActivateAll();
    EXPECT_TRUE(log.Contains("ActiveAllTrack:" + kBtUrl + "\n"));
    EXPECT_EQ(f.list.Find(HashOf(2), kBtUrl)->attempts, kOtherTrackerAttempts);
    f.list.AnnouncePass(3000);
    EXPECT_EQ(f.announced.size(), 5u);
}

TEST(TrackerList, RefusesOverlongUrlsAndFindsTrackersByConnection) {
    Fixture f;
    const std::string longest = "http://" + std::string(47, 'a');  // 54 characters
    EXPECT_FALSE(f.list.AddBitTorrentTracker(HashOf(1), longest + "a"));
    EXPECT_TRUE(f.list.AddBitTorrentTracker(HashOf(1), longest));
    EXPECT_FALSE(f.list.AddEngineTracker(HashOf(1), ""));
    core::ConnectionKey key{0x0100007F, 0x1234, 7};
    EXPECT_TRUE(f.list.SetConnection(HashOf(1), longest, key));
    EXPECT_EQ(f.list.FindUrl(key), longest);
    EXPECT_FALSE(f.list.FindUrl(core::ConnectionKey{0x0100007F, 0x1234, 8}));
    EXPECT_EQ(f.list.RemoveTask(HashOf(1)), 1u);
}

TEST(TrackerList, AnAnnouncerMayCallBackIntoTheList) {
    Fixture f;
    f.Downloading(1);
    f.list.AddEngineTracker(HashOf(1), kUrl);
    // A tracker that answers at once (on the same thread) must not deadlock the pass.
    f.list.SetAnnouncer(kTrackerEngineDownload,
                        [&](const TrackerEntry& e) { f.list.MarkAnswered(e.hash, e.url); });
    f.list.AnnouncePass(1000);
    EXPECT_TRUE(f.list.Find(HashOf(1), kUrl)->satisfied);
}

}  // namespace
}  // namespace tessali::sources
