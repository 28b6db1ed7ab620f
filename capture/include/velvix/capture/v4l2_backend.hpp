#pragma once

#include <string>

#include "velvix/capture/capture_backend.hpp"

namespace velvix {

// The cameras of a Linux system: every video capture node in the device folder (/dev/video*),
// named by its card name, opened through libv4l2. Each camera lists its own formats for the
// manager's choice; MJPG and YUYV are decoded and converted to RGB24 here, other formats by
// libv4l2. Each stream runs on a thread of its own with memory-mapped buffers; a device that
// disappears ends its stream.
class V4l2Backend final : public CaptureBackend {
  public:
    explicit V4l2Backend(std::string deviceFolder = "/dev");

    std::vector<std::u16string> deviceNames() override;
    std::unique_ptr<DeviceConnection> connect(int index) override;

  private:
    struct Node {
        std::string path;
        std::u16string name;
    };
    std::vector<Node> captureNodes() const;

    std::string deviceFolder_;
};

}  // namespace velvix
