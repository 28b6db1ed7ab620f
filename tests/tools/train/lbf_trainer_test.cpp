#include "lbf_trainer.hpp"

#include <gtest/gtest.h>

#include <cstring>

#include "augmentation.hpp"
#include "drawn_faces.hpp"
#include "model_writer.hpp"
#include "velvix/face/landmark_fitter.hpp"

namespace velvix::train {
namespace {

TrainingOptions smallOptions(int stages) {
    TrainingOptions options;
    options.stages = stages;
    options.trees = 4;
    options.depth = 4;
    options.initialShapes = 4;
    options.featuresPerStage = {200, 150};
    options.radiusPerStage = {0.3f, 0.15f};
    options.regularisation = 1.0;
    return options;
}

struct TrainedOnDrawnFaces : ::testing::Test {
    static void SetUpTestSuite() {
        std::mt19937 random(11);
        training = testing::drawnFaces(80, random);
        heldOut = testing::drawnFaces(30, random);
        model = trainLandmarkModel(training, heldOut, smallOptions(2), nullptr,
                                   [](const StageSummary& s) { summaries.push_back(s); });
    }
    static inline std::vector<TrainingFace> training;
    static inline std::vector<TrainingFace> heldOut;
    static inline LandmarkModel model;
    static inline std::vector<StageSummary> summaries;
};

TEST_F(TrainedOnDrawnFaces, EachStageLowersTheHeldOutError) {
    const float start = meanShapeError(model, heldOut);
    ASSERT_EQ(summaries.size(), 2u);
    EXPECT_LT(summaries[0].validationError, start * 0.8f);
    EXPECT_LT(summaries[1].validationError, summaries[0].validationError);
    EXPECT_LT(summaries[1].trainingError, summaries[0].trainingError);
    // The summary follows the stages the way a complete fit runs them.
    EXPECT_NEAR(meanFitError(model, heldOut), summaries[1].validationError, 1e-4f);
}

TEST_F(TrainedOnDrawnFaces, WrittenModelLoadsBackUnchanged) {
    std::FILE* file = std::tmpfile();
    ASSERT_TRUE(writeLandmarkModel(file, model));
    EXPECT_EQ(static_cast<std::uint64_t>(std::ftell(file)),
              modelFileBytes(2, 4, 4, 98).value_or(0));
    std::rewind(file);
    LandmarkModel loaded;
    LandmarkParams params;
    const auto read = loadLandmarkModel(file, loaded, params);
    std::fclose(file);
    ASSERT_TRUE(read) << read.error();
    EXPECT_EQ(params.trees, 4);
    EXPECT_EQ(params.depth, 4);
    ASSERT_EQ(loaded.stages, 2);
    EXPECT_EQ(std::memcmp(loaded.meanShape.data(), model.meanShape.data(), 98 * 2 * 4), 0);
    for (std::size_t stage = 0; stage < 2; ++stage) {
        const LiteMat& w = model.weights[stage];
        const LiteMat& back = loaded.weights[stage];
        ASSERT_EQ(back.rows(), w.rows());
        ASSERT_EQ(back.cols(), w.cols());
        EXPECT_EQ(
            std::memcmp(back.data(), w.data(), static_cast<std::size_t>(w.rows()) * w.cols() * 4),
            0);
    }
    // The trees: every held-out face is fitted to the same bits by both.
    for (const TrainingFace& face : heldOut) {
        const LiteMat a = fitLandmarks(face.image.view(), face.box, model);
        const LiteMat b = fitLandmarks(face.image.view(), face.box, loaded);
        EXPECT_EQ(std::memcmp(a.data(), b.data(), 98 * 2 * 4), 0);
    }
}

// Mirrored or turned, each point stays on its drawn spot; mirrored twice, the face is as it was,
// and the image-left outer eye corner is where the image-right one was.
TEST(Augmentation, MirroredAndTurnedFacesKeepEachPointOnItsSpot) {
    std::mt19937 random(3);
    const TrainingFace face = testing::drawnFaces(1, random).front();
    const TrainingFace once = mirroredFace(face);
    const TrainingFace twice = mirroredFace(once);
    EXPECT_EQ(twice.image.pixels, face.image.pixels);
    for (std::size_t k = 0; k < 98; ++k) {
        EXPECT_FLOAT_EQ(twice.points[k].x, face.points[k].x);
    }
    EXPECT_FLOAT_EQ(once.points[60].x,
                    static_cast<float>(face.image.width - 1) - face.points[72].x);
    EXPECT_FLOAT_EQ(once.points[60].y, face.points[72].y);
    for (const auto& [changed, darkest] : {std::pair{once, 100}, {rotatedFace(face, 10.0f), 110}}) {
        for (std::size_t k = 0; k < 98; ++k) {
            const Point& p = changed.points[k];
            EXPECT_LT(changed.image.at(static_cast<int>(p.x + 0.5f), static_cast<int>(p.y + 0.5f)),
                      darkest)
                << k;
        }
    }
}

TEST(ParallelFor, RunsEveryIndexOnce) {
    std::vector<int> counts(1000, 0);
    parallelFor(1000, 2, [&](int k) { ++counts[static_cast<std::size_t>(k)]; });
    EXPECT_EQ(std::count(counts.begin(), counts.end(), 1), 1000);
}

}  // namespace
}  // namespace velvix::train
