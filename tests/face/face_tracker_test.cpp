#include "velvix/face/face_tracker.hpp"

#include <gtest/gtest.h>

#include <condition_variable>
#include <mutex>

namespace velvix {
namespace {

// Detects as told, once the test opens the gate. (A condition variable: std::latch's wait never
// returned in the MinGW build under wine.)
class GatedDetector final : public FaceDetector {
  public:
    std::string name() const override { return "gated"; }
    std::vector<DetectedFace> detect(ConstPicture image) override {
        std::unique_lock lock(mutex);
        opened.wait(lock, [this] { return open; });
        firstByte = image.pixels[0];
        return {{100, 50, 25, 30, 0.9f, {}}, {200, 100, 20, 30, 0.8f, {}}};
    }
    void openGate() {
        const std::lock_guard lock(mutex);
        open = true;
        opened.notify_all();
    }

    std::mutex mutex;
    std::condition_variable opened;
    bool open = false;
    int firstByte = -1;
};

TEST(DetectionThread, DetectsACopyOnItsOwnThreadOneAtATime) {
    auto* detector = new GatedDetector;
    DetectionThread thread(std::unique_ptr<FaceDetector>(detector), 1);
    std::vector<std::uint8_t> small(320 * 180 * 3, 7);
    ASSERT_TRUE(thread.start(small.data(), {320, 180}, {1280, 720}));
    small[0] = 99;  // the thread works on its own copy
    EXPECT_FALSE(thread.start(small.data(), {320, 180}, {1280, 720}));
    EXPECT_FALSE(thread.finished().has_value());
    detector->openGate();
    thread.waitUntilIdle();
    const auto rectangles = thread.finished();
    ASSERT_TRUE(rectangles.has_value());
    // By the face step's rules: four times each box in 1280 x 720, the widest first.
    ASSERT_EQ(rectangles->size(), 2u);
    EXPECT_EQ(rectangles->front().x, 400);
    EXPECT_EQ(detector->firstByte, 7);
    EXPECT_FALSE(thread.finished().has_value());
}

}  // namespace
}  // namespace velvix
