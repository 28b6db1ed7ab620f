#include "lbf_trainer.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <iterator>
#include <random>

#include "augmentation.hpp"
#include "model_writer.hpp"
#include "velvix/face/landmark_fitter.hpp"

namespace velvix::train {
namespace {

constexpr int kSide = 160;

// A face whose landmarks are known: the 98 points of a 10 x 10 grid, moved, scaled and turned a
// little at random, each drawn as a dark spot on a light ground; its box lies a little
// off the points, as a detector's would.
TrainingFace drawnFace(std::mt19937& random) {
    using Uniform = std::uniform_real_distribution<float>;
    std::normal_distribution<float> wobble(0.0f, 0.01f);
    const float scale = Uniform(48.0f, 56.0f)(random);
    const float angle = Uniform(-0.15f, 0.15f)(random);
    const float centreX = kSide / 2.0f + Uniform(-6.0f, 6.0f)(random);
    const float centreY = kSide / 2.0f + Uniform(-6.0f, 6.0f)(random);
    TrainingFace face{
        "drawn", {kSide, kSide, std::vector<std::uint8_t>(kSide * kSide, 200)}, {}, {}};
    for (int k = 0; k < 98; ++k) {
        const float x = -0.9f + 0.2f * static_cast<float>(k % 10) + wobble(random);
        const float y = -0.9f + 0.2f * static_cast<float>(k / 10) + wobble(random);
        face.points.push_back({centreX + scale * (std::cos(angle) * x - std::sin(angle) * y),
                               centreY + scale * (std::sin(angle) * x + std::cos(angle) * y)});
    }
    for (const Point& p : face.points) {
        for (int y = std::max(0, int(p.y) - 3); y <= std::min(kSide - 1, int(p.y) + 3); ++y) {
            for (int x = std::max(0, int(p.x) - 3); x <= std::min(kSide - 1, int(p.x) + 3); ++x) {
                const float distance = std::hypot(float(x) - p.x, float(y) - p.y);
                auto& pixel = face.image.pixels[static_cast<std::size_t>(y * kSide + x)];
                pixel = std::min(pixel, std::uint8_t(std::clamp(distance * 60.0f, 20.0f, 255.0f)));
            }
        }
    }
    const FaceBox tight = boxAroundPoints(face.points);
    const float width = tight.width * Uniform(0.94f, 1.06f)(random);
    const float height = tight.height * Uniform(0.94f, 1.06f)(random);
    face.box = FaceBox::fromRectangle(
        tight.centreX + Uniform(-0.04f, 0.04f)(random) * tight.width - width / 2,
        tight.centreY + Uniform(-0.04f, 0.04f)(random) * tight.height - height / 2, width, height);
    return face;
}

std::vector<TrainingFace> drawnFaces(int count, std::mt19937& random) {
    std::vector<TrainingFace> faces;
    std::generate_n(std::back_inserter(faces), count, [&] { return drawnFace(random); });
    return faces;
}

// Mirrored (the image-left outer eye corner where the image-right one was) or turned, each
// point of a face stays on its drawn spot. Trained on drawn faces, each stage lowers the
// held-out error (as a complete fit measures it), and the written model loads back to fit every
// held-out face to the same bits.
TEST(LbfTrainer, EachStageLowersTheHeldOutErrorAndTheWrittenModelFitsTheSame) {
    std::mt19937 random(11);
    const auto training = drawnFaces(80, random);
    const auto heldOut = drawnFaces(30, random);
    const TrainingFace mirrored = mirroredFace(training[0]);
    EXPECT_FLOAT_EQ(mirrored.points[60].x, float(kSide - 1) - training[0].points[72].x);
    for (const auto& [changed, darkest] :
         {std::pair{mirrored, 100}, {rotatedFace(training[0], 10.0f), 110}}) {
        for (const Point& p : changed.points) {
            EXPECT_LT(changed.image.at(int(p.x + 0.5f), int(p.y + 0.5f)), darkest);
        }
    }
    const TrainingOptions options{.stages = 2,
                                  .trees = 4,
                                  .depth = 4,
                                  .initialShapes = 4,
                                  .featuresPerStage = {200, 150},
                                  .radiusPerStage = {0.3f, 0.15f}};
    std::vector<StageSummary> summaries;
    const LandmarkModel model =
        trainLandmarkModel(training, heldOut, options, nullptr,
                           [&](const StageSummary& s) { summaries.push_back(s); });
    ASSERT_EQ(summaries.size(), 2u);
    EXPECT_LT(summaries[0].validationError, meanShapeError(model, heldOut) * 0.8f);
    EXPECT_LT(summaries[1].validationError, summaries[0].validationError);
    EXPECT_LT(summaries[1].trainingError, summaries[0].trainingError);
    EXPECT_NEAR(meanFitError(model, heldOut), summaries[1].validationError, 1e-4f);

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
    for (const TrainingFace& face : heldOut) {
        const LiteMat a = fitLandmarks(face.image.view(), face.box, model);
        const LiteMat b = fitLandmarks(face.image.view(), face.box, loaded);
        EXPECT_EQ(std::memcmp(a.data(), b.data(), 98 * 2 * 4), 0);
    }
}

}  // namespace
}  // namespace velvix::train
