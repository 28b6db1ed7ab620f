#include "velvix/pipeline/frame_processor.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <limits>
#include <utility>

#include "fake_steps.hpp"

namespace velvix {
namespace {

constexpr FrameSize kSize{64, 48};
using Pixel = std::array<std::uint8_t, 3>;
// Capture layout: red, green, blue, alpha.
constexpr std::array<std::uint8_t, 4> kSkin{200, 150, 120, 255};
constexpr Pixel kUnsmoothedSkin{120, 150, 200};  // the frame layout: blue, green, red

class FrameProcessorTest : public ::testing::Test {
  protected:
    // A frame of skin fresh from the camera (the smoother swaps bytes in place), processed with
    // the face the face step reports.
    void process() {
        for (std::size_t i = 0; i < static_cast<std::size_t>(kSize.pixels()); ++i) {
            std::copy(kSkin.begin(), kSkin.end(), buffers.capture() + i * 4);
        }
        processFrame(buffers, kSize, settings, {&faceStep, &smoother}, face, fade);
    }
    Pixel output(int x, int y) {
        const std::uint8_t* pixel =
            buffers.output() + (static_cast<std::size_t>(y) * kSize.width + x) * 3;
        return {pixel[0], pixel[1], pixel[2]};
    }
    // How much of the smoother's step reached a pixel of skin.
    int smoothedBy(int x, int y) { return output(x, y)[0] - kUnsmoothedSkin[0]; }

    FrameBuffers buffers{kSize};
    AppliedSettings settings;
    FaceOutputs face;
    FaceRegionFade fade;
    testing::MarkingSmoother smoother;
    testing::ScriptedFaceStep faceStep;
};

// The face-shaped mask with a face without landmarks, or with a broken fit: the ellipse in its
// rectangle, nothing around it (fitted faces are the data tests'). A face lost is held, then the
// whole frame fades in, and out when the face is back; a fresh start takes the first frame's own
// answer. The smoother adds 60 to every byte, so that partial smoothing shows.
TEST_F(FrameProcessorTest, TheEllipseIsSmoothedAndALostFaceIsHeldAndFadesIntoTheWholeFrame) {
    smoother.step = 60;
    faceStep.result = {true, 8, 4, 32, 24, {}, {}, 0};  // columns 24 to 55, rows 20 to 43
    process();
    EXPECT_EQ(smoother.calls + faceStep.calls, 0);
    EXPECT_EQ(output(47, 37), kUnsmoothedSkin);
    settings.smoothOn = true;
    FaceLandmarks broken;  // a fit gone wrong: the same ellipse
    for (std::size_t k = 0; k < broken.size(); ++k) {
        broken[k] = {static_cast<float>(k % 10 * 3), static_cast<float>(k / 10 * 2)};
    }
    broken[5].x = std::numeric_limits<float>::quiet_NaN();
    for (const auto& landmarks : {std::optional<FaceLandmarks>{}, std::optional{broken}}) {
        faceStep.result.faceLandmarks = landmarks;
        process();
        EXPECT_EQ(smoothedBy(39, 31), 60);
        for (int y = 0; y < kSize.height; ++y) {
            for (int x = 0; x < kSize.width; ++x) {
                if (std::hypot((x - 39.5) / 16, (y - 31.5) / 12) > 1) {
                    ASSERT_EQ(output(x, y), kUnsmoothedSkin) << "column " << x << " row " << y;
                }
            }
        }
    }
    faceStep.result.faceLandmarks.reset();
    // The face in the middle of the rectangle, the background far from it, frame by frame.
    const auto next = [&](bool withFace) {
        faceStep.result.faceValid = withFace;
        process();
        EXPECT_EQ(smoothedBy(47, 37), settings.smoothOn ? 60 : 0);
        return smoothedBy(2, 2);
    };
    for (int k = 0; k < FaceRegionFade::kHoldFrames; ++k) {
        EXPECT_EQ(next(false), 0) << "frame " << k << " of the hold";
    }
    int background = 0;
    for (int k = 0; k < FaceRegionFade::kFadeInFrames; ++k) {
        const int now = next(false);
        EXPECT_GT(now, std::exchange(background, now)) << "frame " << k << " of the fade";
    }
    EXPECT_EQ(background, 60);
    EXPECT_EQ(smoother.lastSize, kSize);
    for (int k = 0; k < FaceRegionFade::kFadeOutFrames; ++k) {
        const int now = next(true);
        EXPECT_LT(now, std::exchange(background, now)) << "frame " << k << " with the face back";
    }
    EXPECT_EQ(background, 0);
    EXPECT_LT(smoother.lastSize.width, kSize.width);  // only the face's area again

    settings.smoothOn = false;
    next(true);
    settings.smoothOn = true;
    EXPECT_EQ(next(false), 60);  // no face: the whole frame at once
    settings.smoothOn = false;
    next(false);
    settings.smoothOn = true;
    EXPECT_EQ(next(true), 0);  // a face: only the face at once
}

}  // namespace
}  // namespace velvix
