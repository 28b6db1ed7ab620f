#pragma once

#include <random>
#include <vector>

#include "face_data.hpp"

namespace velvix::testing {

// Pictures whose landmarks are known: each of the 98 points of a grid layout, moved, scaled
// and turned a little at random, is drawn as a dark spot on a light textured ground; the box
// lies a little off the points, as a detector's would.
std::vector<train::TrainingFace> drawnFaces(int count, std::mt19937& random);

}  // namespace velvix::testing
