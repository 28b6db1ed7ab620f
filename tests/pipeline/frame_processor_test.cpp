#include "velvix/pipeline/frame_processor.hpp"

#include <gtest/gtest.h>

#include <array>

#include "fake_steps.hpp"

namespace velvix {
namespace {

constexpr FrameSize kSize{64, 48};
// Capture layout: red, green, blue, alpha.
constexpr std::array<std::uint8_t, 4> kSkin{200, 150, 120, 255};
constexpr std::array<std::uint8_t, 4> kGrey{128, 128, 128, 255};

class FrameProcessorTest : public ::testing::Test {
  protected:
    void fillCapture(bool skinEverywhere) {
        for (int y = 0; y < kSize.height; ++y) {
            for (int x = 0; x < kSize.width; ++x) {
                const auto& colour = (skinEverywhere || x < kSize.width / 2) ? kSkin : kGrey;
                std::copy(colour.begin(), colour.end(), capturePixel(x, y));
            }
        }
    }

    std::uint8_t* capturePixel(int x, int y) {
        return buffers.capture() + (static_cast<std::size_t>(y) * kSize.width + x) * 4;
    }

    std::array<std::uint8_t, 3> output(int x, int y) {
        const std::uint8_t* pixel =
            buffers.output() + (static_cast<std::size_t>(y) * kSize.width + x) * 3;
        return {pixel[0], pixel[1], pixel[2]};
    }

    static std::array<std::uint8_t, 3> unsmoothed(const std::array<std::uint8_t, 4>& capture) {
        return {capture[2], capture[1], capture[0]};
    }

    static std::array<std::uint8_t, 3> smoothed(const std::array<std::uint8_t, 4>& capture) {
        return {static_cast<std::uint8_t>(capture[2] + 1),
                static_cast<std::uint8_t>(capture[1] + 1),
                static_cast<std::uint8_t>(capture[0] + 1)};
    }

    void reportFace(int x, int y, int width, int height) {
        faceStep.result.faceValid = true;
        faceStep.result.faceX = x;
        faceStep.result.faceY = y;
        faceStep.result.faceWidth = width;
        faceStep.result.faceHeight = height;
    }

    void process() { processFrame(buffers, kSize, settings, {&faceStep, &smoother}, face); }

    FrameBuffers buffers{kSize};
    AppliedSettings settings;
    FaceOutputs face;
    testing::MarkingSmoother smoother;
    testing::ScriptedFaceStep faceStep;
};

TEST_F(FrameProcessorTest, WithSmoothingOffTheFrameIsOnlyPacked) {
    fillCapture(false);
    process();
    EXPECT_EQ(smoother.calls, 0);
    EXPECT_EQ(faceStep.calls, 0);
    EXPECT_EQ(output(0, 0), unsmoothed(kSkin));
    EXPECT_EQ(output(63, 47), unsmoothed(kGrey));
}

TEST_F(FrameProcessorTest, WithoutAFaceTheWholeFrameIsSmoothedOnSkinOnly) {
    fillCapture(false);
    settings.smoothOn = true;
    settings.smoothLevel = 60;
    process();
    EXPECT_EQ(faceStep.calls, 1);
    EXPECT_EQ(faceStep.lastSize, kSize);
    EXPECT_EQ(smoother.calls, 1);
    EXPECT_EQ(smoother.lastLevel, 60);
    EXPECT_EQ(smoother.lastSize, kSize);
    for (int y = 0; y < kSize.height; ++y) {
        EXPECT_EQ(output(0, y), smoothed(kSkin));
        EXPECT_EQ(output(31, y), smoothed(kSkin));
        EXPECT_EQ(output(32, y), unsmoothed(kGrey));
        EXPECT_EQ(output(63, y), unsmoothed(kGrey));
    }
}

TEST_F(FrameProcessorTest, WithAFaceOnlyItsRectangleIsSmoothed) {
    fillCapture(true);
    settings.smoothOn = true;
    reportFace(8, 4, 16, 12);
    process();
    EXPECT_EQ(smoother.lastSize, (FrameSize{16, 12}));
    // In the worker's buffers, which are turned against the face step's coordinates, the
    // rectangle covers columns 40 to 55 and rows 32 to 43.
    for (int y = 0; y < kSize.height; ++y) {
        for (int x = 0; x < kSize.width; ++x) {
            const bool inside = x >= 40 && x < 56 && y >= 32 && y < 44;
            ASSERT_EQ(output(x, y), inside ? smoothed(kSkin) : unsmoothed(kSkin))
                << "column " << x << " row " << y;
        }
    }
}

TEST_F(FrameProcessorTest, AFaceRectangleOutsideTheFrameIsTreatedAsNoFace) {
    fillCapture(true);
    settings.smoothOn = true;
    reportFace(60, 4, 16, 12);
    process();
    EXPECT_EQ(smoother.lastSize, kSize);
    EXPECT_EQ(output(0, 0), smoothed(kSkin));
}

TEST_F(FrameProcessorTest, WithoutASmootherTheFrameIsOnlyPacked) {
    fillCapture(true);
    settings.smoothOn = true;
    processFrame(buffers, kSize, settings, {&faceStep, nullptr}, face);
    EXPECT_EQ(faceStep.calls, 0);
    EXPECT_EQ(output(10, 10), unsmoothed(kSkin));
}

TEST(FrameBuffers, GrowForLargerFrames) {
    FrameBuffers buffers({16, 8});
    const FrameSize large{1920, 1080};
    buffers.reserve(large);
    // Under the address sanitizer, touching the last byte of each buffer proves its size.
    const auto pixels = static_cast<std::size_t>(large.pixels());
    buffers.capture()[pixels * 4 - 1] = 1;
    buffers.work()[pixels * 4 - 1] = 1;
    buffers.output()[pixels * 3 - 1] = 1;
    buffers.turned()[pixels * 3 - 1] = 1;
    buffers.grey()[pixels - 1] = 1;
    buffers.small()[(1920 / 4) * (1080 / 4 + 32) * 3 - 1] = 1;
    SUCCEED();
}

}  // namespace
}  // namespace velvix
