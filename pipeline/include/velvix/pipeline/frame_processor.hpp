#pragma once

#include <cstdint>
#include <vector>

#include "velvix/pipeline/control_block.hpp"
#include "velvix/pipeline/face_mask.hpp"
#include "velvix/pipeline/face_outputs.hpp"
#include "velvix/pipeline/frame_size.hpp"
#include "velvix/pipeline/processing_steps.hpp"

namespace velvix {

// The frame worker's working buffers. They are allocated up front for the default size and
// grow only when a larger frame size is adopted, never per frame. Their layouts and row
// orders, and who writes and reads each: pixels.hpp.
class FrameBuffers {
  public:
    explicit FrameBuffers(FrameSize size = kDefaultFrameSize);

    // Makes every buffer large enough for `size`.
    void reserve(FrameSize size);

    std::uint8_t* capture() { return capture_.data(); }  // capture layout
    std::uint8_t* output() { return output_.data(); }    // frame layout; what is published
    std::uint8_t* work() { return work_.data(); }        // the smoothed frame or face rectangle
    std::uint8_t* smoothedArea() { return smoothedArea_.data(); }  // a face's area, smoothed
    std::uint8_t* turned() { return turned_.data(); }
    std::uint8_t* small() { return small_.data(); }
    std::uint8_t* grey() { return grey_.data(); }
    std::uint8_t* mask() { return mask_.data(); }  // one alpha byte per pixel

    FaceStepBuffers faceStepBuffers(FrameSize size, const GreyAreas& greyReady = {});
    MaskScratch maskScratch() { return {maskRowSums_.data(), maskColumnSums_.data()}; }
    std::int32_t* grainScratch() { return grainScratch_.data(); }  // for returnFineGrain

  private:
    std::vector<std::uint8_t> capture_;
    std::vector<std::uint8_t> output_;
    std::vector<std::uint8_t> work_;
    std::vector<std::uint8_t> smoothedArea_;
    std::vector<std::uint8_t> turned_;
    std::vector<std::uint8_t> small_;
    std::vector<std::uint8_t> grey_;
    std::vector<std::uint8_t> mask_;
    std::vector<std::uint8_t> maskRowSums_;
    std::vector<std::uint32_t> maskColumnSums_;
    std::vector<std::int32_t> grainScratch_;
};

// Turns the frame in the capture buffer into the frame to publish in the output buffer:
// packed as it is, or, with smoothing on, smoothed on the skin of the faces (or of the whole
// frame when there is no face) and masked. `fade` carries the widest face's region from frame
// to frame; give it a fresh one for a single picture.
void processFrame(FrameBuffers& buffers, FrameSize size, const AppliedSettings& settings,
                  const ProcessingSteps& steps, FaceOutputs& face, FaceRegionFade& fade);

}  // namespace velvix
