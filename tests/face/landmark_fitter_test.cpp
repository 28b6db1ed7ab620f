#include "velvix/face/landmark_fitter.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <memory>
#include <tuple>

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

ModelFileContents smallModel() {
    ModelFileContents contents;
    contents.stages = 3;
    contents.trees = 4;
    contents.depth = 4;
    contents.landmarks = 10;
    return contents;
}

// A grey picture with a gradient, so that different positions read different values.
struct GreyImage {
    GreyImage(int width, int height) : pixels(static_cast<std::size_t>(width * height)) {
        for (int y = 0; y < height; ++y) {
            for (int x = 0; x < width; ++x) {
                pixels[static_cast<std::size_t>(y * width + x)] =
                    static_cast<std::uint8_t>((x * 3 + y * 5) % 256);
            }
        }
        matrix = LiteMat::external(LiteMat::kUint8, height, width, pixels.data());
    }
    std::vector<std::uint8_t> pixels;
    LiteMat matrix;
};

const FaceBox kBox = FaceBox::fromRectangle(40, 30, 100, 120);

TEST(LandmarkFitter, FindsTheScaleAndRotationBetweenShapes) {
    const LandmarkModel model = load(smallModel());
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

// Leaf numbers run on through the trees, 8 per tree of depth 4: a threshold no difference
// reaches sends every tree to its first leaf, one every difference reaches to its last.
TEST(LandmarkFitter, ThresholdsChooseTheLeafOfEveryTree) {
    for (const auto& [threshold, stage, leaf] : {std::tuple{256, 0, 0}, {-255, 1, 7}}) {
        ModelFileContents contents = smallModel();
        contents.threshold = [threshold](int, int, int, int) { return threshold; };
        const LandmarkModel model = load(contents);
        const GreyImage image(200, 200);
        const LiteMat current = reproject(model.meanShape, kBox);
        const auto transform = similarityTransform(project(current, kBox), model.meanShape);
        const LiteMat features =
            localBinaryFeatures(model, stage, image.matrix, current, kBox, transform);
        ASSERT_EQ(features.cols(), 40);
        for (int j = 0; j < 40; ++j) {
            EXPECT_EQ(features.intAt(0, j), j * 8 + leaf) << "threshold " << threshold;
        }
    }
}

TEST(LandmarkFitter, SamplesOutsideTheImageReadItsEdges) {
    // Offsets reach far left and far right of the face: the left sample reads column 0, the
    // right one the last column. With the gradient x * 3 the difference is negative, so a
    // threshold of -1 sends the tree left at every node.
    ModelFileContents contents = smallModel();
    contents.feature = [](int, int, int, int) { return std::array<float, 4>{-50, 0, 50, 0}; };
    contents.threshold = [](int, int, int, int) { return -1; };
    const LandmarkModel model = load(contents);
    GreyImage image(20, 20);
    for (int y = 0; y < 20; ++y) {
        for (int x = 0; x < 20; ++x) {
            image.pixels[static_cast<std::size_t>(y * 20 + x)] = x == 0 ? 0 : (x == 19 ? 200 : 100);
        }
    }
    const FaceBox box = FaceBox::fromRectangle(5, 5, 10, 10);
    const LiteMat current = reproject(model.meanShape, box);
    const auto transform = similarityTransform(project(current, box), model.meanShape);
    const LiteMat features = localBinaryFeatures(model, 0, image.matrix, current, box, transform);
    for (int j = 0; j < 40; ++j) {
        EXPECT_EQ(features.intAt(0, j), j * 8);  // 0 - 200 < -1 at every node
    }
}

// With zero weights the mean shape comes back in the box. With every leaf of every tree
// moving every landmark by 0.01 box units along x, each stage (40 trees) moves the shape by 0.4
// box units, which is 20 pixels in a 100-wide box.
TEST(LandmarkFitter, AppliesTheRegressedDisplacementOfEachStage) {
    for (const float weight : {0.0f, 0.01f}) {
        ModelFileContents contents = smallModel();
        contents.weight = [weight](int, int row, int) { return row % 2 == 0 ? weight : 0.0f; };
        const LandmarkModel model = load(contents);
        const GreyImage image(200, 200);
        const LiteMat shape = fitLandmarks(image.matrix, kBox, model);
        ASSERT_EQ(shape.rows(), 10);
        const float shift = weight * 40 * 50 * 3;
        for (int l = 0; l < 10; ++l) {
            EXPECT_NEAR(shape.at(l, 0), model.meanShape.at(l, 0) * 50 + 90 + shift, 1e-2);
            EXPECT_NEAR(shape.at(l, 1), model.meanShape.at(l, 1) * 60 + 90, 1e-2);
        }
    }
}

TEST(LandmarkFitter, DepthOneReadsNoPixels) {
    ModelFileContents contents = smallModel();
    contents.depth = 1;
    const LandmarkModel model = load(contents);
    std::uint8_t onePixel = 0;
    const LiteMat image = LiteMat::external(LiteMat::kUint8, 1, 1, &onePixel);
    const LiteMat current = reproject(model.meanShape, kBox);
    const auto transform = similarityTransform(project(current, kBox), model.meanShape);
    const LiteMat features = localBinaryFeatures(model, 0, image, current, kBox, transform);
    for (int j = 0; j < 40; ++j) {
        EXPECT_EQ(features.intAt(0, j), j);
    }
}

}  // namespace
}  // namespace velvix
