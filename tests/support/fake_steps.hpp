#pragma once

#include <utility>

#include "velvix/pipeline/processing_steps.hpp"

namespace velvix::testing {

// Swaps bytes 0 and 2 of the source as the real smoother does, and writes each channel plus
// `step` (wrapping), with a fourth byte of 0x5A, so that a test can tell smoothed from
// unsmoothed pixels.
class MarkingSmoother final : public Smoother {
  public:
    void smoothFrame(std::uint8_t* source, std::uint8_t* destination, int width, int height,
                     int level) override {
        ++calls;
        lastLevel = level;
        lastSize = {width, height};
        for (std::size_t i = 0; i < static_cast<std::size_t>(lastSize.pixels()); ++i) {
            std::swap(source[4 * i], source[4 * i + 2]);
            for (std::size_t c = 0; c < 3; ++c) {
                destination[4 * i + c] = static_cast<std::uint8_t>(source[4 * i + c] + step);
            }
            destination[4 * i + 3] = 0x5A;
        }
    }
    // As the real filter's, so that the areas cut out for it are the program's.
    int columnGrid() const override { return 16; }

    std::uint8_t step = 1;
    int calls = 0;
    int lastLevel = -1;
    FrameSize lastSize;
};

// Reports whatever face the test sets; without one, the last fit stays, as the real step's.
class ScriptedFaceStep final : public FaceStep {
  public:
    void run(const FaceStepBuffers& buffers, FaceOutputs& face) override {
        ++calls;
        lastSize = buffers.size;
        const auto landmarks = face.faceLandmarks;
        face = result;
        if (!result.faceValid) {
            face.faceLandmarks = landmarks;
        }
    }

    FaceOutputs result;
    int calls = 0;
    FrameSize lastSize;
};

}  // namespace velvix::testing
