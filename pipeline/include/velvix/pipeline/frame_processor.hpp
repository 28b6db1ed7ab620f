#pragma once

#include <cstdint>
#include <vector>

#include "velvix/pipeline/control_block.hpp"
#include "velvix/pipeline/frame_size.hpp"
#include "velvix/pipeline/processing_steps.hpp"

namespace velvix {

// The frame worker's six working buffers. They are allocated up front for the default size
// and grow only when a larger frame size is adopted, never per frame.
class FrameBuffers {
  public:
    explicit FrameBuffers(FrameSize size = kDefaultFrameSize);

    // Makes every buffer large enough for `size`.
    void reserve(FrameSize size);

    std::uint8_t* capture() { return capture_.data(); }  // capture layout
    std::uint8_t* output() { return output_.data(); }    // frame layout; what is published
    std::uint8_t* work() { return work_.data(); }        // the smoothed frame or face rectangle
    std::uint8_t* turned() { return turned_.data(); }
    std::uint8_t* small() { return small_.data(); }
    std::uint8_t* grey() { return grey_.data(); }

    FaceStepBuffers faceStepBuffers(FrameSize size);

  private:
    std::vector<std::uint8_t> capture_;
    std::vector<std::uint8_t> output_;
    std::vector<std::uint8_t> work_;
    std::vector<std::uint8_t> turned_;
    std::vector<std::uint8_t> small_;
    std::vector<std::uint8_t> grey_;
};

// Turns the frame in the capture buffer into the frame to publish in the output buffer:
// packed as it is, or, with smoothing on, smoothed on the skin of the face rectangle (or of
// the whole frame when no face is accepted) and masked.
void processFrame(FrameBuffers& buffers, FrameSize size, const AppliedSettings& settings,
                  const ProcessingSteps& steps, FaceOutputs& face);

}  // namespace velvix
