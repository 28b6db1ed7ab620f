#include "velvix/face/landmark_fitter.hpp"

#include <gtest/gtest.h>

#include <cmath>

#include "model_file.hpp"

namespace velvix {
namespace {

using testing::ModelFileContents;

LandmarkModel load(const ModelFileContents& contents) {
    std::FILE* file = testing::temporaryFile(testing::serialiseModel(contents));
    LandmarkModel model;
    LandmarkParams params;
    const auto loaded = loadLandmarkModel(file, model, params);
    std::fclose(file);
    EXPECT_TRUE(loaded) << loaded.error();
    return model;
}

ModelFileContents smallModel(int depth) {
    ModelFileContents contents;
    contents.stages = 3;
    contents.trees = 4;
    contents.depth = depth;
    contents.landmarks = 10;
    return contents;
}

// A 20 x 20 grey picture: 0 in its first column, 200 in its last and 100 between; the face's
// box lies in its middle.
std::vector<std::uint8_t> edgedPicture() {
    std::vector<std::uint8_t> pixels(20 * 20, 100);
    for (int y = 0; y < 20; ++y) {
        pixels[static_cast<std::size_t>(y * 20)] = 0;
        pixels[static_cast<std::size_t>(y * 20 + 19)] = 200;
    }
    return pixels;
}
const FaceBox kBox = FaceBox::fromRectangle(5, 5, 10, 10);

TEST(LandmarkFitter, FindsTheScaleAndRotationBetweenShapes) {
    const LandmarkModel model = load(smallModel(4));
    // The mean shape turned by 30 degrees and made twice as large.
    const float angle = 3.14159265f / 6;
    LiteMat turned(LiteMat::kFloat32, 10, 2);
    for (int l = 0; l < 10; ++l) {
        const float x = model.meanShape.at(l, 0);
        const float y = model.meanShape.at(l, 1);
        turned.at(l, 0) = 2 * (std::cos(angle) * x - std::sin(angle) * y) + 0.3f;
        turned.at(l, 1) = 2 * (std::sin(angle) * x + std::cos(angle) * y) - 0.1f;
    }
    const SimilarityTransform transform = similarityTransform(turned, model.meanShape);
    EXPECT_NEAR(transform.scale, 2.0f, 1e-4);
    // R carries directions from the mean shape's frame into the turned shape's frame.
    EXPECT_NEAR(transform.rotation.at(1, 0), std::sin(angle), 1e-4);
    EXPECT_NEAR(transform.rotation.at(0, 0), std::cos(angle), 1e-4);
}

// Leaf numbers run on through the 40 trees, 2^(depth - 1) per tree. A split sends a tree left
// where the difference of its two samples is below the threshold.
TEST(LandmarkFitter, ThresholdsAndSamplesChooseTheLeafOfEveryTree) {
    struct Case {
        const char* what;
        int depth;
        int stage;
        int threshold;
        std::array<float, 4> feature;  // x1, y1, x2, y2 in box units
        int leaf;
    };
    for (const Case& c : {
             Case{"a threshold no difference reaches", 4, 0, 256, {0.1f, 0, -0.1f, 0}, 0},
             Case{"one every difference reaches", 4, 1, -255, {0.1f, 0, -0.1f, 0}, 7},
             // Far left and far right of the face: column 0 and the last column, 0 - 200.
             Case{"samples outside the picture read its edges", 4, 0, -1, {-50, 0, 50, 0}, 0},
             // A single pixel (the address sanitizer sees any read past it).
             Case{"depth one reads no pixels", 1, 0, 0, {-50, 0, 50, 0}, 0},
         }) {
        ModelFileContents contents = smallModel(c.depth);
        contents.threshold = [&c](int, int, int, int) { return c.threshold; };
        contents.feature = [&c](int, int, int, int) { return c.feature; };
        const LandmarkModel model = load(contents);
        std::vector<std::uint8_t> pixels = edgedPicture();
        const int side = c.depth == 1 ? 1 : 20;
        const LiteMat image = LiteMat::external(LiteMat::kUint8, side, side, pixels.data());
        const LiteMat current = reproject(model.meanShape, kBox);
        const auto transform = similarityTransform(project(current, kBox), model.meanShape);
        const LiteMat features =
            localBinaryFeatures(model, c.stage, image, current, kBox, transform);
        ASSERT_EQ(features.cols(), 40) << c.what;
        const int leaves = 1 << (c.depth - 1);
        for (int j = 0; j < 40; ++j) {
            EXPECT_EQ(features.intAt(0, j), j * leaves + c.leaf) << c.what;
        }
    }
}

// With zero weights the mean shape comes back in the box. With every leaf of every tree moving
// every landmark by 0.01 box units along x, each of the 3 stages (40 trees) moves the shape by
// 0.4 box units, which is 2 pixels in a 10-wide box.
TEST(LandmarkFitter, AppliesTheRegressedDisplacementOfEachStage) {
    for (const float weight : {0.0f, 0.01f}) {
        ModelFileContents contents = smallModel(4);
        contents.weight = [weight](int, int row, int) { return row % 2 == 0 ? weight : 0.0f; };
        const LandmarkModel model = load(contents);
        std::vector<std::uint8_t> pixels = edgedPicture();
        const LiteMat image = LiteMat::external(LiteMat::kUint8, 20, 20, pixels.data());
        const LiteMat shape = fitLandmarks(image, kBox, model);
        ASSERT_EQ(shape.rows(), 10);
        for (int l = 0; l < 10; ++l) {
            EXPECT_NEAR(shape.at(l, 0), model.meanShape.at(l, 0) * 5 + 10 + weight * 40 * 5 * 3,
                        1e-3);
            EXPECT_NEAR(shape.at(l, 1), model.meanShape.at(l, 1) * 5 + 10, 1e-3);
        }
    }
}

}  // namespace
}  // namespace velvix
