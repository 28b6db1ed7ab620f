#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

#include "velvix/base/picture.hpp"
#include "velvix/pipeline/face_outputs.hpp"

// Pixel layouts and orientations of the frame pipeline, in one place. Every buffer is tightly
// packed (a row is width x pixel bytes).
//   capture layout: 4 bytes red, green, blue, alpha (255)
//   filter layout:  4 bytes blue, green, red, fourth byte
//   frame layout:   3 bytes blue, green, red (also the frame ring's pixels)
//   grey layout:    1 byte luma
//
// The worker's buffers (FrameBuffers) and the ring, in the order a frame passes them:
//   buffer   layout               rows                written by             read by
//   capture  capture              bottom first        CaptureSource          packPixels, Smoother
//   output   frame                bottom first        packPixels, smoothing  face step, ring
//   turned   frame                turned (see below)  face step              face step
//   small    frame, 1/4 per side  turned              face step              face detector
//   grey     grey                 turned              face step              landmark fitter
//   work     filter (capture      bottom first        copyRectangleOut,      maskFeatures,
//            until smoothed)                          Smoother               blendSkin, packPixels
//   mask     1 byte alpha         bottom first        drawFaceMask           blendSkin
//   ring     frame                bottom first        FrameRing::publish     bridge, readers
// The Smoother turns its source from the capture layout into the filter layout in place, so
// capture and work trade places for a face area: the area is copied into work, smoothed into
// capture and copied back into output; the whole frame is smoothed from capture into work.
//
// Turned: the face step works on a copy of the output turned by 180 degrees (rotate180), so
// that its first row is the picture's top row and its first column the picture's right edge.
// Its rectangle (FaceOutputs.faceX, faceY) is in the turned picture's coordinates and is
// turned back into the worker's buffers before smoothing; its landmarks count from the
// rectangle's corner in the turned picture, which is the rectangle's far corner (last column,
// last row) in the worker's buffers: FeatureBox (landmark_layout.hpp) measures from there.
namespace velvix {

// The 4-byte layout packPixels reads.
enum class PackFrom {
    captureLayout,  // red first: bytes 2, 1, 0 make the frame layout
    filterLayout,   // blue first: bytes 0, 1, 2 make the frame layout
};

// 4-byte pixels to 3-byte pixels in the frame layout.
void packPixels(const std::uint8_t* source, std::uint8_t* destination, int width, int height,
                PackFrom from);

// Whether maskFeatures also keeps the facial feature boxes unsmoothed.
enum class FeatureBoxes { ignore, keepUnsmoothed };

// Decides which smoothed pixels stay smoothed: skin-coloured ones outside the facial feature
// boxes. Every other pixel gets bytes 0 to 2 of its unsmoothed twin back; byte 3 of the
// smoothed buffer is never written. Both buffers are in the filter layout. The feature boxes
// apply when asked for, the face step accepted a face and it has landmarks.
void maskFeatures(const std::uint8_t* unsmoothed, std::uint8_t* smoothed, int width, int height,
                  FeatureBoxes boxRule, const FaceOutputs& face);

// Blends each smoothed pixel with its unsmoothed twin by its alpha (0 to 255):
// smoothed = unsmoothed + alpha x (smoothed - unsmoothed) / 255, rounded, for skin-coloured
// pixels; every other pixel gets its unsmoothed bytes back. Both buffers are in the filter
// layout; byte 3 of the smoothed buffer is never written.
void blendSkin(const std::uint8_t* unsmoothed, std::uint8_t* smoothed, const std::uint8_t* alpha,
               std::size_t count);

// Whether greyFromFrame writes a row's pixels in the picture's order or from its last column
// to its first (with a bottom-first view of the frame, the picture turned by 180 degrees).
enum class GreyColumns { inOrder, reversed };

// A picture in the frame layout to grey, into rows of the picture's width: each pixel becomes
// floor(0.299 red + 0.587 green + 0.114 blue), as computed in double precision.
void greyFromFrame(ConstPicture frame, std::uint8_t* grey,
                   GreyColumns columns = GreyColumns::inOrder);

// The skin test on the chroma of an unsmoothed pixel (77 <= Cb <= 127, 133 <= Cr <= 173).
bool isSkinColour(std::uint8_t blue, std::uint8_t green, std::uint8_t red);

}  // namespace velvix
