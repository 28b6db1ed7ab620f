#pragma once

#include <random>
#include <vector>

#include "face_data.hpp"

namespace velvix::train {

// The face mirrored left to right; its points follow the 98-point mirror map, so that the
// image-left eye's points describe the image-left eye again.
TrainingFace mirroredFace(const TrainingFace& face);

// The face turned by `degrees` (clockwise in the picture) around its box centre.
TrainingFace rotatedFace(const TrainingFace& face, float degrees);

// The face's box grown or shrunk by `factor` around its centre and moved by `shiftX`, `shiftY`
// times its size, as boxes of a detector vary.
TrainingFace jitteredBox(const TrainingFace& face, float factor, float shiftX, float shiftY);

struct AugmentationOptions {
    bool mirror = true;
    int rotations = 1;  // turned copies per face (and per mirrored face)
    float maximumDegrees = 12.0f;
    float scaleJitter = 0.08f;  // largest relative change of the box size
};

// The faces with their mirrored and turned copies, every box jittered.
std::vector<TrainingFace> augmentedFaces(const std::vector<TrainingFace>& faces,
                                         const AugmentationOptions& options, std::mt19937& random);

}  // namespace velvix::train
