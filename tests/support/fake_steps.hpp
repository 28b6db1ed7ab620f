#pragma once

#include <functional>

#include "velvix/pipeline/processing_steps.hpp"

namespace velvix::testing {

// Swaps bytes 0 and 2 of the source as the real smoother does, and writes each channel plus
// `step` (wrapping), with a fourth byte of 0x5A, so that a test can tell smoothed from
// unsmoothed pixels.
class MarkingSmoother final : public Smoother {
  public:
    void smoothFrame(std::uint8_t* source, std::uint8_t* destination, int width, int height,
                     int level) override;
    // As the real filter's, so that the areas cut out for it are the program's.
    int columnGrid() const override { return 16; }

    std::uint8_t step = 1;
    int calls = 0;
    int lastLevel = -1;
    FrameSize lastSize;
};

// Reports whatever face the test sets.
class ScriptedFaceStep final : public FaceStep {
  public:
    void run(const FaceStepBuffers& buffers, FaceOutputs& face) override;

    FaceOutputs result;
    int calls = 0;
    FrameSize lastSize;
};

}  // namespace velvix::testing
