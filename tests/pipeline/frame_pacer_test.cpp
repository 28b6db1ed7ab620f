#include "velvix/pipeline/frame_pacer.hpp"

#include <gtest/gtest.h>

#include <algorithm>

#include "test_support.hpp"
#include "velvix/pipeline/frame_size.hpp"

namespace velvix {
namespace {

// Sleeping is coarse, so the last millisecond before the deadline is spent yielding; a
// deadline reached between the two clock reads is not slept for at all (first sleep -1).
TEST(FramePacer, SleepsAllButTheLastMillisecondAndYieldsForTheRest) {
    for (const auto& [left, stepPerRead, firstSleep] :
         {std::tuple{kFramePeriod, std::uint64_t{0}, 32},
          {20'000, 0, 1},
          {19'999, 0, 0},
          {10'000, 0, 0},
          {500, 0, 0},
          {100, 60, -1}}) {
        SCOPED_TRACE(left);
        testing::FakeClock clock;
        FramePacer pacer(clock);
        pacer.start();
        const std::uint64_t deadline = clock.time + kFramePeriod;
        clock.time += kFramePeriod - left;
        clock.stepPerRead = stepPerRead;
        pacer.waitForNextTick();
        ASSERT_EQ(clock.sleeps.empty(), firstSleep < 0);
        if (firstSleep >= 0) {
            EXPECT_EQ(clock.sleeps.front(), static_cast<std::uint32_t>(firstSleep));
            EXPECT_TRUE(std::all_of(clock.sleeps.begin() + 1, clock.sleeps.end(),
                                    [](std::uint32_t ms) { return ms == 0; }));
            EXPECT_GE(clock.time, deadline);
            EXPECT_LT(clock.time, deadline + clock.yieldCost);
        }
    }
}

// A fixed schedule without drift; a tick that overran rebases it instead of catching up, so that
// the next tick is a whole period long again: no burst of short ticks.
TEST(FramePacer, KeepsAFixedScheduleAndRebasesItAfterAnOverrun) {
    testing::FakeClock clock;
    FramePacer pacer(clock);
    pacer.start();
    const std::uint64_t start = pacer.deadline();
    for (std::uint64_t tick = 1; tick <= 300; ++tick) {
        clock.time += 50'000;  // 5 ms of work
        pacer.waitForNextTick();
        ASSERT_EQ(pacer.deadline(), start + kFramePeriod * tick);
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
