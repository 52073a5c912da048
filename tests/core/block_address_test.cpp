// Where a piece index and a block offset are passed together, neither a bare integer nor the
// other one is taken in its place: a swapped pair fails to compile instead of asking for the
// wrong block.
#include "engine/core/block_address.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <span>
#include <type_traits>

#include "engine/core/task_peers.h"

namespace tessali::core {
namespace {

template <typename Piece, typename Offset>
constexpr bool kPutBlockTakes =
    std::is_invocable_v<decltype(&ITaskPeers::PutBlock), ITaskPeers&, const TaskHash&, const ConnectionKey&,
                        std::span<const uint8_t>, Piece, Offset>;
template <typename Piece, typename Offset>
constexpr bool kCancelRequestTakes =
    std::is_invocable_v<decltype(&ITaskPeers::CancelRequest), ITaskPeers&, const TaskHash&,
                        const ConnectionKey&, Piece, Offset, uint32_t>;
template <typename Piece>
constexpr bool kSetPeerHaveTakes = std::is_invocable_v<decltype(&ITaskPeers::SetPeerHave), ITaskPeers&,
                                                       const TaskHash&, const ConnectionKey&, Piece>;
template <typename Piece>
constexpr bool kPeerNeedsHaveTakes = std::is_invocable_v<decltype(&ITaskPeers::PeerNeedsHave), ITaskPeers&,
                                                         const TaskHash&, const ConnectionKey&, Piece>;

TEST(BlockAddress, PieceAndOffsetAreTakenOnlyAsThemselvesAndInTheirOrder) {
    EXPECT_TRUE((kPutBlockTakes<PieceIndex, BlockOffset>));
    EXPECT_FALSE((kPutBlockTakes<BlockOffset, PieceIndex>));
    EXPECT_FALSE((kPutBlockTakes<uint32_t, uint32_t>));

    EXPECT_TRUE((kCancelRequestTakes<PieceIndex, BlockOffset>));
    EXPECT_FALSE((kCancelRequestTakes<BlockOffset, PieceIndex>));
    EXPECT_FALSE((kCancelRequestTakes<uint32_t, uint32_t>));

    EXPECT_TRUE(kSetPeerHaveTakes<PieceIndex>);
    EXPECT_FALSE(kSetPeerHaveTakes<BlockOffset>);
    EXPECT_FALSE(kSetPeerHaveTakes<uint32_t>);
    EXPECT_TRUE(kPeerNeedsHaveTakes<PieceIndex>);
    EXPECT_FALSE(kPeerNeedsHaveTakes<BlockOffset>);
    EXPECT_FALSE(kPeerNeedsHaveTakes<uint32_t>);
}

}  // namespace
}  // namespace tessali::core
