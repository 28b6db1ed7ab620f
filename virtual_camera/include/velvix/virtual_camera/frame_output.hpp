#pragma once

#include <cstdint>
#include <optional>
#include <string_view>
#include <vector>

#include "velvix/pipeline/frame_size.hpp"

namespace velvix::virtual_camera {

// Pixel formats a virtual camera is fed with; colours in BT.601 limited range where they are
// YUV. All but bitmapRgb24 hold the top row first, rows and planes without padding.
enum class OutputFormat {
    yuyv,   // Y0 U Y1 V for each pair of pixels
    rgb24,  // red, green, blue
    i420,   // a plane of Y, then planes of U and V for each square of 2 x 2 pixels
    bgrx,   // blue, green, red and a fourth byte of 255
    // Blue, green, red, bottom row first, each row padded to whole 4 bytes: a Windows bitmap's
    // rows, DirectShow's RGB24 (the ring's own layout where W x 3 is a multiple of 4).
    bitmapRgb24,
};

std::optional<OutputFormat> outputFormatFromName(std::string_view name);
std::size_t outputFrameBytes(FrameSize size, OutputFormat format);
// The bytes of one row of the format's first plane.
std::size_t outputStride(int width, OutputFormat format);

// Turns ring frames (blue, green, red, bottom row first) of any size into frames of one output
// size and format; a frame of another size is scaled to the nearest pixel. Rows come out in
// the order the output format keeps them.
class FrameConverter {
  public:
    FrameConverter(FrameSize output, OutputFormat format);

    FrameSize outputSize() const { return output_; }
    std::size_t frameBytes() const { return outputFrameBytes(output_, format_); }
    void convert(const std::uint8_t* ringPixels, FrameSize input, std::uint8_t* destination);

  private:
    // Output row y (from the top) of the ring frame, scaled into `scaled` where the sizes differ.
    const std::uint8_t* sourceRow(const std::uint8_t* ringPixels, FrameSize input, int y,
                                  std::vector<std::uint8_t>& scaled);
    void convertPlanar(const std::uint8_t* ringPixels, FrameSize input, std::uint8_t* destination);

    FrameSize output_;
    OutputFormat format_;
    FrameSize scaledFrom_;
    std::vector<int> sourceColumns_;
    std::vector<int> sourceRows_;  // counted from the picture's top
    std::vector<std::uint8_t> scaledRows_[2];
    std::vector<std::uint8_t> spareLuma_;  // where a missing last row of an odd height goes
    std::vector<std::uint8_t> planes_;     // scratch of the row conversion
};

// A neutral picture in the ring's layout that says the program is not delivering frames.
std::vector<std::uint8_t> placeholderFrame(FrameSize size);

}  // namespace velvix::virtual_camera
