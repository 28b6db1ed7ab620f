#pragma once

#include <string>
#include <vector>

#include "velvix/virtual_camera/bridge.hpp"
#include "velvix/virtual_camera/loopback_setup.hpp"
#include "velvix/virtual_camera/output_devices.hpp"

// The virtual camera on Linux: v4l2loopback devices and the commands that set them up.
namespace velvix::virtual_camera {

// Writes whole frames to a file descriptor, which it owns.
class DescriptorSink final : public FrameSink {
  public:
    explicit DescriptorSink(int fd) : fd_(fd) {}
    ~DescriptorSink() override;
    DescriptorSink(const DescriptorSink&) = delete;
    DescriptorSink& operator=(const DescriptorSink&) = delete;
    bool writeFrame(const std::uint8_t* data, std::size_t bytes) override;

  private:
    int fd_;
};

// Opens a v4l2loopback device as a video output and sets its format. Anything else (no such
// file, another kind of device, a capture-only device, a refused format) gives an error.
OpenedOutput openV4l2Output(const std::string& path, FrameSize size, OutputFormat format);

// /dev/video* with the names the kernel gives them in /sys/class/video4linux (a loopback
// device's name is its card label), in the order of their numbers.
class V4l2OutputDevices final : public OutputDevices {
  public:
    explicit V4l2OutputDevices(std::string sysfsFolder = "/sys/class/video4linux",
                               std::string deviceFolder = "/dev");
    std::vector<LoopbackDevice> list() override;
    OpenedOutput open(const std::string& path, FrameSize size, OutputFormat format) override;

  private:
    std::string sysfsFolder_;
    std::string deviceFolder_;
};

// Runs the program at the absolute path arguments[0] (PATH is not searched) without a shell,
// with nothing on its standard input, and collects its standard error.
CommandResult runCommand(const std::vector<std::string>& arguments);

}  // namespace velvix::virtual_camera
