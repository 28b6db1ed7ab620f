// Feeds arbitrary bytes to the landmark model loader as a model file.
#include <cstddef>
#include <cstdint>
#include <cstdio>

#include "velvix/face/landmark_model.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::FILE* file = std::tmpfile();
    if (file == nullptr) {
        return 0;
    }
    if (size > 0) {
        std::fwrite(data, 1, size, file);
    }
    std::rewind(file);
    velvix::LandmarkModel model;
    velvix::LandmarkParams params;
    velvix::loadLandmarkModel(file, model, params);
    std::fclose(file);
    return 0;
}
