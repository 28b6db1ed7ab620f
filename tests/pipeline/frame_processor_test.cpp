#include "velvix/pipeline/frame_processor.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>

#include "fake_steps.hpp"

namespace velvix {
namespace {

constexpr FrameSize kSize{64, 48};
// Capture layout: red, green, blue, alpha.
constexpr std::array<std::uint8_t, 4> kSkin{200, 150, 120, 255};
constexpr std::array<std::uint8_t, 4> kGrey{128, 128, 128, 255};

// The exact per-frame rules of the rectangle mask.
AppliedSettings rectangleMask() {
    AppliedSettings settings;
    settings.maskShape = MaskShape::rectangle;
    return settings;
}

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
        faceStep.result = {true, x, y, width, height, {}, {}, 0};
    }

    void process() { processFrame(buffers, kSize, settings, {&faceStep, &smoother}, face, fade); }

    FrameBuffers buffers{kSize};
    AppliedSettings settings = rectangleMask();
    FaceOutputs face;
    FaceRegionFade fade;
    testing::MarkingSmoother smoother;
    testing::ScriptedFaceStep faceStep;
};

TEST_F(FrameProcessorTest, WithSmoothingOffOrWithoutASmootherTheFrameIsOnlyPacked) {
    fillCapture(false);
    process();
    EXPECT_EQ(smoother.calls, 0);
    EXPECT_EQ(faceStep.calls, 0);
    EXPECT_EQ(output(0, 0), unsmoothed(kSkin));
    EXPECT_EQ(output(63, 47), unsmoothed(kGrey));

    std::fill_n(buffers.output(), kSize.pixels() * 3, std::uint8_t{0});
    settings.smoothOn = true;
    processFrame(buffers, kSize, settings, {&faceStep, nullptr}, face, fade);
    EXPECT_EQ(faceStep.calls, 0);
    EXPECT_EQ(output(0, 0), unsmoothed(kSkin));
}

// Without a face the whole frame is smoothed, on skin only (columns 30 and 31, within two of
// the grey, get back a share of the edge as their finest detail); with a face only its
// rectangle, which in the worker's buffers, turned against the face step's coordinates, covers
// columns 40 to 55 and rows 32 to 43; a rectangle outside the frame counts as no face.
TEST_F(FrameProcessorTest, TheRectangleMaskSmoothsTheFacesRectangleOrTheWholeFrameOnSkin) {
    settings.smoothOn = true;
    settings.smoothLevel = 60;
    fillCapture(false);
    process();
    EXPECT_EQ(faceStep.calls, 1);
    EXPECT_EQ(faceStep.lastSize, kSize);
    EXPECT_EQ(smoother.lastLevel, 60);
    EXPECT_EQ(smoother.lastSize, kSize);
    for (int y = 0; y < kSize.height; ++y) {
        for (const int x : {0, 29, 32, 63}) {
            EXPECT_EQ(output(x, y), x < 30 ? smoothed(kSkin) : unsmoothed(kGrey));
        }
    }

    fillCapture(true);
    reportFace(8, 4, 16, 12);
    process();
    EXPECT_EQ(smoother.lastSize, (FrameSize{16, 12}));
    for (int y = 0; y < kSize.height; ++y) {
        for (int x = 0; x < kSize.width; ++x) {
            const bool inside = x >= 40 && x < 56 && y >= 32 && y < 44;
            ASSERT_EQ(output(x, y), inside ? smoothed(kSkin) : unsmoothed(kSkin))
                << "column " << x << " row " << y;
        }
    }

    fillCapture(true);
    reportFace(60, 4, 16, 12);
    process();
    EXPECT_EQ(smoother.lastSize, kSize);
    EXPECT_EQ(output(0, 0), smoothed(kSkin));
}

// The face-shaped mask (what users get) with a face that has no landmarks: the ellipse in its
// rectangle, nothing around it. The smoother adds 60 to every byte, so that partial smoothing
// shows.
class FaceOutlineTest : public FrameProcessorTest {
  protected:
    FaceOutlineTest() {
        settings.maskShape = MaskShape::faceOutline;
        settings.smoothOn = true;
        smoother.step = 60;
    }

    // How much of the smoothing reached a pixel, 0 to 60, on the next frame.
    int smoothedBy(int x, int y) { return output(x, y)[0] - unsmoothed(kSkin)[0]; }

    struct Frame {
        int face;        // the middle of the rectangle
        int background;  // a pixel far from it
    };
    // Each frame comes fresh from the camera, as the smoother swaps bytes in place.
    Frame next(bool withFace) {
        faceStep.result.faceValid = withFace;
        fillCapture(true);
        process();
        return {smoothedBy(47, 37), smoothedBy(2, 2)};
    }
};

TEST_F(FaceOutlineTest, SmoothsTheEllipseAndALostFaceIsHeldAndFadesIntoTheWholeFrameAndBack) {
    reportFace(8, 4, 32, 24);  // columns 24 to 55 and rows 20 to 43 of the buffers
    const Frame first = next(true);
    EXPECT_EQ(first.face, 60);
    EXPECT_EQ(smoothedBy(30, 31), 60);
    for (int y = 0; y < kSize.height; ++y) {
        for (int x = 0; x < kSize.width; ++x) {
            const double dx = (x - 39.5) / 16;
            const double dy = (y - 31.5) / 12;
            if (dx * dx + dy * dy > 1) {
                ASSERT_EQ(output(x, y), unsmoothed(kSkin)) << "column " << x << " row " << y;
            }
        }
    }
    for (int k = 0; k < FaceRegionFade::kHoldFrames; ++k) {
        const Frame held = next(false);
        EXPECT_EQ(held.face, 60);
        EXPECT_EQ(held.background, 0) << "frame " << k << " of the hold";
    }
    int background = 0;
    for (int k = 0; k < FaceRegionFade::kFadeInFrames; ++k) {
        const Frame fading = next(false);
        EXPECT_EQ(fading.face, 60);
        EXPECT_GT(fading.background, background) << "frame " << k << " of the fade";
        background = fading.background;
    }
    EXPECT_EQ(background, 60);
    EXPECT_EQ(next(false).background, 60);
    EXPECT_EQ(smoother.lastSize, kSize);
    for (int k = 0; k < FaceRegionFade::kFadeOutFrames; ++k) {
        const Frame back = next(true);
        EXPECT_EQ(back.face, 60);
        EXPECT_LT(back.background, background) << "frame " << k << " with the face back";
        background = back.background;
    }
    EXPECT_EQ(background, 0);
    EXPECT_LT(smoother.lastSize.width, kSize.width);  // only the face's area again
}

TEST_F(FaceOutlineTest, AFreshStartTakesTheFirstFramesOwnAnswer) {
    reportFace(8, 4, 32, 24);
    EXPECT_EQ(next(false).background, 60);  // no face: the whole frame at once
    settings.smoothOn = false;
    next(true);
    settings.smoothOn = true;
    const Frame first = next(true);  // a face: only the face at once
    EXPECT_EQ(first.face, 60);
    EXPECT_EQ(first.background, 0);
}

}  // namespace
}  // namespace velvix
