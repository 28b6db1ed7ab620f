#include "velvix/face/landmark_model.hpp"

#include <algorithm>
#include <array>
#include <bit>
#include <cmath>
#include <cstring>

namespace velvix {
namespace {

static_assert(std::endian::native == std::endian::little,
              "the model file is little-endian and read as it lies");

constexpr std::int32_t kMaxStages = 64;
constexpr std::int32_t kMaxTrees = 1024;
constexpr std::int32_t kMaxDepth = 16;
constexpr std::int32_t kMaxLandmarks = 4096;
// The largest weight of an output is this many of its steps.
constexpr std::int32_t kLargestStep = 32767;

std::int32_t leavesOf(std::int32_t depth) {
    return std::int32_t{1} << (depth - 1);
}

// Reads whole values or reports that the file ended.
class ModelReader {
  public:
    explicit ModelReader(std::FILE* file) : file_(file) {}

    bool read(void* destination, std::size_t bytes) {
        ok_ = ok_ && std::fread(destination, 1, bytes, file_) == bytes;
        return ok_;
    }
    bool ok() const { return ok_; }

  private:
    std::FILE* file_;
    bool ok_ = true;
};

std::optional<std::uint64_t> bytesLeftIn(std::FILE* file) {
    const long start = std::ftell(file);
    if (start < 0 || std::fseek(file, 0, SEEK_END) != 0) {
        return std::nullopt;
    }
    const long end = std::ftell(file);
    std::fseek(file, start, SEEK_SET);
    if (end < start) {
        return std::nullopt;
    }
    return static_cast<std::uint64_t>(end - start);
}

bool readForest(ModelReader& reader, const RandomForest& forest) {
    for (const auto& trees : forest.treesOf) {
        for (const auto& tree : trees) {
            for (std::int32_t node = 1; node < tree.nodes / 2; ++node) {
                reader.read(tree.nodeFeatures.floatRow(node), 4 * sizeof(float));
                reader.read(&tree.thresholds.intAt(node, 0), sizeof(std::int32_t));
            }
        }
    }
    return reader.ok();
}

bool readRows(ModelReader& reader, const LiteMat& matrix) {
    for (std::int32_t row = 0; row < matrix.rows(); ++row) {
        reader.read(matrix.floatRow(row), static_cast<std::size_t>(matrix.cols()) * sizeof(float));
    }
    return reader.ok();
}

// Reads a matrix that the file stores row after row into `transposed`, one file row at a time.
bool readTransposed(ModelReader& reader, const LiteMat& transposed) {
    std::vector<float> row(static_cast<std::size_t>(transposed.rows()));
    for (std::int32_t fileRow = 0; fileRow < transposed.cols(); ++fileRow) {
        if (!reader.read(row.data(), row.size() * sizeof(float))) {
            return false;
        }
        for (std::int32_t column = 0; column < transposed.rows(); ++column) {
            transposed.at(column, fileRow) = row[static_cast<std::size_t>(column)];
        }
    }
    return true;
}

}  // namespace

LandmarkParams& landmarkParams() {
    static LandmarkParams params;
    return params;
}

RandomTree::RandomTree(std::int32_t landmarkIndex, std::int32_t treeDepth, float* storage)
    : depth(treeDepth), nodes(std::int32_t{1} << treeDepth), landmark(landmarkIndex) {
    const std::int32_t splitRows = nodes / 2;
    if (storage == nullptr) {
        nodeFeatures = LiteMat(LiteMat::kFloat32, splitRows, 4);
        thresholds = LiteMat(LiteMat::kFloat32, splitRows, 1);
        return;
    }
    std::memset(storage, 0, storageValues(treeDepth) * sizeof(float));
    nodeFeatures = LiteMat::external(LiteMat::kFloat32, splitRows, 4, storage);
    thresholds = LiteMat::external(LiteMat::kFloat32, splitRows, 1, storage + splitRows * 4);
}

std::size_t RandomTree::storageValues(std::int32_t treeDepth) {
    return static_cast<std::size_t>(5) << (treeDepth - 1);
}

RandomForest::RandomForest(std::int32_t landmarkCount, std::int32_t treeCount,
                           std::int32_t treeDepth, float* storage)
    : landmarks(landmarkCount), trees(treeCount), depth(treeDepth) {
    treesOf.resize(static_cast<std::size_t>(landmarkCount));
    for (std::int32_t l = 0; l < landmarkCount; ++l) {
        auto& row = treesOf[static_cast<std::size_t>(l)];
        row.reserve(static_cast<std::size_t>(treeCount));
        for (std::int32_t t = 0; t < treeCount; ++t) {
            row.emplace_back(l, treeDepth, storage);
            if (storage != nullptr) {
                storage += RandomTree::storageValues(treeDepth);
            }
        }
    }
}

std::size_t RandomForest::storageValues(std::int32_t landmarkCount, std::int32_t treeCount,
                                        std::int32_t treeDepth) {
    return static_cast<std::size_t>(landmarkCount) * static_cast<std::size_t>(treeCount) *
           RandomTree::storageValues(treeDepth);
}

namespace {

// Packs one stage's weights into `into`, which holds as many 16-bit values as the weights.
PackedWeights packStage(const LiteMat& weights, std::int16_t* into) {
    PackedWeights stage;
    stage.steps = into;
    stage.stepSizes.assign(static_cast<std::size_t>(weights.cols()), 1.0f);
    for (std::int32_t column = 0; column < weights.cols(); ++column) {
        float largest = 0;
        for (std::int32_t row = 0; row < weights.rows(); ++row) {
            largest = std::max(largest, std::abs(weights.at(row, column)));
        }
        if (largest > 0) {
            stage.stepSizes[static_cast<std::size_t>(column)] = largest / kLargestStep;
        }
    }
    for (std::int32_t row = 0; row < weights.rows(); ++row) {
        for (std::int32_t column = 0; column < weights.cols(); ++column) {
            const float steps =
                weights.at(row, column) / stage.stepSizes[static_cast<std::size_t>(column)];
            *into++ = static_cast<std::int16_t>(
                std::clamp(std::lround(steps), -long{kLargestStep}, long{kLargestStep}));
        }
    }
    return stage;
}

std::size_t valuesOf(const LiteMat& matrix) {
    return static_cast<std::size_t>(matrix.rows()) * static_cast<std::size_t>(matrix.cols());
}

}  // namespace

bool packWeights(LandmarkModel& model) {
    std::size_t values = 0;
    for (const LiteMat& weights : model.weights) {
        values += valuesOf(weights);
    }
    platform::AlignedBytes storage =
        platform::allocateLargePageBytes(std::max<std::size_t>(values, 1) * sizeof(std::int16_t));
    if (!storage) {
        return false;
    }
    std::vector<PackedWeights> packed;
    auto* next = reinterpret_cast<std::int16_t*>(storage.get());
    for (const LiteMat& weights : model.weights) {
        packed.push_back(packStage(weights, next));
        next += valuesOf(weights);
    }
    model.packed = std::move(packed);
    model.storage = std::move(storage);
    return true;
}

std::optional<std::uint64_t> modelFileBytes(std::int32_t stages, std::int32_t trees,
                                            std::int32_t depth, std::int32_t landmarks) {
    if (stages < 1 || stages > kMaxStages || trees < 1 || trees > kMaxTrees || depth < 1 ||
        depth > kMaxDepth || landmarks < 1 || landmarks > kMaxLandmarks) {
        return std::nullopt;
    }
    const std::uint64_t l = static_cast<std::uint64_t>(landmarks);
    const std::uint64_t t = static_cast<std::uint64_t>(trees);
    const std::uint64_t leaves = static_cast<std::uint64_t>(leavesOf(depth));
    const std::uint64_t forestBytes = l * t * (leaves - 1) * 20;
    const std::uint64_t weightBytes = 2 * l * (l * t * leaves) * 4;
    const std::uint64_t total =
        16 + l * 8 + static_cast<std::uint64_t>(stages) * (forestBytes + weightBytes);
    if (total > kMaxModelBytes) {
        return std::nullopt;
    }
    return total;
}

Result<> loadLandmarkModel(std::FILE* file, LandmarkModel& model, LandmarkParams& params) {
    if (file == nullptr) {
        return Failure{"cannot open the model file"};
    }
    const auto available = bytesLeftIn(file);
    ModelReader reader(file);
    std::array<std::int32_t, 4> header{};
    if (!reader.read(header.data(), sizeof header)) {
        return Failure{"the file is shorter than its 16-byte header"};
    }
    const auto [stages, trees, depth, landmarks] = header;
    const auto expected = modelFileBytes(stages, trees, depth, landmarks);
    if (!expected) {
        return Failure{"the header (" + std::to_string(stages) + " stages, " +
                       std::to_string(trees) + " trees, depth " + std::to_string(depth) + ", " +
                       std::to_string(landmarks) +
                       " landmarks) does not describe a model of at most 1 GiB"};
    }
    if (available && *available < *expected) {
        return Failure{"the file holds " + std::to_string(*available) +
                       " bytes, its header announces " + std::to_string(*expected)};
    }

    LandmarkModel loading;
    loading.stages = stages;
    loading.landmarks = landmarks;
    loading.meanShape = LiteMat(LiteMat::kFloat32, landmarks, 2);
    if (!readRows(reader, loading.meanShape)) {
        return Failure{"the file ends inside the mean shape"};
    }
    // Each stage: its trees' floats, then its packed weights, on a whole cache line.
    const std::int32_t features = landmarks * trees * leavesOf(depth);
    const std::size_t forestBytes =
        RandomForest::storageValues(landmarks, trees, depth) * sizeof(float);
    const std::size_t packedBytes = static_cast<std::size_t>(features) *
                                    static_cast<std::size_t>(2 * landmarks) * sizeof(std::int16_t);
    const std::size_t stageBytes = (forestBytes + packedBytes + 63) / 64 * 64;
    loading.storage =
        platform::allocateLargePageBytes(static_cast<std::size_t>(stages) * stageBytes);
    if (!loading.storage) {
        return Failure{"there is no memory for it"};
    }
    // The floats are read a stage at a time and kept only packed.
    LiteMat weights(LiteMat::kFloat32, features, 2 * landmarks);
    for (std::int32_t stage = 0; stage < stages; ++stage) {
        std::uint8_t* stageStorage =
            loading.storage.get() + static_cast<std::size_t>(stage) * stageBytes;
        loading.forests.emplace_back(landmarks, trees, depth,
                                     reinterpret_cast<float*>(stageStorage));
        if (!readForest(reader, loading.forests.back())) {
            return Failure{"the file ends inside the forest of stage " + std::to_string(stage)};
        }
        if (!readTransposed(reader, weights)) {
            return Failure{"the file ends inside the weights of stage " + std::to_string(stage)};
        }
        loading.packed.push_back(
            packStage(weights, reinterpret_cast<std::int16_t*>(stageStorage + forestBytes)));
    }
    model = std::move(loading);
    params.stages = stages;
    params.trees = trees;
    params.depth = depth;
    params.landmarks = landmarks;
    return {};
}

}  // namespace velvix
