// Piece selection, block requests, block intake and piece verification against an in-memory store.

#include <gtest/gtest.h>

#include <openssl/evp.h>

#include <algorithm>
#include <atomic>
#include <deque>
#include <mutex>
#include <random>
#include <thread>

#include "common/log_capture.h"
#include "engine/core/task_pieces.h"
#include "engine/platform/tick.h"

namespace tessali::core {
namespace {

std::array<uint8_t, 20> Sha1(std::span<const uint8_t> d) {
    std::array<uint8_t, 20> out{};
    unsigned int n = 0;
    EVP_Digest(d.data(), d.size(), out.data(), &n, EVP_sha1(), nullptr);
    return out;
}

// Content held in memory; piece hashes computed from the source the test wants to receive.
class MemoryStore : public IPieceStorage {
public:
    MemoryStore(std::vector<uint8_t> source, uint32_t pieceLength)
        : source(std::move(source)),
          content(this->source.size(), 0),
          pieceLength(pieceLength),
          have(static_cast<uint32_t>((this->source.size() + pieceLength - 1) / pieceLength)) {}

    bool ExpectedPieceHash(uint32_t index, std::array<uint8_t, 20>& out) const override {
        size_t begin = size_t{index} * pieceLength;
        if (begin >= source.size()) {
            return false;
        }
        size_t len = std::min<size_t>(pieceLength, source.size() - begin);
        out = Sha1({source.data() + begin, len});
        return true;
    }
    int64_t WriteContent(int64_t position, std::span<const uint8_t> data, int& error) override {
        if (failWrites) {
            error = 28;
            return -1;
        }
        std::copy(data.begin(), data.end(), content.begin() + position);
        ++writes;
        return static_cast<int64_t>(data.size());
    }
    bool HasPiece(uint32_t index) const override { return have.Test(index); }
    Bitfield HaveBitfield() const override { return have; }
    void RecordPiece(uint32_t index, int64_t length) override {
        have.Set(index);
        verified += length;
    }
    bool RecordComplete() const override { return have.All(); }
    void OnFirstComplete() override { ++completions; }
    std::string LogName() const override { return "/dl/file"; }

    std::vector<uint8_t> source;
    std::vector<uint8_t> content;
    uint32_t pieceLength;
    Bitfield have;
    int64_t verified = 0;
    int writes = 0;
    int completions = 0;
    bool failWrites = false;
};

// The same store for tests where several threads take blocks in at once.
class LockedStore : public IPieceStorage {
public:
    explicit LockedStore(MemoryStore& inner) : m_inner(inner) {}
    bool ExpectedPieceHash(uint32_t index, std::array<uint8_t, 20>& out) const override {
        std::lock_guard l(m_lock);
        return m_inner.ExpectedPieceHash(index, out);
    }
    int64_t WriteContent(int64_t position, std::span<const uint8_t> data, int& error) override {
        std::lock_guard l(m_lock);
        return m_inner.WriteContent(position, data, error);
    }
    bool HasPiece(uint32_t index) const override {
        std::lock_guard l(m_lock);
        return m_inner.HasPiece(index);
    }
    Bitfield HaveBitfield() const override {
        std::lock_guard l(m_lock);
        return m_inner.HaveBitfield();
    }
    void RecordPiece(uint32_t index, int64_t length) override {
        std::lock_guard l(m_lock);
        m_inner.RecordPiece(index, length);
    }
    bool RecordComplete() const override {
        std::lock_guard l(m_lock);
        return m_inner.RecordComplete();
    }
    void OnFirstComplete() override {
        std::lock_guard l(m_lock);
        m_inner.OnFirstComplete();
    }
    std::string LogName() const override { return m_inner.LogName(); }

private:
    mutable std::mutex m_lock;
    MemoryStore& m_inner;
};

std::vector<uint8_t> Pattern(size_t n, uint32_t seed = 7) {
    std::vector<uint8_t> v(n);
    std::mt19937 gen(seed);
    for (auto& b : v) {
        b = static_cast<uint8_t>(gen());
    }
    return v;
}

Ref<CPeer> Seeder(uint32_t pieces, int32_t sock = 1) {
    auto p = Ref<CPeer>::Make(ConnectionKey{0x0100007F, 0x1A0B, sock});
    Bitfield all(pieces);
    all.SetAll();
    p->SetBitfield(all.Bytes());
    p->state = kPeerActive;
    return p;
}

// Delivers the block a request asks for, from the source.
int64_t Deliver(CTaskPieces& pieces, MemoryStore& store, CPeer& peer, const BlockRequest& r) {
    size_t at = size_t{r.piece} * store.pieceLength + r.begin;
    return pieces.PutBlock(peer, {store.source.data() + at, r.length}, r.piece, r.begin);
}

TEST(Blocks, ShortLastPieceAndFourBlockRequests) {
    // Two pieces of 65536 and a 40 000-byte last one.
    MemoryStore store(Pattern(65536 * 2 + 40000), 65536);
    CTaskPieces pieces(store.source.size(), 65536, 3, store);
    EXPECT_EQ(pieces.PieceSize(2), 40000u);
    auto piece = Ref<CPiece>::Make(2, 40000);
    EXPECT_EQ(piece->BlockCount(), 3u);
    EXPECT_EQ(piece->BlockLength(2), 7232u);

    Ref<CPeer> peer = Seeder(3);
    peer->largeBlocks = 1;
    pieces.SetRandomSource([] { return 2u; });
    auto r = pieces.PickRequest(*peer);
    ASSERT_TRUE(r.has_value());
    EXPECT_EQ(r->piece, 2u);
    EXPECT_EQ(r->begin, 0u);
    EXPECT_EQ(r->length, 40000u);
    EXPECT_TRUE(pieces.RequestedBitfield().Test(2));  // its only run took every block

    Ref<CPeer> udp = Seeder(3, 2);
    udp->largeBlocks = 1;
    udp->viaUdp = 1;  // large blocks are never asked over reliable UDP
    auto single = pieces.PickRequest(*udp);
    ASSERT_TRUE(single.has_value());
    EXPECT_EQ(single->length, kBlockSize);
}

TEST(Picker, PassesOneTwoAndTheEndGame) {
    MemoryStore store(Pattern(8 * 16384), 16384);
    CTaskPieces pieces(store.source.size(), 16384, 8, store);
    // Peers with the same pieces (1, 3 and 5), one request each.
    int32_t sock = 0;
    auto peer = [&] {
        Ref<CPeer> p = Ref<CPeer>::Make(ConnectionKey{1, 1, ++sock});
        const uint8_t bits[] = {0b01010100};
        p->SetBitfield(bits);
        return p;
    };
    pieces.SetRandomSource([] { return 4u; });          // start at piece 4
    EXPECT_EQ(pieces.PickRequest(*peer())->piece, 5u);  // pass 1 from the start piece
    EXPECT_EQ(pieces.PickRequest(*peer())->piece, 1u);  // pass 2 wraps to the beginning
    EXPECT_EQ(pieces.PickRequest(*peer())->piece, 3u);
    // Every piece the peer has is requested and none has a free block: the end game asks again
    // for the first piece the peer has that the task lacks.
    store.have.Set(1);
    EXPECT_EQ(pieces.PickRequest(*peer())->piece, 3u);

    Ref<CPeer> wrong = Ref<CPeer>::Make(ConnectionKey{1, 1, 2});
    const uint8_t twoBytes[] = {0xFF, 0xFF};
    wrong->SetBitfield(twoBytes);
    test::LogCapture log;
    EXPECT_FALSE(pieces.PickRequest(*wrong).has_value());
    EXPECT_TRUE(log.Contains("GetNextIndex bitfield length err,1 2!!\n"));
}

TEST(Picker, SequentialModeStartsAtTheReadPosition) {
    MemoryStore store(Pattern(10 * 16384), 16384);
    CTaskPieces pieces(store.source.size(), 16384, 10, store);
    Ref<CPeer> peer = Seeder(10);
    pieces.SetRandomSource([] { return 0u; });
    pieces.SetSequential(true);
    store.have.Set(7);
    EXPECT_TRUE(pieces.SetReadPosition(7 * 16384 + 5));  // piece 7 is present: moves on to 8
    EXPECT_EQ(pieces.ReadPosition(), 8 * 16384);
    EXPECT_EQ(pieces.PickRequest(*peer)->piece, 8u);
    store.have.SetAll();
    EXPECT_FALSE(pieces.SetReadPosition(0));
    EXPECT_EQ(pieces.ReadPosition(), 0);
    pieces.SetSequential(false);
    store.have.ClearAll();
    EXPECT_FALSE(pieces.SetReadPosition(3 * 16384));  // only in sequential mode
}

// Everything from the position on is present while piece 0 is not: there is nothing to read
// ahead, and piece 0 must not pass for "the first missing piece from here".
TEST(Picker, ReadPositionPastTheLastMissingPieceIsRefused) {
    MemoryStore store(Pattern(6 * 16384), 16384);
    CTaskPieces pieces(store.source.size(), 16384, 6, store);
    pieces.SetSequential(true);
    store.have.SetAll();
    store.have.Clear(0);
    pieces.SetReadPosition(0);
    EXPECT_EQ(pieces.ReadPosition(), 0);
    EXPECT_FALSE(pieces.SetReadPosition(2 * 16384 + 1));
    EXPECT_EQ(pieces.ReadPosition(), 0);
    EXPECT_TRUE(pieces.SetReadPosition(0));  // piece 0 itself is missing
    EXPECT_EQ(pieces.ReadPosition(), 0);
    store.have.Clear(4);
    EXPECT_TRUE(pieces.SetReadPosition(2 * 16384));
    EXPECT_EQ(pieces.ReadPosition(), 4 * 16384);
}

TEST(Requests, AFullQueueRefusesFurtherPicksUntilABlockArrives) {
    MemoryStore store(Pattern(4 * 65536), 65536);
    CTaskPieces pieces(store.source.size(), 65536, 4, store);
    Ref<CPeer> peer = Seeder(4);
    pieces.SetRandomSource([] { return 0u; });
    // Nothing measured yet: the queue starts at its smallest depth.
    EXPECT_EQ(pieces.FreeRequestSlots(*peer), static_cast<int>(kMinRequestDepth));
    auto a = pieces.PickRequest(*peer);
    auto b = pieces.PickRequest(*peer);
    ASSERT_TRUE(a && b);
    EXPECT_EQ(peer->state, kPeerIdle);  // full
    EXPECT_FALSE(pieces.PickRequest(*peer).has_value()) << "a full queue is never overwritten";
    EXPECT_EQ(pieces.OutstandingRequests(*peer), 2u);
    EXPECT_TRUE(pieces.IsRequestedFrom(*peer, a->piece, a->begin, a->length));
    EXPECT_TRUE(pieces.IsRequestedFrom(*peer, b->piece, b->begin, b->length));
    Deliver(pieces, store, *peer, *b);  // out of order is fine
    EXPECT_EQ(pieces.OutstandingRequests(*peer), 1u);
    EXPECT_EQ(peer->state, kPeerActive);
    EXPECT_FALSE(pieces.IsRequestedFrom(*peer, b->piece, b->begin, b->length));
    EXPECT_EQ(Deliver(pieces, store, *peer, *b), kPutStored);  // a second copy is not asked for
    EXPECT_EQ(pieces.OutstandingRequests(*peer), 1u);
    EXPECT_GE(pieces.FreeRequestSlots(*peer), 1);
    // A refused request leaves the queue and its blocks are wanted again.
    pieces.CancelRequest(*peer, a->piece, a->begin, a->length);
    EXPECT_EQ(pieces.OutstandingRequests(*peer), 0u);
    auto again = pieces.PickRequest(*peer);
    ASSERT_TRUE(again.has_value());
    EXPECT_EQ(again->piece, a->piece);
    EXPECT_EQ(again->begin, a->begin);
}

TEST(Requests, TheEndGameNeverAsksOnePeerTwiceForTheSameBlock) {
    MemoryStore store(Pattern(2 * 16384), 32768);
    CTaskPieces pieces(store.source.size(), 32768, 1, store);
    Ref<CPeer> a = Seeder(1, 1);
    Ref<CPeer> b = Seeder(1, 2);
    ASSERT_TRUE(pieces.PickRequest(*a));
    ASSERT_TRUE(pieces.PickRequest(*a));  // both blocks asked of a
    // b duplicates each of them once, then has nothing left to ask.
    auto d1 = pieces.PickRequest(*b);
    auto d2 = pieces.PickRequest(*b);
    ASSERT_TRUE(d1 && d2);
    EXPECT_NE(d1->begin, d2->begin);
    Deliver(pieces, store, *b, *d1);  // room again in b's queue
    EXPECT_FALSE(pieces.PickRequest(*b).has_value()) << "every block left is already asked of b";
}

TEST(Requests, StaleRequestsAreAskedAgainAfterNineSeconds) {
    platform::FakeTick clock(1000);
    MemoryStore store(Pattern(2 * 32768), 32768);
    CTaskPieces pieces(store.source.size(), 32768, 2, store);
    pieces.SetRandomSource([] { return 0u; });
    Ref<CPeer> a = Seeder(2, 1);
    Ref<CPeer> b = Seeder(2, 2);
    auto r1 = pieces.PickRequest(*a);  // piece 0 block 0
    auto r2 = pieces.PickRequest(*a);  // piece 0 block 1: piece 0 fully requested
    ASSERT_EQ(r1->piece, 0u);
    ASSERT_EQ(r2->piece, 0u);
    EXPECT_EQ(pieces.PickRequest(*b)->piece, 1u);
    EXPECT_EQ(pieces.PickRequest(*b)->piece, 1u);
    Ref<CPeer> c = Seeder(2, 3);
    clock.Advance(9000);
    auto again = pieces.PickRequest(*c);  // end game, nothing stale yet: the oldest is re-stamped
    ASSERT_TRUE(again.has_value());
    clock.Advance(9001);
    pieces.Tick();  // frees every block asked for more than 9 s ago
    EXPECT_FALSE(pieces.RequestedBitfield().Test(0));
    Ref<CPeer> d = Seeder(2, 4);
    auto fresh = pieces.PickRequest(*d);
    ASSERT_TRUE(fresh.has_value());
    EXPECT_EQ(fresh->begin, 0u);
}

// Each peer's own thread schedules it and takes its blocks in while a housekeeping thread
// schedules every peer at the same time, as the deferred pass does. A request recorded over
// another, or counted against room the other thread already used, would show as a block handed
// to the wire that its peer no longer expects (and, with nothing expiring, a task that stalls).
TEST(Requests, SchedulingOnePeerFromTwoThreadsNeverLosesARequest) {
    constexpr uint32_t kPieceLength = 65536;
    constexpr uint32_t kCount = 96;
    constexpr size_t kPeers = 8;
    MemoryStore memory(Pattern(size_t{kPieceLength} * kCount - 5000, 9), kPieceLength);
    LockedStore store(memory);
    CTaskPieces pieces(memory.source.size(), kPieceLength, kCount, store);
    struct Wire {
        std::mutex lock;
        std::deque<BlockRequest> sent;
    };
    std::vector<Ref<CPeer>> peers;
    std::vector<Wire> wires(kPeers);
    for (size_t i = 0; i < kPeers; ++i) {
        peers.push_back(Seeder(kCount, static_cast<int32_t>(i + 1)));
        peers.back()->largeBlocks = i % 2;  // half ask for four blocks at a time
    }
    std::atomic<bool> done{false};
    std::atomic<int> lost{0};
    std::atomic<int> overfull{0};
    auto schedule = [&](size_t i) {
        // The free count is read first and the picks follow, as the scheduler does.
        int free = pieces.FreeRequestSlots(*peers[i]);
        for (int k = 0; k < free; ++k) {
            std::optional<BlockRequest> r =
                k % 2 ? pieces.PickRequest(*peers[i]) : pieces.PickRequestSequential(*peers[i]);
            if (!r) {
                break;
            }
            std::lock_guard l(wires[i].lock);
            wires[i].sent.push_back(*r);
        }
        if (pieces.OutstandingRequests(*peers[i]) > kMaxRequestDepth) {
            ++overfull;
        }
    };
    std::vector<std::thread> threads;
    for (size_t i = 0; i < kPeers; ++i) {
        threads.emplace_back([&, i] {
            while (!done) {
                schedule(i);
                std::optional<BlockRequest> r;
                {
                    std::lock_guard l(wires[i].lock);
                    if (!wires[i].sent.empty()) {
                        r = wires[i].sent.front();
                        wires[i].sent.pop_front();
                    }
                }
                if (!r) {
                    std::this_thread::yield();
                    continue;
                }
                // Only this thread takes entries out of its peer's queue.
                if (!pieces.IsRequestedFrom(*peers[i], r->piece, r->begin, r->length)) {
                    ++lost;
                }
                size_t at = size_t{r->piece} * kPieceLength + r->begin;
                pieces.PutBlock(*peers[i], {memory.source.data() + at, r->length}, r->piece, r->begin);
                if (store.RecordComplete()) {
                    done = true;
                }
            }
        });
    }
    threads.emplace_back([&] {
        while (!done) {
            for (size_t i = 0; i < kPeers; ++i) {
                schedule(i);
            }
        }
    });
    // A generous bound that only a stalled transfer reaches.
    for (int waited = 0; waited < 600 && !done; ++waited) {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    const bool completed = done.exchange(true);
    for (std::thread& t : threads) {
        t.join();
    }
    EXPECT_EQ(lost.load(), 0);
    EXPECT_EQ(overfull.load(), 0);
    ASSERT_TRUE(completed) << "have " << memory.have.Count() << " of " << kCount;
    EXPECT_EQ(memory.content, memory.source);
    EXPECT_EQ(memory.completions, 1);
}

TEST(Verify, HashMismatchLeavesTheRecordAndThePieceCanBeAskedAgain) {
    MemoryStore store(Pattern(2 * 16384), 16384);
    CTaskPieces pieces(store.source.size(), 16384, 2, store);
    pieces.SetRandomSource([] { return 0u; });
    Ref<CPeer> liar = Seeder(2);
    auto r = pieces.PickRequest(*liar);
    std::vector<uint8_t> junk(r->length, 0xAA);
    test::LogCapture log;
    EXPECT_EQ(pieces.PutBlock(*liar, junk, r->piece, r->begin), kPutPieceWritten);
    EXPECT_TRUE(log.Contains("Write file hash error,index: 0,len 16384!!!\n"));
    EXPECT_FALSE(store.have.Test(0));
    EXPECT_EQ(store.verified, 0);
    EXPECT_EQ(store.writes, 0);
    EXPECT_EQ(pieces.PiecesInProgress(), 0u);
    EXPECT_FALSE(pieces.RequestedBitfield().Test(0));
    auto again = pieces.PickRequest(*liar);
    EXPECT_EQ(again->piece, 0u);
    EXPECT_EQ(Deliver(pieces, store, *liar, *again), kPutPieceWritten);
    EXPECT_TRUE(store.have.Test(0));
}

TEST(Verify, StorageFailureAnswersMinusOne) {
    MemoryStore store(Pattern(16384), 16384);
    CTaskPieces pieces(store.source.size(), 16384, 1, store);
    Ref<CPeer> peer = Seeder(1);
    auto r = pieces.PickRequest(*peer);
    store.failWrites = true;
    test::LogCapture log;
    EXPECT_EQ(Deliver(pieces, store, *peer, *r), kPutWriteFailed);
    EXPECT_TRUE(log.Contains("写入失败:/dl/file,28!\n"));
    EXPECT_FALSE(store.have.Test(0));
    EXPECT_FALSE(pieces.RequestedBitfield().Test(0));
}

TEST(Memory, ManyPartialPiecesStayUnderTheCap) {
    const uint32_t pieceLength = 2 << 20;
    const uint32_t count = 64;  // 128 MiB of content
    MemoryStore store(std::vector<uint8_t>(size_t{pieceLength} * count, 1), pieceLength);
    CTaskPieces pieces(store.source.size(), pieceLength, count, store);
    uint32_t next = 0;
    pieces.SetRandomSource([&] { return next++; });
    std::vector<uint8_t> block(kBlockSize, 1);
    // Many peers, each opening a new piece and delivering its first block only.
    for (int32_t i = 0; i < 200; ++i) {
        // Each peer has a single piece, so each one opens a piece of its own.
        Ref<CPeer> p = Ref<CPeer>::Make(ConnectionKey{1, 1, i + 10});
        Bitfield one(count);
        one.Set(static_cast<uint32_t>(i) % count);
        p->SetBitfield(one.Bytes());
        auto r = pieces.PickRequest(*p);
        if (r) {
            pieces.PutBlock(*p, block, r->piece, r->begin);
        }
        int64_t held = 0;
        held = int64_t(pieces.PiecesInProgress()) * pieceLength;
        ASSERT_LE(held, kPiecesInProgressCap);
        ASSERT_LE(pieces.BytesInProgress(), kPiecesInProgressCap);
    }
    EXPECT_EQ(pieces.PiecesInProgress(), kPiecesInProgressCap / pieceLength);
}

// 16 MiB pieces: one piece in progress fills the memory cap. A peer leaves in the middle of a
// piece that nobody else connected has; the other peer's pieces must still be fetched, and the
// abandoned piece once a peer that has it arrives.
TEST(Memory, APieceNoConnectedPeerHasDoesNotHoldTheCapForGood) {
    const uint32_t pieceLength = 16 << 20;
    const uint32_t count = 3;
    MemoryStore store(Pattern(size_t{pieceLength} * 2 + 100000, 4), pieceLength);
    CTaskPieces pieces(store.source.size(), pieceLength, count, store);
    pieces.SetRandomSource([] { return 0u; });
    std::vector<Ref<CPeer>> connected;
    pieces.SetPieceHolderSource([&](uint32_t index) {
        return std::any_of(connected.begin(), connected.end(),
                           [&](const Ref<CPeer>& p) { return p->HasPiece(index); });
    });
    auto fetchAll = [&](CPeer& peer) {
        for (int round = 0; round < 100000; ++round) {
            auto r = pieces.PickRequest(peer);
            if (!r) {
                return;
            }
            Deliver(pieces, store, peer, *r);
        }
    };
    Ref<CPeer> leaving = Seeder(count, 1);
    connected.push_back(leaving);
    for (int i = 0; i < 10; ++i) {
        auto r = pieces.PickRequest(*leaving);
        ASSERT_TRUE(r.has_value());
        ASSERT_EQ(r->piece, 0u);
        Deliver(pieces, store, *leaving, *r);
    }
    connected.clear();
    pieces.ReleasePeer(*leaving);  // gone mid-piece

    Ref<CPeer> partial = Ref<CPeer>::Make(ConnectionKey{1, 1, 2});
    Bitfield some(count);
    some.Set(1);
    some.Set(2);
    partial->SetBitfield(some.Bytes());
    partial->state = kPeerActive;
    connected.push_back(partial);
    auto first = pieces.PickRequest(*partial);
    ASSERT_TRUE(first.has_value()) << "the abandoned piece keeps the cap full";
    EXPECT_EQ(first->piece, 1u);
    Deliver(pieces, store, *partial, *first);
    fetchAll(*partial);
    EXPECT_TRUE(store.have.Test(1));
    EXPECT_TRUE(store.have.Test(2));
    EXPECT_FALSE(store.have.Test(0));

    Ref<CPeer> seeder = Seeder(count, 3);
    connected.push_back(seeder);
    fetchAll(*seeder);
    ASSERT_TRUE(store.RecordComplete());
    EXPECT_EQ(store.content, store.source);
    EXPECT_EQ(pieces.PiecesInProgress(), 0u);
}

TEST(Transfer, TwoPeersRandomOrderDuplicatesCorruptionAndAVanishingPeer) {
    const uint32_t pieceLength = 65536;
    MemoryStore store(Pattern(pieceLength * 12 + 1234, 42), pieceLength);
    const uint32_t count = 13;
    CTaskPieces pieces(store.source.size(), pieceLength, count, store);
    std::mt19937 gen(5);
    pieces.SetRandomSource([&gen] { return static_cast<uint32_t>(gen()); });
    Ref<CPeer> honest = Seeder(count, 1);
    Ref<CPeer> flaky = Seeder(count, 2);
    bool corrupted = false;
    bool vanished = false;
    std::vector<std::pair<Ref<CPeer>, BlockRequest>> inFlight;
    for (int round = 0; round < 10000 && !store.RecordComplete(); ++round) {
        for (const Ref<CPeer>& p : {honest, flaky}) {
            if (p == flaky && vanished) {
                continue;
            }
            while (pieces.FreeRequestSlots(*p) > 0) {
                auto r = pieces.PickRequest(*p);
                if (!r) {
                    break;
                }
                inFlight.emplace_back(p, *r);
            }
        }
        if (inFlight.empty()) {
            pieces.Tick();
            continue;
        }
        std::shuffle(inFlight.begin(), inFlight.end(), gen);
        auto [peer, r] = inFlight.back();
        inFlight.pop_back();
        if (peer == flaky && corrupted && !vanished && round > 20 && r.begin != 0) {
            // Mid-piece: the flaky peer goes away, its outstanding blocks are released.
            vanished = true;
            pieces.ReleasePeer(*flaky);
            std::erase_if(inFlight, [&](auto& e) { return e.first == flaky; });
            continue;
        }
        size_t at = size_t{r.piece} * pieceLength + r.begin;
        std::vector<uint8_t> data(store.source.begin() + at, store.source.begin() + at + r.length);
        if (peer == flaky && !corrupted) {
            data[0] ^= 0xFF;  // one corrupted piece
            corrupted = true;
        }
        pieces.PutBlock(*peer, data, r.piece, r.begin);
        pieces.PutBlock(*peer, data, r.piece, r.begin);  // a duplicate changes nothing
        const uint8_t stray[16] = {};
        pieces.PutBlock(*peer, stray, (r.piece + 1) % count, 0);  // never requested
    }
    ASSERT_TRUE(store.RecordComplete())
        << "have " << store.have.Count() << " in progress " << pieces.PiecesInProgress() << " in flight "
        << inFlight.size() << " vanished " << vanished << " corrupted " << corrupted;
    EXPECT_TRUE(corrupted);
    EXPECT_TRUE(vanished);
    EXPECT_EQ(store.content, store.source);
    EXPECT_EQ(store.verified, static_cast<int64_t>(store.source.size()));
    EXPECT_EQ(store.completions, 1);
    EXPECT_EQ(pieces.PiecesInProgress(), 0u);
}

TEST(Positions, WantedPositionAndHaveLength) {
    MemoryStore store(Pattern(5 * 16384 + 100), 16384);
    CTaskPieces pieces(store.source.size(), 16384, 6, store);
    store.have.Set(0);
    store.have.Set(1);
    store.have.Set(3);
    pieces.SetWantedStart(100);
    EXPECT_EQ(pieces.WantedPosition(), 2 * 16384);
    EXPECT_EQ(pieces.HaveLength(100), 2 * 16384 - 100);
    EXPECT_EQ(pieces.HaveLength(2 * 16384), 0);
    EXPECT_EQ(pieces.HaveLength(3 * 16384 + 1), 16384 - 1);
    store.have.SetAll();
    pieces.SetWantedStart(0);
    EXPECT_EQ(pieces.WantedPosition(), 0);  // nothing missing
    EXPECT_EQ(pieces.HaveLength(5 * 16384), 100);
}

}  // namespace
}  // namespace tessali::core
