#include <gtest/gtest.h>

#include "lbf_trainer.hpp"
#include "webcam_faces.hpp"

namespace velvix::train {
namespace {

TEST(TrainOnAnnotatedFaces, TwoStagesBeatTheMeanShapeOnTestFaces) {
    const auto trainFolder = testing::faceDataFolder("landmarks68/train");
    const auto testFolder = testing::faceDataFolder("landmarks68/test");
    if (!trainFolder || !testFolder) {
        GTEST_SKIP() << "../shared/data/landmarks68 is not here";
    }
    const auto training = readFaceFolder(*trainFolder, 100);
    const auto test = readFaceFolder(*testFolder, 50);
    ASSERT_EQ(training.size(), 100u);
    ASSERT_EQ(test.size(), 50u);
    TrainingOptions options = TrainingOptions::from(LandmarkParams{});
    options.stages = 2;
    options.initialShapes = 5;
    const LandmarkModel model = trainLandmarkModel(training, {}, options, nullptr, nullptr);
    const float meanShape = meanShapeError(model, test);
    const float fitted = meanFitError(model, test);
    std::printf("normalised mean error on 50 test faces: mean shape %.4f, two stages %.4f\n",
                meanShape, fitted);
    EXPECT_LT(fitted, meanShape);
}

}  // namespace
}  // namespace velvix::train
