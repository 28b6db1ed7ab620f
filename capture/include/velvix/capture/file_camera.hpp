#pragma once

#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "velvix/base/result.hpp"
#include "velvix/capture/capture_backend.hpp"

// The test camera: a PNG or JPEG still (delivered again every frame period) or a YUV4MPEG2
// video (looped), presented as a capture device. It offers its own size only and delivers
// RGB24, or NV12 or MJPG when asked to with an option, so that every path of the capture layer
// can run without hardware.
namespace velvix {

inline constexpr char kTestCameraPrefix[] = "Test camera: ";

// A test camera as given on the command line: a path with options appended after '?' and
// separated by '&': "format=nv12", "format=mjpg" (the file's JPEG images, one or more back to
// back, sent as they are, as a webcam sends MJPG), "freeze-after=N" (stop delivering after N
// frames) and "fit=cover" (a still fills the frame, cut at two sides, instead of being shown
// whole).
struct FileCameraConfig {
    std::string path;
    MediaSubtype delivered = MediaSubtype::rgb24;
    std::optional<int> freezeAfter;
    bool cover = false;

    // "Test camera: " and the file name without its folder or options.
    std::string deviceName() const;
};

Result<FileCameraConfig> parseFileCamera(const std::string& pathWithOptions);

class FileCameraBackend final : public CaptureBackend {
  public:
    explicit FileCameraBackend(std::vector<FileCameraConfig> cameras);

    std::vector<std::u16string> deviceNames() override;
    // Reads the file; nothing when it cannot be used, with a line on the debug output the
    // first time (the worker tries again every two seconds).
    std::unique_ptr<DeviceConnection> connect(int index) override;

  private:
    std::vector<FileCameraConfig> cameras_;
    std::mutex mutex_;
    std::vector<std::string> saidErrors_;  // per camera
};

}  // namespace velvix
