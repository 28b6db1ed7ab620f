#include "model_file.hpp"

#include <cstring>

namespace velvix::testing {
namespace {

template <typename T>
void append(std::vector<std::uint8_t>& bytes, T value) {
    std::uint8_t raw[sizeof value];
    std::memcpy(raw, &value, sizeof value);
    bytes.insert(bytes.end(), raw, raw + sizeof value);
}

}  // namespace

std::vector<std::uint8_t> serialiseModel(const ModelFileContents& c) {
    std::vector<std::uint8_t> bytes;
    for (std::int32_t value : {c.stages, c.trees, c.depth, c.landmarks}) {
        append(bytes, value);
    }
    for (int l = 0; l < 2 * c.landmarks; ++l) {
        append(bytes, c.meanShape(l / 2, l % 2));
    }
    const int leaves = 1 << (c.depth - 1);
    const int columns = c.landmarks * c.trees * leaves;
    for (int stage = 0; stage < c.stages; ++stage) {
        for (int l = 0; l < c.landmarks; ++l) {
            for (int t = 0; t < c.trees; ++t) {
                for (int node = 1; node < leaves; ++node) {
                    for (float value : c.feature(stage, l, t, node)) {
                        append(bytes, value);
                    }
                    append(bytes, c.threshold(stage, l, t, node));
                }
            }
        }
        for (int row = 0; row < 2 * c.landmarks; ++row) {
            for (int column = 0; column < columns; ++column) {
                append(bytes, c.weight(stage, row, column));
            }
        }
    }
    return bytes;
}

std::string writeModelFile(const ModelFileContents& contents, const std::string& path) {
    const auto bytes = serialiseModel(contents);
    if (std::FILE* file = std::fopen(path.c_str(), "wb")) {
        std::fwrite(bytes.data(), 1, bytes.size(), file);
        std::fclose(file);
    }
    return path;
}

std::FILE* temporaryFile(const std::vector<std::uint8_t>& bytes) {
    std::FILE* file = std::tmpfile();
    if (!bytes.empty()) {
        std::fwrite(bytes.data(), 1, bytes.size(), file);
    }
    std::rewind(file);
    return file;
}

}  // namespace velvix::testing
