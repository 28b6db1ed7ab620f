#pragma once

#include <string>
#include <vector>

#include "face_data.hpp"
#include "landmark_mapping.hpp"
#include "velvix/face/landmark_model.hpp"

namespace velvix::train {

struct FaceErrors {
    std::vector<float> detected;  // faces the detector found, fitted in its box
    std::vector<float> missed;    // faces it missed, fitted in a box made from their points
};

// Normalised mean error of each fit over the points in `indices` (all when empty).
FaceErrors fitErrors(const LandmarkModel& model, const std::vector<TrainingFace>& faces,
                     const std::vector<int>& indices);

// Mean error of each group of the 98-point layout when the 68 points that a 98-point
// annotation contains are mapped back to 98.
std::vector<float> mappingErrors(const std::vector<TrainingFace>& faces98,
                                 const std::vector<PointGroup>& groups,
                                 float lowerBrowDepth = kLowerBrowDepth);

// The lower brow depth, in steps of 0.01 from 0 to 0.5, whose estimated lower brow points lie
// nearest to those of `faces98` on average.
float bestLowerBrowDepth(const std::vector<TrainingFace>& faces98);

float mean(const std::vector<float>& values);

// Share of `errors` at or below `limit`.
float shareAtMost(const std::vector<float>& errors, float limit);

// Writes the cumulative error curves as a PNG: error 0 ... `largestError` to the right,
// share of faces 0 ... 1 upwards, a grid line every 0.01 of error and every 10 % of faces.
// Curves get the colours red, blue, green, in order.
bool writeErrorCurves(const std::string& path, const std::vector<std::vector<float>>& curves,
                      float largestError);

}  // namespace velvix::train
