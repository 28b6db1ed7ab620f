#include "velvix/pipeline/control_block.hpp"

#include <gtest/gtest.h>

#include <thread>

namespace velvix {
namespace {

// Nothing is pending in a fresh block; two messages between ticks are taken over together;
// switching smoothing off keeps the level; any later message re-reads all three fields, and the
// camera stays the one asked for.
TEST(ControlBlock, TakesOverEveryMessageSinceTheLastTick) {
    ControlBlock control;
    EXPECT_EQ(control.takeOverSettings(), kNoCameraChosen);
    EXPECT_EQ(control.applied.seenGeneration, 0);
    control.requestCamera(3);
    control.requestSmoothOn(60);
    EXPECT_EQ(control.takeOverSettings(), 3);
    EXPECT_TRUE(control.applied.smoothOn);
    EXPECT_EQ(control.applied.smoothLevel, 60);
    EXPECT_EQ(control.applied.seenGeneration, 2);
    control.applied.activeCamera = 3;
    control.requestSmoothOff();
    EXPECT_EQ(control.takeOverSettings(), 3);
    EXPECT_FALSE(control.applied.smoothOn);
    EXPECT_EQ(control.applied.smoothLevel, 60);
    EXPECT_EQ(control.takeOverSettings(), 3);
}

// The user interface writes request after request while the worker takes them over. Each
// request sets camera and level to the same number; once the writer is done the worker must
// have taken over the last one, and it never sees a number that was not written.
TEST(ControlBlock, UserInterfaceWritesAgainstWorkerReads) {
    ControlBlock control;
    constexpr int kRequests = 20'000;
    std::atomic<bool> done{false};
    std::thread userInterface([&] {
        for (int i = 1; i <= kRequests; ++i) {
            control.requestCamera(i % 20);
            control.requestSmoothOn(i);
        }
        done.store(true, std::memory_order_release);
    });
    int lastLevel = 0;
    bool sawOnlyWrittenValues = true;
    auto takeOver = [&] {
        const int camera = control.takeOverSettings();
        control.applied.activeCamera = camera;
        const int level = control.applied.smoothLevel;
        sawOnlyWrittenValues &=
            (level == kDefaultSmoothLevel || (level >= 1 && level <= kRequests));
        sawOnlyWrittenValues &= camera == kNoCameraChosen || (camera >= 0 && camera < 20);
        lastLevel = level;
    };
    while (!done.load(std::memory_order_acquire)) {
        takeOver();
    }
    userInterface.join();
    takeOver();
    EXPECT_TRUE(sawOnlyWrittenValues);
    EXPECT_EQ(lastLevel, kRequests);
    EXPECT_EQ(control.applied.activeCamera, kRequests % 20);
    EXPECT_EQ(control.applied.seenGeneration, 2 * kRequests);
}

}  // namespace
}  // namespace velvix
