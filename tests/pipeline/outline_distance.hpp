#pragma once

#include <algorithm>
#include <cmath>
#include <utility>
#include <vector>

#include "velvix/pipeline/face_outputs.hpp"

namespace velvix::testing {

// How far a point lies inside a convex polygon (either way round): its distance from the
// nearest edge, negative outside.
inline double signedDistance(const std::vector<PointF>& polygon, double x, double y) {
    double twiceArea = 0;
    for (std::size_t k = 0; k < polygon.size(); ++k) {
        const PointF a = polygon[k];
        const PointF b = polygon[(k + 1) % polygon.size()];
        twiceArea += static_cast<double>(a.x) * b.y - static_cast<double>(b.x) * a.y;
    }
    double nearest = 1e300;
    bool inside = true;
    for (std::size_t k = 0; k < polygon.size(); ++k) {
        const PointF a = polygon[k];
        const PointF b = polygon[(k + 1) % polygon.size()];
        const double ex = b.x - a.x;
        const double ey = b.y - a.y;
        const double t =
            std::clamp(((x - a.x) * ex + (y - a.y) * ey) / (ex * ex + ey * ey), 0.0, 1.0);
        nearest = std::min(nearest, std::hypot(x - a.x - t * ex, y - a.y - t * ey));
        // Inside lies on the same side of every edge as the turn of the whole polygon.
        inside = inside && (ex * (y - a.y) - ey * (x - a.x)) * twiceArea >= 0;
    }
    return inside ? nearest : -nearest;
}

// The columns of row y whose centres lie inside a convex polygon: first and last, or first
// greater than last when there are none.
inline std::pair<int, int> columnsInside(const std::vector<PointF>& polygon, int y) {
    const auto row = static_cast<double>(y);
    double left = 1e300;
    double right = -1e300;
    for (std::size_t k = 0; k < polygon.size(); ++k) {
        const PointF a = polygon[k];
        const PointF b = polygon[(k + 1) % polygon.size()];
        if ((a.y <= row && row < b.y) || (b.y <= row && row < a.y)) {
            const double x = a.x + (row - a.y) * (b.x - a.x) / (b.y - a.y);
            left = std::min(left, x);
            right = std::max(right, x);
        }
    }
    if (left > right) {
        return {1, 0};
    }
    return {static_cast<int>(std::ceil(left)), static_cast<int>(std::ceil(right)) - 1};
}

}  // namespace velvix::testing
