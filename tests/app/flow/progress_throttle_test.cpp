// Which progress values reach the launcher icon: at once the first time, then only changes that
// come after the minimum interval; the clearing once; values clamped; the tick's wrap.

#include <gtest/gtest.h>

#include <cmath>

#include "app/flow/progress_throttle.h"

namespace tessali::app {
namespace {

constexpr uint32_t kGap = CProgressThrottle::kMinIntervalMs;

TEST(ProgressThrottle, SendsTheFirstValueThenChangesAfterTheInterval) {
    CProgressThrottle t;
    EXPECT_EQ(t.Update(0.10, 5000), 0.10);
    EXPECT_FALSE(t.Update(0.20, 5000));             // at once again: dropped
    EXPECT_FALSE(t.Update(0.20, 5000 + kGap - 1));  // one millisecond short
    EXPECT_EQ(t.Update(0.20, 5000 + kGap), 0.20);
    EXPECT_FALSE(t.Update(0.2004, 5000 + 5 * kGap));  // long after, but no visible change
    EXPECT_EQ(t.Update(0.30, 5000 + 5 * kGap), 0.30);
}

TEST(ProgressThrottle, ClearingIsSentOnceAndTheNextValueGoesOutAtOnce) {
    CProgressThrottle t;
    EXPECT_FALSE(t.Clear());  // nothing was shown
    ASSERT_TRUE(t.Update(0.5, 100).has_value());
    EXPECT_TRUE(t.Clear());
    EXPECT_FALSE(t.Clear());
    EXPECT_EQ(t.Update(0.5, 101), 0.5);  // same value, no interval: a new download shows at once
    EXPECT_TRUE(t.Shown());
}

TEST(ProgressThrottle, ValuesAreClampedAndTheTickMayWrap) {
    CProgressThrottle t;
    EXPECT_EQ(t.Update(-0.5, 0xFFFFFF00u), 0.0);
    EXPECT_EQ(t.Update(1.7, 0xFFFFFF00u + kGap), 1.0);  // wraps past zero
    CProgressThrottle n;
    EXPECT_EQ(n.Update(std::nan(""), 0), 0.0);
}

}  // namespace
}  // namespace tessali::app
