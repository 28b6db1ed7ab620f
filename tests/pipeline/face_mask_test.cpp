#include "velvix/pipeline/face_mask.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <numbers>
#include <vector>

#include "outline_distance.hpp"
#include "velvix/pipeline/frame_processor.hpp"
#include "velvix/platform/cpu_info.hpp"

namespace velvix {
namespace {

constexpr FrameSize kFrame{320, 240};

// A face in the turned, rectangle-relative coordinates of the landmarks: the jaw is the lower
// half of an ellipse round (100, 80) with radii 90 and 110, so the chin is at (100, 190); both
// upper brow edges lie on y = 60. Every other point is far off, which leaves all feature
// boxes empty.
FaceLandmarks drawnFace() {
    FaceLandmarks points{};
    for (auto& point : points) {
        point = {-100.0f, -100.0f};
    }
    for (int k = 0; k <= 32; ++k) {
        const double angle = std::numbers::pi * k / 32;
        points[static_cast<std::size_t>(k)] = {static_cast<float>(100 - 90 * std::cos(angle)),
                                               static_cast<float>(80 + 110 * std::sin(angle))};
    }
    for (int k = 0; k < 5; ++k) {
        points[static_cast<std::size_t>(33 + k)] = {30.0f + 12.5f * static_cast<float>(k), 60.0f};
        points[static_cast<std::size_t>(42 + k)] = {120.0f + 12.5f * static_cast<float>(k), 60.0f};
    }
    return points;
}

// The same face with feature box 1 (image-left eye and brow) at 30 < u < 90 and 60 < v < 110.
FaceLandmarks drawnFaceWithEyeBox() {
    FaceLandmarks landmarks = drawnFace();
    landmarks[51] = {100.0f, 70.0f};
    landmarks[64] = {80.0f, 90.0f};
    landmarks[66] = {55.0f, 95.0f};
    landmarks[40] = {55.0f, 65.0f};
    return landmarks;
}

// Raised by 0.45 of the 130 pixels from the brows to the chin, the brows close the jaw at
// y = 1.5.
std::vector<PointF> expectedOutline() {
    const FaceLandmarks face = drawnFace();
    std::vector<PointF> outline(face.begin(), face.begin() + 33);
    outline.push_back({170.0f, 1.5f});
    outline.push_back({30.0f, 1.5f});
    return outline;
}

FaceOutputs faceAt(int x, int y, int width, int height, std::optional<FaceLandmarks> landmarks) {
    FaceOutputs face;
    face.faceValid = true;
    face.faceX = x;
    face.faceY = y;
    face.faceWidth = width;
    face.faceHeight = height;
    face.faceLandmarks = landmarks;
    return face;
}

class FaceMaskTest : public ::testing::Test {
  protected:
    // The mask of the face over the whole frame, indexed by column and row of the worker's
    // buffers.
    std::vector<std::uint8_t> draw(const FaceOutputs& face, std::uint8_t floor = 0) {
        const auto region = faceRegionOf(face, kFrame);
        EXPECT_TRUE(region.has_value());
        std::vector<std::uint8_t> alpha(static_cast<std::size_t>(kFrame.pixels()), 77);
        if (region) {
            drawFaceMask(*region, floor,
                         {alpha.data(), {0, 0, kFrame.width, kFrame.height}, kFrame.width},
                         buffers.maskScratch());
        }
        return alpha;
    }

    FrameBuffers buffers{kFrame};
};

TEST_F(FaceMaskTest, FollowsTheFaceOutlineWithASoftEdgeInsideAndSparesTheFeatureBoxes) {
    const int faceX = 60;
    const int faceY = 20;
    const auto alpha = draw(faceAt(faceX, faceY, 200, 200, drawnFaceWithEyeBox()));
    const double softEdge = 0.05 * 180;  // of the distance between the jaw's ends
    const auto outline = expectedOutline();
    // The square the soft edge is drawn with rounds the forehead's two sharp corners off
    // further than the distance says.
    const auto nearCorner = [&](int column, int row) {
        const double x = kFrame.width - 1 - faceX - column;
        const double y = kFrame.height - 1 - faceY - row;
        return std::min(std::hypot(x - 30, y - 1.5), std::hypot(x - 170, y - 1.5)) < 2 * softEdge;
    };
    int ramp = 0;
    for (int row = 0; row < kFrame.height; ++row) {
        for (int column = 0; column < kFrame.width; ++column) {
            const std::uint8_t value = alpha[static_cast<std::size_t>(row * kFrame.width + column)];
            // The feature boxes measure u and v from the rectangle's far corner.
            const int u = kFrame.width - faceX - column;
            const int v = kFrame.height - faceY - row;
            if (30 < u && u < 90 && 60 < v && v < 110) {
                ASSERT_EQ(value, 0) << "column " << column << " row " << row;
                continue;
            }
            const double depth = testing::signedDistance(outline, kFrame.width - 1 - faceX - column,
                                                         kFrame.height - 1 - faceY - row);
            if (depth < 0) {
                ASSERT_EQ(value, 0) << "column " << column << " row " << row;
            } else if (depth >= softEdge * std::sqrt(2.0) + 1) {
                ASSERT_EQ(value, 255) << "column " << column << " row " << row;
            } else if (!nearCorner(column, row)) {
                ++ramp;
                ASSERT_NEAR(value, 255 * std::min(1.0, depth / softEdge), 36)
                    << "column " << column << " row " << row << " depth " << depth;
            }
        }
    }
    EXPECT_GT(ramp, 4000);  // about 9 pixels along some 600 pixels of outline
}

TEST_F(FaceMaskTest, WithoutLandmarksTheEllipseInTheRectangleFadesOut) {
    const auto alpha = draw(faceAt(60, 40, 200, 160, std::nullopt));
    // In the buffers the rectangle spans columns 60 to 259 and rows 40 to 199.
    const double centreX = 159.5;
    const double centreY = 119.5;
    for (int row = 0; row < kFrame.height; ++row) {
        for (int column = 0; column < kFrame.width; ++column) {
            const double dx = (column - centreX) / 100.0;
            const double dy = (row - centreY) / 80.0;
            const std::uint8_t value = alpha[static_cast<std::size_t>(row * kFrame.width + column)];
            if (dx * dx + dy * dy > 1) {
                ASSERT_EQ(value, 0) << "column " << column << " row " << row;
            }
            // Well inside the ellipse shrunk by 1.5 soft edges of 10 pixels: all smoothed.
            const double ix = (column - centreX) / 83.0;
            const double iy = (row - centreY) / 63.0;
            if (ix * ix + iy * iy <= 1) {
                ASSERT_EQ(value, 255) << "column " << column << " row " << row;
            }
        }
    }
    // Along the middle row the soft edge rises steadily over about 10 pixels.
    const std::uint8_t* middle = alpha.data() + 119 * kFrame.width;
    EXPECT_EQ(middle[59], 0);
    const int firstFull = static_cast<int>(std::find(middle + 60, middle + 160, 255) - middle);
    EXPECT_GE(firstFull, 60 + 9);
    EXPECT_LE(firstFull, 60 + 12);
    EXPECT_TRUE(std::is_sorted(middle + 55, middle + firstFull));
}

TEST_F(FaceMaskTest, LaysTheFaceOverTheRestOfTheFrameAndKeepsItsFeatureBoxesAtZero) {
    const FaceOutputs face = faceAt(60, 20, 200, 200, drawnFaceWithEyeBox());
    const auto alone = draw(face);
    const auto over = draw(face, 100);
    for (std::size_t i = 0; i < alone.size(); ++i) {
        const int expected = 100 + (alone[i] * 155 + 127) / 255;
        const bool inBox = alone[i] == 0 && over[i] == 0;
        if (!inBox) {
            ASSERT_NEAR(over[i], expected, 1) << "pixel " << i;
        }
    }
    // A pixel of the box (u = 60, v = 85): column 200, row 135.
    EXPECT_EQ(over[135 * kFrame.width + 200], 0);
    EXPECT_EQ(over[0], 100);
}

TEST(FaceRegion, ComesFromAnAcceptedFaceThatMeetsTheFrame) {
    EXPECT_FALSE(faceRegionOf(FaceOutputs{}, kFrame));
    EXPECT_FALSE(faceRegionOf(faceAt(60, 20, 0, 200, std::nullopt), kFrame));
    // A rectangle wholly beyond the frame.
    EXPECT_FALSE(faceRegionOf(faceAt(400, 20, 100, 100, std::nullopt), kFrame));

    // A fit gone wrong falls back to the rectangle's ellipse.
    FaceLandmarks broken = drawnFace();
    broken[5].x = std::numeric_limits<float>::quiet_NaN();
    const auto region = faceRegionOf(faceAt(60, 20, 200, 160, broken), kFrame);
    ASSERT_TRUE(region);
    // The ellipse touches the rectangle's sides, columns 60 and 259 in the buffers.
    EXPECT_EQ(region->bounds.x, 59);
    EXPECT_EQ(region->bounds.width, 202);
    EXPECT_TRUE(std::all_of(region->protectedAreas.begin(), region->protectedAreas.end(),
                            [](const PixelArea& area) { return area.empty(); }));
}

}  // namespace
}  // namespace velvix
