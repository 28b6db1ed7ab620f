#pragma once

#include <cstdint>
#include <fstream>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "velvix/base/result.hpp"
#include "velvix/capture/capture_backend.hpp"

namespace velvix::file_camera {

// Delivered frames of one test camera file, in RGB24 (blue, green, red, bottom row first) or
// NV12 (top row first), produced on the streaming thread.
class FrameSource {
  public:
    virtual ~FrameSource() = default;
    int width() const { return width_; }
    int height() const { return height_; }
    // The file's own frame period; kNoFramePeriod for a still.
    virtual int framePeriod() const { return kNoFramePeriod; }
    // The next frame, held by the source until the next call; nothing when the file cannot be
    // read any more. A still hands out its one frame every time, without a copy.
    virtual const std::vector<std::uint8_t>* nextFrame() = 0;

  protected:
    int width_ = 0;
    int height_ = 0;
};

// A PNG or JPEG still or a YUV4MPEG2 video (4:2:0 or mono), chosen by the file's content.
Result<std::unique_ptr<FrameSource>> openFrameSource(const std::string& path,
                                                     MediaSubtype delivered);

// Video-range YUV (BT.601) of a top-down RGB picture, as NV12. Width and height even.
std::vector<std::uint8_t> nv12FromRgb(const std::uint8_t* rgb, int width, int height);

// Top-down RGB to bottom-up blue, green, red.
std::vector<std::uint8_t> rgb24FromRgb(const std::uint8_t* rgb, int width, int height);

}  // namespace velvix::file_camera
