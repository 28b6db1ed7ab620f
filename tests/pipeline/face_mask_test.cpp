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
// brows are lines on y = 60; the image-left eye has its corners at (40, 100) and (70, 100), its
// upper lid through (55, 94), its lower lid through (55, 106). Every other point is far off,
// where its feature lies beyond the frame.
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
    for (int k = 0; k < 4; ++k) {
        points[static_cast<std::size_t>(38 + k)] = {40.0f + 10.0f * static_cast<float>(k), 60.0f};
        points[static_cast<std::size_t>(47 + k)] = {130.0f + 10.0f * static_cast<float>(k), 60.0f};
    }
    for (int k = 0; k < 8; ++k) {
        const double angle = std::numbers::pi * k / 4;
        points[static_cast<std::size_t>(60 + k)] = {static_cast<float>(55 - 15 * std::cos(angle)),
                                                    static_cast<float>(100 - 6 * std::sin(angle))};
    }
    return points;
}

// The drawn eye as a polygon in the buffers of a face at faceX, faceY: its eight points and its
// upper lid raised by 0.4 of the way from the lid's mean up to the brow's underside.
std::vector<PointF> drawnEyeInBuffers(int faceX, int faceY) {
    const FaceLandmarks face = drawnFace();
    std::vector<PointF> eye(face.begin() + 60, face.begin() + 68);
    const float lidY = (face[61].y + face[62].y + face[63].y) / 3;
    for (const int k : {61, 62, 63}) {
        const PointF lid = face[static_cast<std::size_t>(k)];
        eye.push_back({lid.x, lid.y + 0.4f * (60.0f - lidY)});
    }
    for (PointF& point : eye) {
        point = {static_cast<float>(kFrame.width - 1 - faceX) - point.x,
                 static_cast<float>(kFrame.height - 1 - faceY) - point.y};
    }
    return eye;
}

std::vector<PointF> polygonOf(const FaceOutline& outline) {
    return {outline.points.begin(), outline.points.begin() + outline.count};
}

// Whether a pixel of the buffers lies within a pixel of the box round a feature's grown
// outline.
bool nearFeature(const FaceRegion& region, int column, int row) {
    return std::any_of(region.features.begin(), region.features.end(), [&](const auto& feature) {
        const auto points = polygonOf(feature);
        const auto [left, right] = std::minmax_element(
            points.begin(), points.end(), [](PointF a, PointF b) { return a.x < b.x; });
        const auto [top, bottom] = std::minmax_element(
            points.begin(), points.end(), [](PointF a, PointF b) { return a.y < b.y; });
        const auto x = static_cast<float>(column);
        const auto y = static_cast<float>(row);
        return !points.empty() && left->x - 1 < x && x < right->x + 1 && top->y - 1 < y &&
               y < bottom->y + 1;
    });
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
    return {true, x, y, width, height, landmarks, {}, 0};
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

// The face follows its outline with a soft edge inside and keeps the eye within its grown
// outline, smoothing again beyond it; laid over the rest of the frame at a floor, it keeps its
// features at zero.
TEST_F(FaceMaskTest, FollowsTheOutlineWithASoftEdgeAndKeepsTheFeatures) {
    const int faceX = 60;
    const int faceY = 20;
    const FaceOutputs face = faceAt(faceX, faceY, 200, 200, drawnFace());
    const auto region = faceRegionOf(face, kFrame);
    ASSERT_TRUE(region);
    const auto alpha = draw(face);
    const auto over = draw(face, 100);
    const auto outline = expectedOutline();
    const auto eye = drawnEyeInBuffers(faceX, faceY);
    // Of the 180 pixels between the jaw's ends, 3 % margin and 5 % soft edge. The square the
    // soft edge is drawn with rounds the forehead's two sharp corners off further than the
    // distance says; it reaches out from the eye's grown outline's rounded corners by up to
    // 1.41 soft edges, and chords cut those corners by up to a pixel, so only this much of the
    // margin is sure to be kept whole everywhere.
    const double margin = 0.03 * 180;
    const double softEdge = 0.05 * 180;
    const double keptWhole = margin + softEdge - softEdge * std::sqrt(2.0) - 1;
    const auto nearCorner = [&](int column, int row) {
        const double x = kFrame.width - 1 - faceX - column;
        const double y = kFrame.height - 1 - faceY - row;
        return std::min(std::hypot(x - 30, y - 1.5), std::hypot(x - 170, y - 1.5)) < 2 * softEdge;
    };
    int outlineRamp = 0;
    int eyeRamp = 0;
    for (int row = 0; row < kFrame.height; ++row) {
        for (int column = 0; column < kFrame.width; ++column) {
            const auto i = static_cast<std::size_t>(row * kFrame.width + column);
            const std::uint8_t value = alpha[i];
            const double outsideEye = -testing::signedDistance(eye, column, row);
            if (outsideEye <= keptWhole) {
                ASSERT_EQ(value, 0) << "column " << column << " row " << row;
                ASSERT_EQ(over[i], 0) << "column " << column << " row " << row;
            } else if (outsideEye < margin + softEdge * std::sqrt(2.0) + 1) {
                ++eyeRamp;
            }
            if (nearFeature(*region, column, row)) {
                continue;
            }
            ASSERT_NEAR(over[i], 100 + (value * 155 + 127) / 255, 1) << "pixel " << i;
            const double depth = testing::signedDistance(outline, kFrame.width - 1 - faceX - column,
                                                         kFrame.height - 1 - faceY - row);
            if (depth < 0) {
                ASSERT_EQ(value, 0) << "column " << column << " row " << row;
            } else if (depth >= softEdge * std::sqrt(2.0) + 1) {
                ASSERT_EQ(value, 255) << "column " << column << " row " << row;
            } else if (!nearCorner(column, row)) {
                ++outlineRamp;
                ASSERT_NEAR(value, 255 * std::min(1.0, depth / softEdge), 36)
                    << "column " << column << " row " << row << " depth " << depth;
            }
        }
    }
    EXPECT_GT(outlineRamp, 4000);  // about 9 pixels along some 600 pixels of outline
    EXPECT_GT(eyeRamp, 500);
    // Straight down the lower lid's middle, (55, 106) in the landmarks, alpha rises steadily
    // from 0 to full over the soft edge: the skin below the eye shows no line.
    const int column = kFrame.width - 1 - faceX - 55;
    const int lidRow = kFrame.height - 1 - faceY - 106;
    std::vector<int> below;
    for (int row = lidRow; row >= lidRow - 30; --row) {
        below.push_back(alpha[static_cast<std::size_t>(row * kFrame.width + column)]);
    }
    EXPECT_TRUE(std::is_sorted(below.begin(), below.end()));
    const auto rising = std::count_if(below.begin(), below.end(),
                                      [](int value) { return 0 < value && value < 255; });
    EXPECT_GE(rising, static_cast<int>(softEdge) - 2);
    EXPECT_EQ(below.back(), 255);
}

// Without landmarks, or with a fit gone wrong, the ellipse in the rectangle (in the buffers
// columns 60 to 259 and rows 40 to 199) with a soft edge of 10 pixels and no features.
TEST_F(FaceMaskTest, WithoutAUsableFitTheEllipseInTheRectangleFadesOut) {
    EXPECT_FALSE(faceRegionOf(FaceOutputs{}, kFrame));
    EXPECT_FALSE(faceRegionOf(faceAt(400, 20, 100, 100, std::nullopt), kFrame));  // beyond it
    FaceLandmarks broken = drawnFace();
    broken[5].x = std::numeric_limits<float>::quiet_NaN();
    for (const auto& landmarks : {std::optional<FaceLandmarks>{}, std::optional{broken}}) {
        const FaceOutputs face = faceAt(60, 40, 200, 160, landmarks);
        const auto region = faceRegionOf(face, kFrame);
        ASSERT_TRUE(region);
        EXPECT_EQ(region->bounds.x, 59);
        EXPECT_EQ(region->bounds.width, 202);
        EXPECT_TRUE(std::all_of(region->features.begin(), region->features.end(),
                                [](const FaceOutline& feature) { return feature.count == 0; }));
        const auto alpha = draw(face);
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
