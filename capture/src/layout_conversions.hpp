#pragma once

#include <cstddef>
#include <cstdint>

#include "velvix/pipeline/capture_source.hpp"
#include "velvix/pipeline/frame_size.hpp"

// Delivered samples to the capture layout (red, green, blue, 255; 4 bytes a pixel). The
// destination holds width x height pixels.
namespace velvix {

// RGB24 rows of blue, green, red; the row order is kept.
void convertRgb24(const std::uint8_t* source, std::uint8_t* destination, int width, int height);

// 8-bit grey; each pixel becomes a grey capture pixel, the row order is kept.
void convertGrey8(const std::uint8_t* source, std::uint8_t* destination, int width, int height);

// 16-bit little-endian grey; the high byte becomes a grey capture pixel.
void convertGrey16(const std::uint8_t* source, std::uint8_t* destination, int width, int height);

// One row of width pixels of video-range 4:2:0 YUV (BT.601) as RGB24 (blue, green, red), by the
// formula the NV12 conversion uses; u and v hold the row's (width + 1) / 2 chroma samples.
void rgb24RowFromYuv420(const std::uint8_t* luma, const std::uint8_t* u, const std::uint8_t* v,
                        int width, std::uint8_t* out);

// Packed 4:2:2 YUV (luma, U, luma, V for each two pixels; top row first, rows `stride` bytes
// apart) as RGB24 with its bottom row first, by the formula the NV12 conversion uses. Width
// must be even.
void rgb24FromYuyvBottomUp(const std::uint8_t* source, std::size_t stride, int width, int height,
                           std::uint8_t* destination);

// NV12 (a plane of luma, then interleaved U, V for each 2 x 2 block), turned by 180 degrees:
// source pixel (x, y) lands at (width - 1 - x, height - 1 - y). A top-down NV12 frame thus
// comes out with its bottom row first, mirrored left to right. Width and height must be
// even; a height below 2 converts nothing.
void convertNv12Turned(const std::uint8_t* source, std::uint8_t* destination, int width,
                       int height);

// One delivered frame of the given layout.
void convertToCaptureLayout(MediaSubtype delivered, const std::uint8_t* source,
                            std::uint8_t* destination, int width, int height);

}  // namespace velvix
