#pragma once

#include <cstdint>
#include <functional>
#include <vector>

#include "face_data.hpp"
#include "velvix/face/landmark_model.hpp"

namespace velvix::train {

struct TrainingOptions {
    std::int32_t stages = 5;
    std::int32_t trees = 6;
    std::int32_t depth = 5;
    std::int32_t initialShapes = 10;
    std::vector<std::int32_t> featuresPerStage;
    std::vector<float> radiusPerStage;
    // Share of its training samples that a tree has in common with its neighbour.
    float overlap = 0.4f;
    // Weight of the squared weights in the regression, per training sample.
    double regularisation = 1.0;
    int threads = 2;
    std::uint32_t seed = 1;

    // The training fields of the parameter record, with its stages, trees and depth.
    static TrainingOptions from(const LandmarkParams& params);
};

struct StageSummary {
    int stage = 0;
    double seconds = 0;
    float trainingError = 0;    // mean normalised error after the stage
    float validationError = 0;  // on faces fitted from the mean shape, as at run time
};

// Called from the worker threads, one at a time, with the share of the stage that is done.
using StageProgress = std::function<void(int stage, double done)>;

// Trains a cascade on `training` and reports each stage; `validation` may be empty. The model
// comes back with its weights packed, as a loaded model has them.
LandmarkModel trainLandmarkModel(const std::vector<TrainingFace>& training,
                                 const std::vector<TrainingFace>& validation,
                                 const TrainingOptions& options, const StageProgress& progress,
                                 const std::function<void(const StageSummary&)>& summary);

// Mean normalised error of full fits of `model` on `faces`, each from its face's box.
float meanFitError(const LandmarkModel& model, const std::vector<TrainingFace>& faces);

// The same when every face keeps the model's mean shape: the error a fit has to beat.
float meanShapeError(const LandmarkModel& model, const std::vector<TrainingFace>& faces);

// Runs work(0 ... count - 1) on `threads` threads.
void parallelFor(int count, int threads, const std::function<void(int)>& work);

}  // namespace velvix::train
