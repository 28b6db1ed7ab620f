#include "fake_steps.hpp"

#include <utility>

namespace velvix::testing {

void MarkingSmoother::smoothFrame(std::uint8_t* source, std::uint8_t* destination, int width,
                                  int height, int level) {
    ++calls;
    lastLevel = level;
    lastSize = {width, height};
    const auto count = static_cast<std::size_t>(width) * static_cast<std::size_t>(height);
    for (std::size_t i = 0; i < count; ++i) {
        std::uint8_t* pixel = source + 4 * i;
        std::swap(pixel[0], pixel[2]);
        for (std::size_t c = 0; c < 3; ++c) {
            destination[4 * i + c] = static_cast<std::uint8_t>(pixel[c] + step);
        }
        destination[4 * i + 3] = 0x5A;
    }
}

void ScriptedFaceStep::run(const FaceStepBuffers& buffers, FaceOutputs& face) {
    ++calls;
    lastSize = buffers.size;
    const auto landmarks = face.faceLandmarks;
    face = result;
    if (!result.faceValid) {
        face.faceLandmarks = landmarks;
    }
}

}  // namespace velvix::testing
