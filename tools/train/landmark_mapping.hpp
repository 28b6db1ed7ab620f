#pragma once

#include <string>
#include <vector>

#include "face_data.hpp"

namespace velvix::train {

// Outer eye corners in the 98-point layout; their distance normalises the errors.
inline constexpr int kOuterEyeCornerLeft = 60;
inline constexpr int kOuterEyeCornerRight = 72;

// How far below the upper brow edge the estimated lower edge lies, as a share of the distance
// from the upper edge to the eye's centre (chosen on half of the 98-point annotations, see
// `velvix-landmark-accuracy --mapping`).
inline constexpr float kLowerBrowDepth = 0.25f;

// The 98-point layout made from a 68-point annotation (docs/developer/face-analysis.md,
// "Training the landmark model", gives the rule of each group).
std::vector<Point> pointsFrom68(const std::vector<Point>& points68,
                                float lowerBrowDepth = kLowerBrowDepth);

// The 68 points that the 98-point layout contains directly (the usual correspondence), used
// to check the mapping and to score 68-point data.
std::vector<Point> pointsTo68(const std::vector<Point>& points98);

// Which of the 98 points correspond to the 68 of the other layout, in that layout's order.
const std::vector<int>& indicesOf68();

struct PointGroup {
    std::string name;
    std::vector<int> indices;
};

// The groups of the 98-point layout that the mapping fills in different ways.
const std::vector<PointGroup>& mappingGroups();

// The group of estimated lower brow points within `mappingGroups()`.
const PointGroup& lowerBrowGroup();

}  // namespace velvix::train
