#pragma once

#include <utility>
#include <vector>

#include "velvix/pipeline/face_outputs.hpp"

namespace velvix::testing {

// How far a point lies inside a convex polygon (either way round): its distance from the
// nearest edge, negative outside.
double signedDistance(const std::vector<PointF>& convexPolygon, double x, double y);

// The columns of row y whose centres lie inside a convex polygon: first and last, or first
// greater than last when there are none.
std::pair<int, int> columnsInside(const std::vector<PointF>& convexPolygon, int y);

}  // namespace velvix::testing
