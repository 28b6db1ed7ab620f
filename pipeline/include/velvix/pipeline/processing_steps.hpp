#pragma once

#include <array>
#include <cstdint>

#include "velvix/pipeline/face_outputs.hpp"
#include "velvix/pipeline/frame_size.hpp"

namespace velvix {

// Rectangles of a frame, in its own pixels, where the face step reads the grey picture.
struct GreyAreas {
    struct Area {
        int left = 0;  // columns [left, right), rows [top, bottom)
        int top = 0;
        int right = 0;
        int bottom = 0;
    };
    std::array<Area, 2 * kMaxFaces> areas{};
    int count = 0;
};

// The worker's frame and the scratch buffers the face step may write.
struct FaceStepBuffers {
    const std::uint8_t* frame = nullptr;  // frame layout, size.width x size.height
    std::uint8_t* turned = nullptr;       // same size as frame
    std::uint8_t* small = nullptr;        // (width / 4) x (height / 4 + 32) pixels of 3 bytes
    std::uint8_t* grey = nullptr;         // one byte per pixel of frame
    FrameSize size;
    // Where `grey` already holds this frame's grey picture, turned (turnedGrey in pixels.hpp).
    GreyAreas greyReady;
};

// Finds the faces in the worker's frame and writes their rectangles and landmarks for the
// feature mask.
class FaceStep {
  public:
    virtual ~FaceStep() = default;
    virtual void run(const FaceStepBuffers& buffers, FaceOutputs& face) = 0;
    // Where the next run will likely read the grey picture: the worker converts these while it
    // packs the frame, when their rows are in the caches, instead of the step reading them
    // from memory again.
    virtual GreyAreas greyAreasWanted() const { return {}; }
};

// Skin smoothing of 4-byte pixels. It first swaps bytes 0 and 2 of every source pixel in place
// (capture layout to filter layout) and writes the smoothed picture to the destination in
// the filter layout.
class Smoother {
  public:
    virtual ~Smoother() = default;
    virtual void smoothFrame(std::uint8_t* source, std::uint8_t* destination, int width, int height,
                             int level) = 0;
    // The smoother works in columns of this many pixels: an area cut out of the frame for it is
    // widened to a whole number of them.
    virtual int columnGrid() const = 0;
};

// Sees every processed frame twice, in the frame layout: once before smoothing writes into it
// and once as it is published. Called on the worker's thread; it must be quick.
class FrameTap {
  public:
    virtual ~FrameTap() = default;
    virtual void unsmoothed(const std::uint8_t* frame, FrameSize size) = 0;
    virtual void published(const std::uint8_t* frame, FrameSize size) = 0;
};

// The optional stages of the per-frame processing; a missing one is skipped.
struct ProcessingSteps {
    FaceStep* faceStep = nullptr;
    Smoother* smoother = nullptr;
    FrameTap* tap = nullptr;
};

}  // namespace velvix
