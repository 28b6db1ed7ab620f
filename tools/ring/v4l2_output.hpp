#pragma once

#include <memory>
#include <string>

#include "bridge.hpp"

namespace velvix::ring_tool {

struct V4l2Output {
    std::unique_ptr<FrameSink> sink;
    std::string error;  // why the device cannot be used, for the user
};

// Opens a v4l2loopback device as a video output and sets its format. Anything else (no such
// file, another kind of device, a capture-only device, a refused format) gives an error.
V4l2Output openV4l2Output(const std::string& path, FrameSize size, OutputFormat format);

}  // namespace velvix::ring_tool
