#include "camera_backends.hpp"

#include <algorithm>

#include "velvix/capture/capture_manager.hpp"
#ifdef _WIN32
#include "velvix/capture/dshow_backend.hpp"
#else
#include "velvix/capture/v4l2_backend.hpp"
#include "velvix/virtual_camera/linux_devices.hpp"
#endif

namespace velvix {

CaptureBackends cameraBackends(const std::vector<FileCameraConfig>& testCameras) {
    CaptureBackends backends;
#ifdef _WIN32
    backends.push_back(std::make_shared<DirectShowBackend>());
#else
    backends.push_back(std::make_shared<V4l2Backend>());
#endif
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

std::unique_ptr<virtual_camera::OutputDevices> virtualCameraDevices() {
#ifndef _WIN32
    return std::make_unique<virtual_camera::V4l2OutputDevices>();
#else
    return nullptr;
#endif
}

virtual_camera::CommandResult runSetupCommand(
    [[maybe_unused]] const std::vector<std::string>& arguments) {
#ifndef _WIN32
    return virtual_camera::runCommand(arguments);
#else
    return {};
#endif
}

}  // namespace velvix
