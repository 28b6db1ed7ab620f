// Feeds arbitrary bytes to the landmark model loader as a model file.
#include <cstddef>
#include <cstdint>
#include <cstdio>

#include "velvix/face/landmark_model.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    // A stream over the input itself: a temporary file on disk would make the disk the
    // fuzzer's pace.
    std::FILE* file =
        size > 0 ? fmemopen(const_cast<std::uint8_t*>(data), size, "rb") : std::tmpfile();
    if (file == nullptr) {
        return 0;
    }
    velvix::LandmarkModel model;
    velvix::LandmarkParams params;
    static_cast<void>(velvix::loadLandmarkModel(file, model, params));
    std::fclose(file);
    return 0;
}
