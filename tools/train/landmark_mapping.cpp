#include "landmark_mapping.hpp"

#include <array>

namespace velvix::train {
namespace {

Point between(Point a, Point b, float fraction) {
    return {a.x + (b.x - a.x) * fraction, a.y + (b.y - a.y) * fraction};
}

Point centreOf(const std::vector<Point>& points, int first, int count) {
    Point sum;
    for (int i = first; i < first + count; ++i) {
        sum.x += points[static_cast<std::size_t>(i)].x;
        sum.y += points[static_cast<std::size_t>(i)].y;
    }
    return {sum.x / static_cast<float>(count), sum.y / static_cast<float>(count)};
}

std::vector<int> makeIndicesOf68() {
    std::vector<int> indices;
    for (int k = 0; k <= 16; ++k) {
        indices.push_back(2 * k);  // jaw
    }
    for (int k = 33; k <= 37; ++k) {
        indices.push_back(k);  // image-left brow, upper edge
    }
    for (int k = 42; k <= 46; ++k) {
        indices.push_back(k);  // image-right brow, upper edge
    }
    for (int k = 51; k <= 59; ++k) {
        indices.push_back(k);  // nose
    }
    for (int k : {60, 61, 63, 64, 65, 67, 68, 69, 71, 72, 73, 75}) {
        indices.push_back(k);  // eyes
    }
    for (int k = 76; k <= 95; ++k) {
        indices.push_back(k);  // mouth
    }
    return indices;
}

// The lower edge of one brow: each point a fixed share of the way from an upper-edge point
// towards the eye's centre, from the second point from the outer end to the inner end.
// `upper` runs from the brow's outer end to its inner end, `lower` lists the lower-edge
// indices in the same direction.
void estimateLowerBrow(std::vector<Point>& points, const std::array<int, 5>& upper,
                       const std::array<int, 4>& lower, Point eyeCentre, float depth) {
    for (std::size_t k = 0; k < lower.size(); ++k) {
        points[static_cast<std::size_t>(lower[k])] =
            between(points[static_cast<std::size_t>(upper[k + 1])], eyeCentre, depth);
    }
}

constexpr std::size_t kLowerBrowGroup = 3;

}  // namespace

const std::vector<int>& indicesOf68() {
    static const std::vector<int> indices = makeIndicesOf68();
    return indices;
}

std::vector<Point> pointsTo68(const std::vector<Point>& points98) {
    std::vector<Point> points68;
    for (int index : indicesOf68()) {
        points68.push_back(points98[static_cast<std::size_t>(index)]);
    }
    return points68;
}

std::vector<Point> pointsFrom68(const std::vector<Point>& points68, float lowerBrowDepth) {
    std::vector<Point> points(98);
    const auto& direct = indicesOf68();
    for (std::size_t k = 0; k < direct.size(); ++k) {
        points[static_cast<std::size_t>(direct[k])] = points68[k];
    }
    for (int k = 0; k < 16; ++k) {
        points[static_cast<std::size_t>(2 * k + 1)] =
            between(points[static_cast<std::size_t>(2 * k)],
                    points[static_cast<std::size_t>(2 * k + 2)], 0.5f);
    }
    for (auto [middle, before, after] : std::array<std::array<int, 3>, 4>{
             {{62, 61, 63}, {66, 65, 67}, {70, 69, 71}, {74, 73, 75}}}) {
        points[static_cast<std::size_t>(middle)] =
            between(points[static_cast<std::size_t>(before)],
                    points[static_cast<std::size_t>(after)], 0.5f);
    }
    const Point leftEye = centreOf(points68, 36, 6);
    const Point rightEye = centreOf(points68, 42, 6);
    points[96] = leftEye;
    points[97] = rightEye;
    estimateLowerBrow(points, {33, 34, 35, 36, 37}, {41, 40, 39, 38}, leftEye, lowerBrowDepth);
    estimateLowerBrow(points, {46, 45, 44, 43, 42}, {47, 48, 49, 50}, rightEye, lowerBrowDepth);
    return points;
}

const std::vector<PointGroup>& mappingGroups() {
    static const std::vector<PointGroup> groups = [] {
        std::vector<PointGroup> result{
            {"jaw, direct", {}},
            {"jaw, interpolated", {}},
            {"brows, upper edge", {33, 34, 35, 36, 37, 42, 43, 44, 45, 46}},
            {"brows, lower edge (estimated)", {38, 39, 40, 41, 47, 48, 49, 50}},
            {"nose", {51, 52, 53, 54, 55, 56, 57, 58, 59}},
            {"eyes, direct", {60, 61, 63, 64, 65, 67, 68, 69, 71, 72, 73, 75}},
            {"eyes, mid lids", {62, 66, 70, 74}},
            {"mouth", {}},
            {"pupils", {96, 97}}};
        for (int k = 0; k <= 32; ++k) {
            result[static_cast<std::size_t>(k % 2)].indices.push_back(k);
        }
        for (int k = 76; k <= 95; ++k) {
            result[7].indices.push_back(k);
        }
        return result;
    }();
    return groups;
}

const PointGroup& lowerBrowGroup() {
    return mappingGroups()[kLowerBrowGroup];
}

}  // namespace velvix::train
