#include "velvix/pipeline/frame_pacer.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <numeric>

#include "test_support.hpp"
#include "velvix/pipeline/frame_size.hpp"

namespace velvix {
namespace {

using testing::FakeClock;

TEST(FramePacer, SleepsOneMillisecondShortAndYieldsForTheRest) {
    FakeClock clock;
    FramePacer pacer(clock);
    pacer.start();
    const std::uint64_t start = clock.time;
    pacer.waitForNextTick();
    ASSERT_FALSE(clock.sleeps.empty());
    EXPECT_EQ(clock.sleeps.front(), 32u);  // 33 whole milliseconds left
    EXPECT_TRUE(std::all_of(clock.sleeps.begin() + 1, clock.sleeps.end(),
                            [](std::uint32_t ms) { return ms == 0; }));
    EXPECT_GE(clock.time, start + kFramePeriod);
    EXPECT_LT(clock.time, start + kFramePeriod + clock.yieldCost);
}

TEST(FramePacer, KeepsAFixedScheduleWithoutDrift) {
    FakeClock clock;
    FramePacer pacer(clock);
    pacer.start();
    const std::uint64_t start = pacer.deadline();
    for (int tick = 1; tick <= 300; ++tick) {
        clock.time += 50'000;  // 5 ms of work
        pacer.waitForNextTick();
        ASSERT_EQ(pacer.deadline(), start + kFramePeriod * static_cast<std::uint64_t>(tick));
    }
}

TEST(FramePacer, AnOverrunRebasesTheScheduleInsteadOfCatchingUp) {
    FakeClock clock;
    FramePacer pacer(clock);
    pacer.start();
    clock.time += 3 * kFramePeriod;  // a tick that took three periods
    const std::uint64_t overrunEnd = clock.time;
    pacer.waitForNextTick();
    EXPECT_EQ(pacer.deadline(), overrunEnd);
    EXPECT_TRUE(clock.sleeps.empty());

    // The next tick is a whole period long again: no burst of short ticks.
    pacer.waitForNextTick();
    EXPECT_EQ(pacer.deadline(), overrunEnd + kFramePeriod);
    EXPECT_EQ(clock.sleeps.front(), 32u);
}

TEST(FramePacer, OneMillisecondOrLessLeftIsSpentYielding) {
    for (std::uint64_t left : {10'000u, 15'000u, 19'999u, 500u}) {
        FakeClock clock;
        FramePacer pacer(clock);
        pacer.start();
        clock.time += kFramePeriod - left;
        pacer.waitForNextTick();
        ASSERT_FALSE(clock.sleeps.empty()) << left;
        EXPECT_TRUE(std::all_of(clock.sleeps.begin(), clock.sleeps.end(), [](std::uint32_t ms) {
            return ms == 0;
        })) << left;
    }
}

TEST(FramePacer, TwoMillisecondsLeftSleepsOne) {
    FakeClock clock;
    FramePacer pacer(clock);
    pacer.start();
    clock.time += kFramePeriod - 20'000;
    pacer.waitForNextTick();
    EXPECT_EQ(clock.sleeps.front(), 1u);
}

TEST(FramePacer, ReachingTheDeadlineBetweenTheTwoReadsDoesNotSleep) {
    FakeClock clock;
    FramePacer pacer(clock);
    pacer.start();
    clock.time += kFramePeriod - 100;
    clock.stepPerRead = 60;  // the first read is 40 short of the deadline, the second past it
    pacer.waitForNextTick();
    EXPECT_TRUE(clock.sleeps.empty());
}

TEST(SystemPacerClock, RunsForwardAndSleeps) {
    SystemPacerClock clock;
    const std::uint64_t before = clock.now();
    clock.sleep(2);
    clock.sleep(0);
    EXPECT_GE(clock.now() - before, 20'000u);
}

}  // namespace
}  // namespace velvix
