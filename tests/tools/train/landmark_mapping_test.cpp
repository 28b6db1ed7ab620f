#include "landmark_mapping.hpp"

#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>

#include "accuracy.hpp"

namespace velvix::train {
namespace {

// 68 points that are all different, so that every mapped point shows where it came from.
std::vector<Point> distinct68() {
    std::vector<Point> points;
    for (int k = 0; k < 68; ++k) {
        points.push_back({static_cast<float>(k * 3), static_cast<float>(1000 - k * k)});
    }
    return points;
}

void expectAt(const Point& actual, Point expected, int index) {
    EXPECT_NEAR(actual.x, expected.x, 1e-3f) << "point " << index;
    EXPECT_NEAR(actual.y, expected.y, 1e-3f) << "point " << index;
}

Point mid(Point a, Point b) {
    return {(a.x + b.x) / 2, (a.y + b.y) / 2};
}

// Each part's end points land where the documentation's correspondence puts them, the points
// between the jaw's and the eyelids' halfway, the pupils on the eyes' centres, the lower brows'
// inner ends a quarter of the way to them; the direct correspondence gives the 68 back.
TEST(PointsFrom68, PutsThePointsWhereTheDocumentationSaysAndBack) {
    const auto p = distinct68();
    const auto m = pointsFrom68(p);
    ASSERT_EQ(m.size(), 98u);
    // Jaw, brows, nose, eye corners, mouth: the first and last point of each.
    for (const auto [at98, at68] : {std::pair{0, 0},
                                    {32, 16},
                                    {33, 17},
                                    {37, 21},
                                    {42, 22},
                                    {46, 26},
                                    {51, 27},
                                    {59, 35},
                                    {60, 36},
                                    {64, 39},
                                    {68, 42},
                                    {72, 45},
                                    {76, 48},
                                    {95, 67}}) {
        expectAt(m[at98], p[at68], at98);
    }
    for (int k = 0; k < 16; ++k) {
        expectAt(m[2 * k + 1], mid(p[k], p[k + 1]), 2 * k + 1);
    }
    for (const auto [middle, at68] : {std::pair{62, 37}, {66, 40}, {70, 43}, {74, 46}}) {
        expectAt(m[middle], mid(p[at68], p[at68 + 1]), middle);
    }
    Point left;
    Point right;
    for (int k = 0; k < 6; ++k) {
        left = {left.x + p[36 + k].x / 6, left.y + p[36 + k].y / 6};
        right = {right.x + p[42 + k].x / 6, right.y + p[42 + k].y / 6};
    }
    expectAt(m[96], left, 96);
    expectAt(m[97], right, 97);
    expectAt(m[38], {p[21].x + (left.x - p[21].x) / 4, p[21].y + (left.y - p[21].y) / 4}, 38);
    expectAt(m[50], {p[22].x + (right.x - p[22].x) / 4, p[22].y + (right.y - p[22].y) / 4}, 50);

    const auto back = pointsTo68(m);
    ASSERT_EQ(back.size(), 68u);
    for (int k = 0; k < 68; ++k) {
        expectAt(back[k], p[k], k);
    }
}

TEST(BestLowerBrowDepth, FindsTheDepthTheFacesWereDrawnWith) {
    std::vector<TrainingFace> faces(1);
    faces[0].points = pointsFrom68(distinct68(), 0.37f);
    EXPECT_NEAR(bestLowerBrowDepth(faces), 0.37f, 1e-6f);
    EXPECT_NEAR(mappingErrors(faces, {lowerBrowGroup()}, 0.37f)[0], 0.0f, 1e-6f);
    EXPECT_GT(mappingErrors(faces, {lowerBrowGroup()})[0], 0.01f);
}

TEST(MappingGroups, CoverEveryPointOnce) {
    std::vector<int> seen(98, 0);
    for (const auto& group : mappingGroups()) {
        for (int index : group.indices) {
            ++seen[static_cast<std::size_t>(index)];
        }
    }
    EXPECT_EQ(std::count(seen.begin(), seen.end(), 1), 98);
}

std::string writeTemporary(const std::string& text) {
    const std::string path = ::testing::TempDir() + "velvix_points_" +
                             ::testing::UnitTest::GetInstance()->current_test_info()->name() +
                             ".pts";
    std::ofstream(path) << text;
    return path;
}

TEST(ReadPointsFile, ReadsTheAnnouncedPointsAndRejectsOthers) {
    const auto good =
        readPointsFile(writeTemporary("version: 1\nn_points: 2\n{\n1.5 2\n3 4.25\n}\n"));
    ASSERT_TRUE(good);
    ASSERT_EQ(good->size(), 2u);
    EXPECT_FLOAT_EQ((*good)[1].y, 4.25f);
    EXPECT_FALSE(readPointsFile(writeTemporary("version: 1\nn_points: 3\n{\n1 2\n3 4\n}\n")));
    EXPECT_FALSE(readPointsFile(writeTemporary("version: 1\nn_points: 2\n{\n1 2\n3 x\n}\n")));
    EXPECT_FALSE(readPointsFile(::testing::TempDir() + "velvix_no_such_file.pts"));
}

}  // namespace
}  // namespace velvix::train
