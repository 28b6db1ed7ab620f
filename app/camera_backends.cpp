#include "camera_backends.hpp"

#include <algorithm>

#include "velvix/capture/capture_manager.hpp"

namespace velvix {

CaptureBackends cameraBackends(const std::vector<FileCameraConfig>& testCameras) {
    CaptureBackends backends{systemCameraBackend()};
    if (!testCameras.empty()) {
        backends.push_back(std::make_shared<FileCameraBackend>(testCameras));
    }
    return backends;
}

std::vector<std::string> listCameraNames(const CaptureBackends& backends) {
    CaptureManager manager(backends);
    const int count = std::min(manager.countDevices(), kMaxCaptureDevices);
    std::vector<std::string> names;
    for (int index = 0; index < count; ++index) {
        names.push_back(manager.deviceName(index));
    }
    return names;
}

}  // namespace velvix
