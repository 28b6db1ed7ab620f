#pragma once

#include <cstdint>
#include <cstdio>
#include <optional>
#include <string>
#include <vector>

#include "velvix/base/result.hpp"
#include "velvix/face/lite_mat.hpp"
#include "velvix/platform/aligned_bytes.hpp"

namespace velvix {

inline constexpr char kModelFileName[] = "velvix.dat";

// The landmark regression's parameters. Loading replaces the first four with the file's
// header; the training fields serve the trainer only.
struct LandmarkParams {
    std::int32_t stages = 5;
    std::int32_t trees = 6;
    std::int32_t depth = 5;
    std::string dataDirectory = "data";
    std::string modelFile = kModelFileName;
    std::int32_t landmarks = 98;
    std::int32_t initialShapes = 10;
    std::vector<std::int32_t> featuresPerStage{500, 500, 500, 300, 300, 300, 200, 200, 200, 100};
    std::vector<float> radiusPerStage{0.3f, 0.2f,  0.15f, 0.12f, 0.1f,
                                      0.1f, 0.08f, 0.06f, 0.06f, 0.05f};
    float overlap = 0.4f;
};

// The process-wide parameters, made on first use.
LandmarkParams& landmarkParams();

// One regression tree: node k has children 2k and 2k + 1; the split nodes are 1 to
// 2^(depth - 1) - 1, and each compares two pixels at offsets given in mean-shape coordinates.
struct RandomTree {
    RandomTree() = default;
    // A tree of zeroes, holding its nodes itself, or in `storage` when that is given: then
    // `storage` holds storageValues(treeDepth) values and outlives the tree.
    RandomTree(std::int32_t landmarkIndex, std::int32_t treeDepth, float* storage = nullptr);
    static std::size_t storageValues(std::int32_t treeDepth);

    std::int32_t depth = 0;
    std::int32_t nodes = 0;
    std::int32_t landmark = 0;
    // A row for each split node and an unused row 0: 4 floats x1, y1, x2, y2, and the
    // threshold, a whole number (intAt).
    LiteMat nodeFeatures;
    LiteMat thresholds;
};

struct RandomForest {
    RandomForest() = default;
    // Its trees hold their nodes themselves, or lie one after another in `storage`, which then
    // holds storageValues(...) values and outlives the forest.
    RandomForest(std::int32_t landmarkCount, std::int32_t treeCount, std::int32_t treeDepth,
                 float* storage = nullptr);
    static std::size_t storageValues(std::int32_t landmarkCount, std::int32_t treeCount,
                                     std::int32_t treeDepth);

    std::int32_t landmarks = 0;
    std::int32_t trees = 0;
    std::int32_t depth = 0;
    std::vector<std::vector<RandomTree>> treesOf;  // [landmark][tree]
};

// A stage's weights as a fit reads them: each output (column) in whole steps of its own size,
// 16 bits a value. A fit then reads half the bytes of the floats, and its sums of whole
// numbers come out the same in every order and on every machine.
struct PackedWeights {
    const std::int16_t* steps = nullptr;  // rows of 2L values, as the floats
    std::vector<float> stepSizes;         // 2L
};

struct LandmarkModel {
    std::int32_t stages = 0;
    std::int32_t landmarks = 0;
    LiteMat meanShape;  // landmarks x 2 floats, the face box spanning -1 to +1
    std::vector<RandomForest> forests;
    // The regression of each stage, F = L x T x 2^(D - 1) rows of 2L floats: row c holds what
    // leaf column c adds to every landmark (x of landmark l at 2l, y at 2l + 1). The file stores
    // the transpose; kept this way, a fit reads 2L neighbouring floats per leaf it reached
    // instead of one float from each of 2L rows spread over megabytes. The trainer's; a loaded
    // model keeps its weights only packed.
    std::vector<LiteMat> weights;
    // The weights as the fits read them, one per stage: a loaded model's, or the trainer's once
    // it is done (packWeights). Until then a fit reads the floats.
    std::vector<PackedWeights> packed;
    // A loaded model's trees and packed weights, stage after stage, or the trainer's packed
    // weights, in one block of large pages: a fit reads a few hundred scattered rows of it per
    // stage, and with small pages nearly every row cost a walk of the page tables as well.
    platform::AlignedBytes storage;

    bool loaded() const { return stages > 0; }
};

// Packs every stage's weights of a model made in memory (the trainer's) for its fits; false, with
// the model unchanged, when there is no memory for them.
bool packWeights(LandmarkModel& model);

// Largest model the loader accepts; anything bigger is taken for a damaged file.
inline constexpr std::uint64_t kMaxModelBytes = 1ull << 30;

// The number of bytes a model file with this header holds, or nothing for a header that does
// not describe a model the loader accepts.
std::optional<std::uint64_t> modelFileBytes(std::int32_t stages, std::int32_t trees,
                                            std::int32_t depth, std::int32_t landmarks);

// Reads a model from the start of `file`. On success the model and the header fields of
// `params` are replaced; otherwise both stay as they were.
Result<> loadLandmarkModel(std::FILE* file, LandmarkModel& model, LandmarkParams& params);

}  // namespace velvix
