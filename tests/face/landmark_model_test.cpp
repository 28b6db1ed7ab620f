#include "velvix/face/landmark_model.hpp"

#include <gtest/gtest.h>

#include <array>
#include <cstring>
#include <memory>

#include "model_file.hpp"

namespace velvix {
namespace {

using File = std::unique_ptr<std::FILE, int (*)(std::FILE*)>;

File fileWith(const std::vector<std::uint8_t>& bytes) {
    return File(testing::temporaryFile(bytes), [](std::FILE* file) { return std::fclose(file); });
}

// A model loads reading exactly its bytes, its trees' split nodes and its weights held leaf by
// leaf (row c of a stage's matrix is column c of the file's rows); missing, short and malformed
// files are refused with the reason and leave the model loaded before as it was.
TEST(LandmarkModel, LoadsItsBytesAndRefusesMissingShortAndMalformedFiles) {
    testing::ModelFileContents small;
    small.stages = small.trees = 2;
    small.depth = 3;
    small.landmarks = 5;
    small.threshold = [](int stage, int landmark, int tree, int node) {
        return stage * 1000 + landmark * 10 + tree + node;
    };
    small.weight = [](int stage, int row, int column) {
        return static_cast<float>(stage) + static_cast<float>(row) * 1e-2f +
               static_cast<float>(column) * 1e-5f;
    };
    auto good = testing::serialiseModel(small);
    good.push_back(0xEE);  // one byte more, which must stay unread
    LandmarkModel model;
    LandmarkParams params;
    {
        const File file = fileWith(good);
        ASSERT_TRUE(loadLandmarkModel(file.get(), model, params));
        EXPECT_EQ(std::ftell(file.get()), static_cast<long>(good.size() - 1));
    }
    good.pop_back();
    EXPECT_EQ((std::array{params.stages, params.trees, params.depth, params.landmarks}),
              (std::array{2, 2, 3, 5}));
    EXPECT_FLOAT_EQ(model.meanShape.at(4, 1), small.meanShape(4, 1));
    const RandomTree& tree = model.forests[1].treesOf[4][1];
    EXPECT_EQ(tree.nodes, 8);
    EXPECT_EQ(tree.thresholds[3], small.threshold(1, 4, 1, 3));
    EXPECT_EQ(tree.thresholds[0], 0);  // not a split node
    EXPECT_FLOAT_EQ(tree.nodeFeatures.at(3, 2), -0.1f);
    ASSERT_EQ(model.weights[1].rows(), 5 * 2 * 4);
    EXPECT_FLOAT_EQ(model.weights[1].at(39, 9), small.weight(1, 9, 39));
    EXPECT_FLOAT_EQ(model.weights[1].at(17, 3), small.weight(1, 3, 17));

    auto expectRefused = [&](const std::vector<std::uint8_t>& bytes, const std::string& words) {
        const File file = fileWith(bytes);
        const auto loaded = loadLandmarkModel(file.get(), model, params);
        ASSERT_FALSE(loaded) << words;
        EXPECT_NE(loaded.error().find(words), std::string::npos) << loaded.error();
        EXPECT_EQ(model.stages, 2);
        EXPECT_EQ(params.landmarks, 5);
        EXPECT_FLOAT_EQ(model.meanShape.at(4, 1), small.meanShape(4, 1));
    };
    expectRefused({}, "shorter than its 16-byte header");
    expectRefused({good.begin(), good.begin() + 10}, "shorter than its 16-byte header");
    expectRefused({good.begin(), good.end() - 1}, "announces");
    // A zero, a negative count, a depth past 30, each allowed alone but too large together,
    // and every field at its largest.
    for (const auto& header : std::vector<std::array<std::int32_t, 4>>{
             {1, 0, 3, 5},
             {1, 2, 3, -7},
             {1, 2, 31, 5},
             {64, 1024, 16, 4096},
             {2147483647, 2147483647, 2147483647, 2147483647}}) {
        auto bytes = good;
        std::memcpy(bytes.data(), header.data(), sizeof header);
        expectRefused(bytes, "does not describe a model");
    }
    EXPECT_EQ(loadLandmarkModel(nullptr, model, params).error(), "cannot open the model file");
}

}  // namespace
}  // namespace velvix
