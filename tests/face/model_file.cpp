#include "model_file.hpp"

#include <fstream>

namespace velvix::testing {

std::vector<std::uint8_t> serialiseModel(const ModelFileContents& c) {
    std::vector<std::uint8_t> bytes;
    const auto append = [&bytes](auto value) {
        const auto* raw = reinterpret_cast<const std::uint8_t*>(&value);
        bytes.insert(bytes.end(), raw, raw + sizeof value);
    };
    for (std::int32_t value : {c.stages, c.trees, c.depth, c.landmarks}) {
        append(value);
    }
    for (int l = 0; l < 2 * c.landmarks; ++l) {
        append(c.meanShape(l / 2, l % 2));
    }
    const int leaves = 1 << (c.depth - 1);
    for (int stage = 0; stage < c.stages; ++stage) {
        for (int l = 0; l < c.landmarks; ++l) {
            for (int t = 0; t < c.trees; ++t) {
                for (int node = 1; node < leaves; ++node) {
                    for (float value : c.feature(stage, l, t, node)) {
                        append(value);
                    }
                    append(c.threshold(stage, l, t, node));
                }
            }
        }
        for (int row = 0; row < 2 * c.landmarks; ++row) {
            for (int column = 0; column < c.landmarks * c.trees * leaves; ++column) {
                append(c.weight(stage, row, column));
            }
        }
    }
    return bytes;
}

std::string writeModelFile(const ModelFileContents& contents, const std::string& path) {
    const auto bytes = serialiseModel(contents);
    std::ofstream(path, std::ios::binary)
        .write(reinterpret_cast<const char*>(bytes.data()),
               static_cast<std::streamsize>(bytes.size()));
    return path;
}

std::FILE* temporaryFile(const std::vector<std::uint8_t>& bytes) {
    std::FILE* file = std::tmpfile();
    std::fwrite(bytes.data(), 1, bytes.size(), file);
    std::rewind(file);
    return file;
}

}  // namespace velvix::testing
