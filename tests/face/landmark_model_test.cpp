#include "velvix/face/landmark_model.hpp"

#include <gtest/gtest.h>

#include <array>
#include <cstring>
#include <memory>

#include "model_file.hpp"

namespace velvix {
namespace {

// A model loads reading exactly its bytes, its weights held leaf by leaf (row c of a stage's
// matrix is column c of the file's rows); missing, short and malformed files are refused with
// the reason and leave the model loaded before as it was.
TEST(LandmarkModel, LoadsItsBytesAndRefusesMissingShortAndMalformedFiles) {
    testing::ModelFileContents small;
    small.stages = small.trees = 2;
    small.depth = 3;
    small.landmarks = 5;
    small.weight = [](int stage, int row, int column) {
        return static_cast<float>(stage * 10000 + row * 100 + column);
    };
    LandmarkModel model;
    LandmarkParams params;
    // The loader's error ("" when it loads) and where it left the file.
    const auto load = [&](const std::vector<std::uint8_t>& bytes) {
        const std::unique_ptr<std::FILE, int (*)(std::FILE*)> file(
            testing::temporaryFile(bytes), [](std::FILE* f) { return std::fclose(f); });
        const auto loaded = loadLandmarkModel(file.get(), model, params);
        return std::pair{loaded ? std::string() : loaded.error(), std::ftell(file.get())};
    };
    auto good = testing::serialiseModel(small);
    good.push_back(0xEE);  // one byte more, which must stay unread
    ASSERT_EQ(load(good), std::pair(std::string(), static_cast<long>(good.size() - 1)));
    good.pop_back();
    // Kept packed, transposed: row 39 (the last leaf column) of output 9, within half a step.
    ASSERT_EQ(model.packed.size(), 2u);
    const PackedWeights& packed = model.packed[1];
    ASSERT_EQ(packed.stepSizes.size(), 10u);
    EXPECT_NEAR(packed.steps[39 * 10 + 9] * packed.stepSizes[9], small.weight(1, 9, 39),
                packed.stepSizes[9] / 2);

    const auto expectRefused = [&](const std::vector<std::uint8_t>& bytes,
                                   const std::string& words) {
        const std::string error = load(bytes).first;
        EXPECT_NE(error.find(words), std::string::npos) << words << ": " << error;
        EXPECT_EQ(params.landmarks, 5);
        EXPECT_FLOAT_EQ(model.meanShape.at(4, 1), small.meanShape(4, 1));
    };
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
