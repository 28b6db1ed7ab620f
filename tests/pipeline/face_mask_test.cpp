#include "velvix/pipeline/face_mask.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <vector>

#include "velvix/pipeline/frame_processor.hpp"

namespace velvix {
namespace {

constexpr FrameSize kFrame{320, 240};

FaceOutputs faceAt(int x, int y, int width, int height, std::optional<FaceLandmarks> landmarks) {
    return {true, x, y, width, height, landmarks, {}, 0};
}

// The face-shaped mask of a face with landmarks is measured on annotated faces by the data
// tests. Without landmarks, or with a fit gone wrong, it is the ellipse in the rectangle (in the
// buffers columns 60 to 259 and rows 40 to 199) with a soft edge of 10 pixels and no features.
TEST(FaceMask, WithoutAUsableFitTheEllipseInTheRectangleFadesOut) {
    EXPECT_FALSE(faceRegionOf(FaceOutputs{}, kFrame));
    EXPECT_FALSE(faceRegionOf(faceAt(400, 20, 100, 100, std::nullopt), kFrame));  // beyond it
    FaceLandmarks broken;  // a spread of points, one of them lost
    for (std::size_t k = 0; k < broken.size(); ++k) {
        broken[k] = {static_cast<float>(20 + k % 10 * 16), static_cast<float>(20 + k / 10 * 16)};
    }
    broken[5].x = std::numeric_limits<float>::quiet_NaN();
    FrameBuffers buffers{kFrame};
    for (const auto& landmarks : {std::optional<FaceLandmarks>{}, std::optional{broken}}) {
        const auto region = faceRegionOf(faceAt(60, 40, 200, 160, landmarks), kFrame);
        ASSERT_TRUE(region);
        EXPECT_EQ(region->bounds.x, 59);
        EXPECT_EQ(region->bounds.width, 202);
        EXPECT_TRUE(std::all_of(region->features.begin(), region->features.end(),
                                [](const FaceOutline& feature) { return feature.count == 0; }));
        std::vector<std::uint8_t> alpha(static_cast<std::size_t>(kFrame.pixels()), 77);
        drawFaceMask(*region, 0, {alpha.data(), {0, 0, kFrame.width, kFrame.height}, kFrame.width},
                     buffers.maskScratch());
        for (int row = 0; row < kFrame.height; ++row) {
            for (int column = 0; column < kFrame.width; ++column) {
                const auto radius = [&](double width, double height) {
                    return std::hypot((column - 159.5) / width, (row - 119.5) / height);
                };
                const std::uint8_t value =
                    alpha[static_cast<std::size_t>(row * kFrame.width + column)];
                if (radius(100, 80) > 1) {
                    ASSERT_EQ(value, 0) << "column " << column << " row " << row;
                }
                if (radius(83, 63) <= 1) {  // well inside, by 1.5 soft edges
                    ASSERT_EQ(value, 255) << "column " << column << " row " << row;
                }
            }
        }
        const std::uint8_t* middle = alpha.data() + 119 * kFrame.width;
        const int firstFull = static_cast<int>(std::find(middle + 60, middle + 160, 255) - middle);
        EXPECT_GE(firstFull, 60 + 9);
        EXPECT_LE(firstFull, 60 + 12);
        EXPECT_TRUE(std::is_sorted(middle + 55, middle + firstFull));
    }
}

}  // namespace
}  // namespace velvix
