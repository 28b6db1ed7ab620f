#include "model_writer.hpp"

#include <cstdint>
#include <vector>

namespace velvix::train {
namespace {

// Values go out as the processor holds them: the file is little-endian, as are the machines
// Velvix runs on.
template <typename T>
bool writeValues(std::FILE* file, const T* values, std::size_t count) {
    return std::fwrite(values, sizeof(T), count, file) == count;
}

bool writeForest(std::FILE* file, const RandomForest& forest) {
    for (const auto& trees : forest.treesOf) {
        for (const RandomTree& tree : trees) {
            for (std::int32_t node = 1; node < tree.nodes / 2; ++node) {
                if (!writeValues(file, tree.nodeFeatures.floatRow(node), 4) ||
                    !writeValues(file, &tree.thresholds.intAt(node, 0), 1)) {
                    return false;
                }
            }
        }
    }
    return true;
}

// Memory holds the weights transposed (a row per leaf column); the file has a row per output.
bool writeWeights(std::FILE* file, const LiteMat& weights) {
    std::vector<float> row(static_cast<std::size_t>(weights.rows()));
    for (std::int32_t output = 0; output < weights.cols(); ++output) {
        for (std::int32_t column = 0; column < weights.rows(); ++column) {
            row[static_cast<std::size_t>(column)] = weights.at(column, output);
        }
        if (!writeValues(file, row.data(), row.size())) {
            return false;
        }
    }
    return true;
}

}  // namespace

bool writeLandmarkModel(std::FILE* file, const LandmarkModel& model) {
    // A loaded model keeps its weights only packed; the file holds the trainer's floats.
    if (model.forests.empty() || model.weights.size() != model.forests.size()) {
        return false;
    }
    const RandomForest& first = model.forests.front();
    const std::int32_t header[4] = {model.stages, first.trees, first.depth, model.landmarks};
    if (!writeValues(file, header, 4)) {
        return false;
    }
    for (std::int32_t l = 0; l < model.landmarks; ++l) {
        if (!writeValues(file, model.meanShape.floatRow(l), 2)) {
            return false;
        }
    }
    for (std::int32_t stage = 0; stage < model.stages; ++stage) {
        if (!writeForest(file, model.forests[static_cast<std::size_t>(stage)]) ||
            !writeWeights(file, model.weights[static_cast<std::size_t>(stage)])) {
            return false;
        }
    }
    return true;
}

bool writeLandmarkModel(const std::string& path, const LandmarkModel& model) {
    std::FILE* file = std::fopen(path.c_str(), "wb");
    if (file == nullptr) {
        return false;
    }
    const bool written = writeLandmarkModel(file, model);
    return std::fclose(file) == 0 && written;
}

}  // namespace velvix::train
