#include "velvix/face/landmark_fitter.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <memory>

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

TEST(FaceBox, CentresAndHalfSizes) {
    const FaceBox box = FaceBox::fromRectangle(41, 31, 101, 121);
    EXPECT_FLOAT_EQ(box.centreX, 91.5f);
    EXPECT_FLOAT_EQ(box.centreY, 91.5f);
    EXPECT_FLOAT_EQ(box.scaleX, 50.5f);
    EXPECT_FLOAT_EQ(box.scaleY, 60.5f);
}

TEST(LandmarkFitter, ProjectAndReprojectAreInverse) {
    const LandmarkModel model = load(smallModel());
    const LiteMat absolute = reproject(model.meanShape, kBox);
    EXPECT_FLOAT_EQ(absolute.at(0, 0), model.meanShape.at(0, 0) * 50 + 90);
    const LiteMat back = project(absolute, kBox);
    for (int l = 0; l < 10; ++l) {
        EXPECT_NEAR(back.at(l, 0), model.meanShape.at(l, 0), 1e-6);
        EXPECT_NEAR(back.at(l, 1), model.meanShape.at(l, 1), 1e-6);
    }
}

TEST(LandmarkFitter, TheMeanShapeMapsToScaleOneAndNoRotation) {
    const LandmarkModel model = load(smallModel());
    const SimilarityTransform transform = similarityTransform(model.meanShape, model.meanShape);
    EXPECT_NEAR(transform.scale, 1.0f, 1e-6);
    EXPECT_NEAR(transform.rotation.at(0, 0), 1.0f, 1e-6);
    EXPECT_NEAR(transform.rotation.at(0, 1), 0.0f, 1e-6);
    EXPECT_NEAR(transform.rotation.at(1, 0), 0.0f, 1e-6);
    EXPECT_NEAR(transform.rotation.at(1, 1), 1.0f, 1e-6);
}

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

TEST(LandmarkFitter, ThresholdsNoDifferenceReachesSendEveryTreeLeft) {
    ModelFileContents contents = smallModel();
    contents.threshold = [](int, int, int, int) { return 256; };
    const LandmarkModel model = load(contents);
    const GreyImage image(200, 200);
    const LiteMat current = reproject(model.meanShape, kBox);
    const auto transform = similarityTransform(project(current, kBox), model.meanShape);
    const LiteMat features = localBinaryFeatures(model, 0, image.matrix, current, kBox, transform);
    ASSERT_EQ(features.cols(), 40);
    for (int j = 0; j < 40; ++j) {
        EXPECT_EQ(features.intAt(0, j), j * 8);
    }
}

TEST(LandmarkFitter, ThresholdsEveryDifferenceReachesSendEveryTreeRight) {
    ModelFileContents contents = smallModel();
    contents.threshold = [](int, int, int, int) { return -255; };
    const LandmarkModel model = load(contents);
    const GreyImage image(200, 200);
    const LiteMat current = reproject(model.meanShape, kBox);
    const auto transform = similarityTransform(project(current, kBox), model.meanShape);
    const LiteMat features = localBinaryFeatures(model, 1, image.matrix, current, kBox, transform);
    for (int j = 0; j < 40; ++j) {
        EXPECT_EQ(features.intAt(0, j), j * 8 + 7);
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

TEST(LandmarkFitter, WithZeroWeightsTheMeanShapeIsReturnedInTheBox) {
    const LandmarkModel model = load(smallModel());
    const GreyImage image(200, 200);
    const LiteMat shape = fitLandmarks(image.matrix, kBox, model);
    ASSERT_EQ(shape.rows(), 10);
    for (int l = 0; l < 10; ++l) {
        EXPECT_NEAR(shape.at(l, 0), model.meanShape.at(l, 0) * 50 + 90, 1e-3);
        EXPECT_NEAR(shape.at(l, 1), model.meanShape.at(l, 1) * 60 + 90, 1e-3);
    }
}

TEST(LandmarkFitter, AppliesTheRegressedDisplacementOfEachStage) {
    // Every leaf of every tree moves every landmark by 0.01 box units along x, so that each
    // stage (40 trees) moves the shape by 0.4 box units, which is 20 pixels in a 100-wide box.
    ModelFileContents contents = smallModel();
    contents.weight = [](int, int row, int) { return row % 2 == 0 ? 0.01f : 0.0f; };
    const LandmarkModel model = load(contents);
    const GreyImage image(200, 200);
    const LiteMat shape = fitLandmarks(image.matrix, kBox, model);
    for (int l = 0; l < 10; ++l) {
        EXPECT_NEAR(shape.at(l, 0), model.meanShape.at(l, 0) * 50 + 90 + 3 * 20, 1e-2);
        EXPECT_NEAR(shape.at(l, 1), model.meanShape.at(l, 1) * 60 + 90, 1e-2);
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
