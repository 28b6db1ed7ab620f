#include "velvix/pipeline/control_block.hpp"

#include <gtest/gtest.h>

#include <thread>

namespace velvix {
namespace {

// The user interface writes requests (camera and level the same number) while the worker takes
// them over: it never sees a number not written and ends with the last. Off keeps the level.
TEST(ControlBlock, UserInterfaceWritesAgainstWorkerReads) {
    ControlBlock control;
    EXPECT_EQ(control.takeOverSettings(), kNoCameraChosen);
    constexpr int kRequests = 20'000;
    std::atomic<bool> done{false};
    std::thread userInterface([&] {
        for (int i = 1; i <= kRequests; ++i) {
            control.requestCamera(i % 20);
            control.requestSmoothOn(i);
        }
        done.store(true, std::memory_order_release);
    });
    bool sawOnlyWrittenValues = true;
    const auto takeOver = [&] {
        const int camera = control.takeOverSettings();
        control.applied.activeCamera = camera;
        const int level = control.applied.smoothLevel;
        sawOnlyWrittenValues &= level == kDefaultSmoothLevel || (level >= 1 && level <= kRequests);
        sawOnlyWrittenValues &= camera == kNoCameraChosen || (camera >= 0 && camera < 20);
    };
    while (!done.load(std::memory_order_acquire)) {
        takeOver();
    }
    userInterface.join();
    takeOver();
    EXPECT_TRUE(sawOnlyWrittenValues);
    EXPECT_EQ(control.applied.smoothLevel, kRequests);
    EXPECT_EQ(control.applied.activeCamera, kRequests % 20);
    EXPECT_EQ(control.applied.seenGeneration, 2 * kRequests);
    control.requestSmoothOff();
    EXPECT_EQ(control.takeOverSettings(), kRequests % 20);
    EXPECT_FALSE(control.applied.smoothOn);
    EXPECT_EQ(control.applied.smoothLevel, kRequests);
}

}  // namespace
}  // namespace velvix
