#include "velvix/face/landmark_model.hpp"

#include <gtest/gtest.h>

#include <array>
#include <cstring>
#include <memory>

#include "model_file.hpp"

namespace velvix {
namespace {

using testing::ModelFileContents;
using testing::serialiseModel;
using testing::temporaryFile;

struct FileCloser {
    void operator()(std::FILE* file) const { std::fclose(file); }
};
using File = std::unique_ptr<std::FILE, FileCloser>;

File fileWith(const std::vector<std::uint8_t>& bytes) {
    return File(temporaryFile(bytes));
}

TEST(LandmarkModel, LoadsTheDefaultSizedModelReadingExactlyItsBytes) {
    ModelFileContents contents;
    contents.threshold = [](int stage, int landmark, int tree, int node) {
        return stage * 1000 + landmark * 10 + tree + node;
    };
    contents.weight = [](int stage, int row, int column) {
        return static_cast<float>(stage) + static_cast<float>(row) * 1e-3f +
               static_cast<float>(column) * 1e-7f;
    };
    auto bytes = serialiseModel(contents);
    ASSERT_EQ(bytes.size(), 37'762'160u);
    bytes.push_back(0xEE);  // one byte more, which must stay unread
    const File file = fileWith(bytes);
    LandmarkModel model;
    LandmarkParams params;
    params.stages = params.trees = params.depth = params.landmarks = -1;
    ASSERT_EQ(loadLandmarkModel(file.get(), model, params), std::nullopt);
    EXPECT_EQ(std::ftell(file.get()), 37'762'160);

    EXPECT_EQ(params.stages, 5);
    EXPECT_EQ(params.trees, 6);
    EXPECT_EQ(params.depth, 5);
    EXPECT_EQ(params.landmarks, 98);

    ASSERT_EQ(model.forests.size(), 5u);
    ASSERT_EQ(model.weights.size(), 5u);
    EXPECT_EQ(model.meanShape.rows(), 98);
    EXPECT_FLOAT_EQ(model.meanShape.at(10, 0), contents.meanShape(10, 0));
    const RandomTree& tree = model.forests[3].treesOf[97][5];
    EXPECT_EQ(tree.depth, 5);
    EXPECT_EQ(tree.nodes, 32);
    EXPECT_EQ(tree.landmark, 0);
    EXPECT_EQ(tree.thresholds[15], contents.threshold(3, 97, 5, 15));
    EXPECT_FLOAT_EQ(tree.nodeFeatures.at(15, 0), 0.1f);
    EXPECT_FLOAT_EQ(tree.nodeFeatures.at(15, 2), -0.1f);
    // Rows and thresholds outside the split nodes stay zero.
    EXPECT_EQ(tree.thresholds[0], 0);
    EXPECT_FLOAT_EQ(tree.nodeFeatures.at(0, 0), 0.0f);
    for (int node = 16; node < 32; ++node) {
        EXPECT_EQ(tree.thresholds[static_cast<std::size_t>(node)], 0);
        EXPECT_FLOAT_EQ(tree.nodeFeatures.at(node, 3), 0.0f);
    }
    // Held leaf by leaf: row c of the matrix is column c of the file's rows.
    EXPECT_EQ(model.weights[4].rows(), 9408);
    EXPECT_EQ(model.weights[4].cols(), 196);
    EXPECT_FLOAT_EQ(model.weights[4].at(9407, 195), contents.weight(4, 195, 9407));
    EXPECT_FLOAT_EQ(model.weights[2].at(17, 3), contents.weight(2, 3, 17));
}

TEST(LandmarkModel, DepthOneReadsNoForests) {
    ModelFileContents contents;
    contents.stages = 2;
    contents.trees = 3;
    contents.depth = 1;
    contents.landmarks = 4;
    const auto bytes = serialiseModel(contents);
    EXPECT_EQ(bytes.size(), 16u + 4 * 8 + 2 * (8 * 12 * 4));
    const File file = fileWith(bytes);
    LandmarkModel model;
    LandmarkParams params;
    ASSERT_EQ(loadLandmarkModel(file.get(), model, params), std::nullopt);
    EXPECT_EQ(model.forests[1].treesOf[3][2].nodes, 2);
    EXPECT_EQ(model.weights[1].rows(), 12);  // F = L x T
}

TEST(LandmarkModel, RefusesMissingShortAndMalformedFilesAndKeepsWhatItHad) {
    ModelFileContents small;
    small.stages = 1;
    small.trees = 2;
    small.depth = 3;
    small.landmarks = 5;
    const auto good = serialiseModel(small);

    LandmarkModel model;
    LandmarkParams params;
    ASSERT_EQ(loadLandmarkModel(fileWith(good).get(), model, params), std::nullopt);
    const float meanBefore = model.meanShape.at(4, 1);

    auto expectRefused = [&](const std::vector<std::uint8_t>& bytes, const std::string& words) {
        const File file = fileWith(bytes);
        const auto problem = loadLandmarkModel(file.get(), model, params);
        ASSERT_TRUE(problem.has_value()) << words;
        EXPECT_NE(problem->find(words), std::string::npos) << *problem;
        EXPECT_EQ(model.stages, 1);
        EXPECT_EQ(params.landmarks, 5);
        EXPECT_FLOAT_EQ(model.meanShape.at(4, 1), meanBefore);
    };
    expectRefused({}, "shorter than its 16-byte header");
    expectRefused({good.begin(), good.begin() + 10}, "shorter than its 16-byte header");
    expectRefused({good.begin(), good.end() - 1}, "announces");
    for (const auto& header : std::vector<std::array<std::int32_t, 4>>{
             {0, 2, 3, 5},
             {1, 0, 3, 5},
             {1, 2, 0, 5},
             {1, 2, 3, 0},
             {-1, 2, 3, 5},
             {1, 2, 3, -7},
             {1, 2, 31, 5},
             {100000, 2, 3, 5},
             {64, 1024, 16, 4096},
             {2147483647, 2147483647, 2147483647, 2147483647}}) {
        auto bytes = good;
        std::memcpy(bytes.data(), header.data(), sizeof header);
        expectRefused(bytes, "does not describe a model");
    }
    EXPECT_EQ(loadLandmarkModel(nullptr, model, params), "cannot open the model file");
}

}  // namespace
}  // namespace velvix
