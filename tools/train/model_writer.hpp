#pragma once

#include <cstdio>
#include <string>

#include "velvix/face/landmark_model.hpp"

namespace velvix::train {

// Writes `model` in the file layout the loader reads; false when a write fails, or for a loaded
// model, which keeps its weights only packed.
bool writeLandmarkModel(std::FILE* file, const LandmarkModel& model);
bool writeLandmarkModel(const std::string& path, const LandmarkModel& model);

}  // namespace velvix::train
