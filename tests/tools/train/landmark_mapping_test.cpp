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

TEST(PointsFrom68, PutsEachPointWhereTheReadmeSays) {
    const auto p = distinct68();
    const auto m = pointsFrom68(p);
    ASSERT_EQ(m.size(), 98u);
    for (int k = 0; k <= 16; ++k) {
        expectAt(m[2 * k], p[k], 2 * k);  // jaw points on the even contour points
    }
    for (int k = 0; k < 16; ++k) {
        expectAt(m[2 * k + 1], mid(p[k], p[k + 1]), 2 * k + 1);
    }
    for (int k = 0; k < 5; ++k) {
        expectAt(m[33 + k], p[17 + k], 33 + k);  // upper brow edges
        expectAt(m[42 + k], p[22 + k], 42 + k);
    }
    for (int k = 0; k < 9; ++k) {
        expectAt(m[51 + k], p[27 + k], 51 + k);  // nose
    }
    const int eyes98[] = {60, 61, 63, 64, 65, 67, 68, 69, 71, 72, 73, 75};
    for (int k = 0; k < 12; ++k) {
        expectAt(m[eyes98[k]], p[36 + k], eyes98[k]);
    }
    expectAt(m[62], mid(p[37], p[38]), 62);
    expectAt(m[66], mid(p[40], p[41]), 66);
    expectAt(m[70], mid(p[43], p[44]), 70);
    expectAt(m[74], mid(p[46], p[47]), 74);
    for (int k = 0; k < 20; ++k) {
        expectAt(m[76 + k], p[48 + k], 76 + k);  // mouth
    }
    Point left;
    Point right;
    for (int k = 0; k < 6; ++k) {
        left = {left.x + p[36 + k].x / 6, left.y + p[36 + k].y / 6};
        right = {right.x + p[42 + k].x / 6, right.y + p[42 + k].y / 6};
    }
    expectAt(m[96], left, 96);
    expectAt(m[97], right, 97);
    // Lower brow edges: a quarter of the way from the upper edge towards the eye's centre,
    // under every upper point but the outer end.
    const auto quarterTo = [](Point from, Point to) {
        return Point{from.x + (to.x - from.x) * 0.25f, from.y + (to.y - from.y) * 0.25f};
    };
    expectAt(m[38], quarterTo(p[21], left), 38);   // inner end, image-left brow
    expectAt(m[41], quarterTo(p[18], left), 41);   // outer end
    expectAt(m[50], quarterTo(p[22], right), 50);  // inner end, image-right brow
    expectAt(m[47], quarterTo(p[25], right), 47);  // outer end
}

TEST(PointsFrom68, IsUndoneByTheDirectCorrespondence) {
    const auto p = distinct68();
    const auto back = pointsTo68(pointsFrom68(p));
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
