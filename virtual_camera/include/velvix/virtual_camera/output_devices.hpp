#pragma once

#include <memory>
#include <string>
#include <vector>

#include "velvix/base/result.hpp"
#include "velvix/pipeline/frame_size.hpp"
#include "velvix/virtual_camera/bridge.hpp"
#include "velvix/virtual_camera/frame_output.hpp"

namespace velvix::virtual_camera {

// The card labels the program feeds by itself: a loopback device is Velvix's when its label
// begins with this (and the camera list leaves such devices out for the same reason).
inline constexpr char kLabelPrefix[] = "Velvix";

struct LoopbackDevice {
    std::string path;
    std::string label;  // the card label, as the device list of other programs shows it
};

// A device opened for feeding, or why it cannot be.
using OpenedOutput = Result<std::unique_ptr<FrameSink>>;

// The system's video devices, as the feeder sees them: on Linux /dev/video* with the names
// the kernel gives them, in tests a fake.
class OutputDevices {
  public:
    virtual ~OutputDevices() = default;
    // Every video device there is now, with its name, without opening any.
    virtual std::vector<LoopbackDevice> list() = 0;
    // Opens a loopback device for feeding frames of this size and format; anything else (a
    // camera, a device another program feeds, a refused format) gives the reason.
    virtual OpenedOutput open(const std::string& path, FrameSize size, OutputFormat format) = 0;
};

}  // namespace velvix::virtual_camera
