#pragma once

#include <array>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <string>
#include <vector>

namespace velvix::testing {

// Writes model files the way the trainer does, with contents chosen by the test.
struct ModelFileContents {
    std::int32_t stages = 5;
    std::int32_t trees = 6;
    std::int32_t depth = 5;
    std::int32_t landmarks = 98;
    std::function<float(int landmark, int axis)> meanShape = [](int landmark, int axis) {
        return axis == 0 ? -0.8f + 0.016f * static_cast<float>(landmark)
                         : 0.5f * static_cast<float>((landmark * 37) % 98) / 98.0f - 0.25f;
    };
    // x1, y1, x2, y2 of a split node.
    std::function<std::array<float, 4>(int stage, int landmark, int tree, int node)> feature =
        [](int, int, int, int) {
            return std::array<float, 4>{0.1f, 0.0f, -0.1f, 0.0f};
        };
    std::function<std::int32_t(int stage, int landmark, int tree, int node)> threshold =
        [](int, int, int, int) { return 0; };
    std::function<float(int stage, int row, int column)> weight = [](int, int, int) {
        return 0.0f;
    };
};

// The whole file as bytes.
std::vector<std::uint8_t> serialiseModel(const ModelFileContents& contents);

// Writes the model file to `path` and returns the path.
std::string writeModelFile(const ModelFileContents& contents, const std::string& path);

// A temporary file holding `bytes`, positioned at its start; closed by the caller.
std::FILE* temporaryFile(const std::vector<std::uint8_t>& bytes);

}  // namespace velvix::testing
