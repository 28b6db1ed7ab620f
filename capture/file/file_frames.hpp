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

// Delivered frames of one test camera file, in RGB24 (blue, green, red, bottom row first),
// NV12 (top row first) or MJPG, produced on the streaming thread.
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

// How a still meets the frame, which the capture layer fills by scaling the camera's picture to
// cover it: whole (the still in the middle of a 16:9 picture on a neutral grey, so that no part
// of it is cut) or covering (the still as it is, cut at two sides when its shape differs).
enum class StillFit { whole, cover };

// A PNG or JPEG still or a YUV4MPEG2 video (4:2:0 or mono), chosen by the file's content; for
// MJPG, JPEG images back to back.
Result<std::unique_ptr<FrameSource>> openFrameSource(const std::string& path,
                                                     MediaSubtype delivered,
                                                     StillFit fit = StillFit::whole);

// The picture (RGB, top row first) in the middle of the smallest 16:9 picture of even sides that
// holds it, on kNeutralGrey; the size is updated. Unchanged when that would exceed 8192 pixels.
std::vector<std::uint8_t> wholeIn16By9(const std::uint8_t* rgb, int& width, int& height);
// A grey that no skin test takes for skin: red, green and blue are equal.
inline constexpr std::uint8_t kNeutralGrey = 128;

// Video-range YUV (BT.601) of a top-down RGB picture, as NV12. Width and height even.
std::vector<std::uint8_t> nv12FromRgb(const std::uint8_t* rgb, int width, int height);

// Top-down RGB to bottom-up blue, green, red.
std::vector<std::uint8_t> rgb24FromRgb(const std::uint8_t* rgb, int width, int height);

}  // namespace velvix::file_camera
