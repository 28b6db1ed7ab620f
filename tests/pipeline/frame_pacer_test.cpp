#include "velvix/pipeline/frame_pacer.hpp"

#include <gtest/gtest.h>

#include <algorithm>

#include "test_support.hpp"
#include "velvix/pipeline/frame_size.hpp"

namespace velvix {
namespace {

// A fixed schedule without drift. Sleeping is coarse, so all but the last millisecond before
// the deadline is slept and the rest spent yielding. A tick that overran rebases the schedule
// instead of catching up, so that the next tick is a whole period long again: no burst of short
// ticks.
TEST(FramePacer, KeepsAFixedScheduleAndRebasesItAfterAnOverrun) {
    testing::FakeClock clock;
    FramePacer pacer(clock);
    pacer.start();
    const std::uint64_t start = pacer.deadline();
    for (std::uint64_t tick = 1; tick <= 300; ++tick) {
        clock.sleeps.clear();
        clock.time += 50'000;  // 5 ms of work, 28.3 ms left
        pacer.waitForNextTick();
        ASSERT_EQ(pacer.deadline(), start + kFramePeriod * tick);
        ASSERT_EQ(clock.sleeps.front(), 27u);
        ASSERT_TRUE(std::all_of(clock.sleeps.begin() + 1, clock.sleeps.end(),
                                [](std::uint32_t ms) { return ms == 0; }));
        ASSERT_GE(clock.time, pacer.deadline());
        ASSERT_LT(clock.time, pacer.deadline() + clock.yieldCost);
    }
    clock.sleeps.clear();
    clock.time += 3 * kFramePeriod;  // a tick that took three periods
    const std::uint64_t overrunEnd = clock.time;
    pacer.waitForNextTick();
    EXPECT_EQ(pacer.deadline(), overrunEnd);
    EXPECT_TRUE(clock.sleeps.empty());
    pacer.waitForNextTick();
    EXPECT_EQ(pacer.deadline(), overrunEnd + kFramePeriod);
    EXPECT_EQ(clock.sleeps.front(), 32u);
}

}  // namespace
}  // namespace velvix
