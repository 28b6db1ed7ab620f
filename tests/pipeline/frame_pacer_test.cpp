#include "velvix/pipeline/frame_pacer.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <optional>

#include "test_support.hpp"
#include "velvix/pipeline/frame_size.hpp"

namespace velvix {
namespace {

using testing::FakeClock;

// Sleeping is coarse, so the last millisecond before the deadline is spent yielding; a
// deadline reached between the two clock reads is not slept for at all.
TEST(FramePacer, SleepsAllButTheLastMillisecondAndYieldsForTheRest) {
    struct Case {
        std::uint64_t left;         // of the period, when the tick's work is done
        std::uint64_t stepPerRead;  // how far the clock moves at each read
        std::optional<std::uint32_t> firstSleep;
    };
    for (const Case& c :
         {Case{kFramePeriod, 0, 32}, Case{20'000, 0, 1}, Case{19'999, 0, 0}, Case{15'000, 0, 0},
          Case{10'000, 0, 0}, Case{500, 0, 0}, Case{100, 60, std::nullopt}}) {
        FakeClock clock;
        FramePacer pacer(clock);
        pacer.start();
        const std::uint64_t deadline = clock.time + kFramePeriod;
        clock.time += kFramePeriod - c.left;
        clock.stepPerRead = c.stepPerRead;
        pacer.waitForNextTick();
        if (!c.firstSleep) {
            EXPECT_TRUE(clock.sleeps.empty()) << c.left;
            continue;
        }
        ASSERT_FALSE(clock.sleeps.empty()) << c.left;
        EXPECT_EQ(clock.sleeps.front(), *c.firstSleep) << c.left;
        EXPECT_TRUE(std::all_of(clock.sleeps.begin() + 1, clock.sleeps.end(), [](std::uint32_t ms) {
            return ms == 0;
        })) << c.left;
        EXPECT_GE(clock.time, deadline) << c.left;
        EXPECT_LT(clock.time, deadline + clock.yieldCost) << c.left;
    }
}

// A fixed schedule without drift; a tick that overran rebases it instead of catching up, so that
// the next tick is a whole period long again: no burst of short ticks.
TEST(FramePacer, KeepsAFixedScheduleAndRebasesItAfterAnOverrun) {
    FakeClock clock;
    FramePacer pacer(clock);
    pacer.start();
    const std::uint64_t start = pacer.deadline();
    for (int tick = 1; tick <= 300; ++tick) {
        clock.time += 50'000;  // 5 ms of work
        pacer.waitForNextTick();
        ASSERT_EQ(pacer.deadline(), start + kFramePeriod * static_cast<std::uint64_t>(tick));
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
