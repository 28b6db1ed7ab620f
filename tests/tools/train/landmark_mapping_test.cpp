#include "landmark_mapping.hpp"

#include <gtest/gtest.h>

#include <algorithm>

#include "accuracy.hpp"

namespace velvix::train {
namespace {

void expectAt(const Point& actual, Point expected, int index) {
    EXPECT_NEAR(actual.x, expected.x, 1e-3f) << "point " << index;
    EXPECT_NEAR(actual.y, expected.y, 1e-3f) << "point " << index;
}

Point between(Point a, Point b, float share) {
    return {a.x + (b.x - a.x) * share, a.y + (b.y - a.y) * share};
}

// From 68 points that all differ: each part's end points land where the documentation's
// correspondence puts them, the jaw's points between halfway, the pupils on the eyes' centres,
// the lower brows' inner ends a quarter of the way to them; the direct correspondence gives the
// 68 back, every point belongs to one mapping group, and the lower brows' depth is found again.
TEST(LandmarkMapping, PutsThePointsWhereTheDocumentationSaysAndBack) {
    std::vector<Point> p;
    for (int k = 0; k < 68; ++k) {
        p.push_back({static_cast<float>(k * 3), static_cast<float>(1000 - k * k)});
    }
    const auto m = pointsFrom68(p);
    ASSERT_EQ(m.size(), 98u);
    const std::pair<int, int> ends[] = {{0, 0},   {32, 16}, {33, 17}, {42, 22}, {51, 27},
                                        {60, 36}, {64, 39}, {72, 45}, {76, 48}, {95, 67}};
    for (const auto& [at98, at68] : ends) {
        expectAt(m[at98], p[at68], at98);
    }
    for (int k = 0; k < 16; ++k) {
        expectAt(m[2 * k + 1], between(p[k], p[k + 1], 0.5f), 2 * k + 1);
    }
    Point left;
    Point right;
    for (int k = 0; k < 6; ++k) {
        left = {left.x + p[36 + k].x / 6, left.y + p[36 + k].y / 6};
        right = {right.x + p[42 + k].x / 6, right.y + p[42 + k].y / 6};
    }
    expectAt(m[96], left, 96);
    expectAt(m[97], right, 97);
    expectAt(m[38], between(p[21], left, 0.25f), 38);
    expectAt(m[50], between(p[22], right, 0.25f), 50);
    const auto back = pointsTo68(m);
    ASSERT_EQ(back.size(), 68u);
    for (int k = 0; k < 68; ++k) {
        expectAt(back[k], p[k], k);
    }
    std::vector<int> seen(98, 0);
    for (const auto& group : mappingGroups()) {
        for (const int index : group.indices) {
            ++seen[static_cast<std::size_t>(index)];
        }
    }
    EXPECT_EQ(std::count(seen.begin(), seen.end(), 1), 98);
    std::vector<TrainingFace> faces(1);
    faces[0].points = pointsFrom68(p, 0.37f);
    EXPECT_NEAR(bestLowerBrowDepth(faces), 0.37f, 1e-6f);
    EXPECT_GT(mappingErrors(faces, {lowerBrowGroup()})[0], 0.01f);
}

}  // namespace
}  // namespace velvix::train
