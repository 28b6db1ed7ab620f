#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

#include "velvix/base/picture.hpp"
#include "velvix/pipeline/face_outputs.hpp"
#include "velvix/pipeline/skin_tone.hpp"

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
//   smoothed filter               bottom first        Smoother, blendSkin    packPixels
//   area
//   mask     1 byte alpha         bottom first        drawFaceMask           blendSkin
//   ring     frame                bottom first        FrameRing::publish     bridge, readers
// The Smoother turns its source from the capture layout into the filter layout in place, so
// a face's area is copied into work, smoothed into the smoothed area and copied back into
// output where its mask is above 0 (capture stays the camera's frame for the next face); the
// face rectangle of the rectangle mask is smoothed into capture instead, and the whole frame
// from capture into work.
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

// blendSkin for the pixels of a face whose skin's colour was learned: of the skin-coloured
// pixels, alpha is weighed by how close the unsmoothed pixel's chroma lies to the skin's. With d
// the distance in tolerances (each axis's difference in tone units times its scale, shifted
// right by 8, over kToneUnit), the weight is 1 up to d = 1, falls as kToneFade - d^2 beyond and
// is 0 from d^2 = kToneFade on; alpha becomes alpha x weight, rounded to a whole number.
void blendSkinOfTone(const std::uint8_t* unsmoothed, std::uint8_t* smoothed,
                     const std::uint8_t* alpha, std::size_t count, const SkinTone& tone);

// The share of its alpha, in 256ths, that a pixel keeps at each brightness (blue + 2 green +
// red); 32 bits an entry, so that eight pixels gather theirs at once.
using BrightnessShares = std::array<std::uint32_t, 4 * 255 + 1>;

// Each of `count` pixels' alpha times the share of its brightness, over 256, rounded down. The
// pixels are in the filter layout.
void fadeByBrightness(const std::uint8_t* pixels, std::uint8_t* alpha, std::size_t count,
                      const BrightnessShares& shares);

// Smoothing takes the skin's fine grain (pores, fine lines, stubble) along with its blotches;
// this share of the finest detail it took from the brightness goes back at the highest level,
// less at lower ones in proportion. The finest detail of what smoothing took (unsmoothed less
// smoothed) is its part beyond the mean of the 3 x 3 pixels round each pixel, less that
// difference's own 3 x 3 mean. A little of a blotch's edge comes back with it; so that
// blotches end up at least as smoothed as the filter left them, the same share of the next
// coarser part of what smoothing took (its 3 x 3 mean less the 3 x 3 mean of that) is taken
// away once more. Detail beyond kGrainLimit (an edge rather than grain) goes back only up to
// the limit. Grain is brightness: colour noise stays smoothed.
inline constexpr float kGrainShareAtFull = 0.7f;
inline constexpr int kGrainLimit = 12;

// Bytes of work memory returnFineGrain needs for pictures `width` pixels wide.
std::size_t grainScratchBytes(int width);

// Returns the finest detail of the brightness smoothing took to the smoothed picture at a
// smoothing level (0 to 100; others count as the nearer end). With t = what smoothing took
// from blue + 2 green + red of a pixel (unsmoothed less smoothed), S the sum of the 3 x 3
// values of t round a pixel and SS the sum of the 3 x 3 values of S round it, bytes 0 to 2 of
// every pixel at least two pixels from the picture's edge change by
// ((d - 9 S + SS) x gain + 2^14) >> 15, clamped to 0 to 255, where d = 81 t - 18 S + SS
// clamped to +-324 kGrainLimit and gain = round(share x 2^15 / 324); t, S and SS are taken from
// the smoothed picture as it was. Both buffers are in the filter layout and width x height
// pixels; byte 3 of the smoothed buffer keeps its value.
void returnFineGrain(const std::uint8_t* unsmoothed, std::uint8_t* smoothed, int width, int height,
                     int level, std::int32_t* scratch);

// Whether greyFromFrame writes a row's pixels in the picture's order or from its last column
// to its first (with a bottom-first view of the frame, the picture turned by 180 degrees).
enum class GreyColumns { inOrder, reversed };

// A picture in the frame layout to grey, into rows of the picture's width: each pixel becomes
// floor(0.299 red + 0.587 green + 0.114 blue), as computed in double precision.
void greyFromFrame(ConstPicture frame, std::uint8_t* grey,
                   GreyColumns columns = GreyColumns::inOrder);

// The grey picture of columns [left, right) and rows [top, bottom) of a 3-byte frame, written
// where they land in `grey` with the frame turned by 180 degrees: frame pixel (x, y) at turned
// pixel (width - 1 - x, height - 1 - y).
void turnedGrey(const std::uint8_t* frame, FrameSize size, int left, int top, int right, int bottom,
                std::uint8_t* grey);

// Copies 3-byte pixels with their first and third bytes swapped: the frame layout (blue, green,
// red) into red, green, blue, and back. The destination has the source's size.
void swapRedAndBlue(ConstPicture source, Picture destination);

// The skin test on the chroma of an unsmoothed pixel (77 <= Cb <= 127, 133 <= Cr <= 173).
bool isSkinColour(std::uint8_t blue, std::uint8_t green, std::uint8_t red);

}  // namespace velvix
