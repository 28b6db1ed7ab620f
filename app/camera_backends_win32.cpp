#include "camera_backends.hpp"
#include "velvix/capture/dshow_backend.hpp"
#include "velvix/virtual_camera/windows_camera.hpp"

namespace velvix {

std::shared_ptr<CaptureBackend> systemCameraBackend() {
    return std::make_shared<DirectShowBackend>();
}

// The virtual camera on Windows is a DirectShow source of its own that reads the ring; the
// program feeds no device, serves no camera and has nothing to set up.
std::unique_ptr<virtual_camera::OutputDevices> virtualCameraDevices() {
    return nullptr;
}

std::unique_ptr<virtual_camera::ServedCamera> startServedCamera(const std::string& /*ringName*/) {
    return nullptr;
}

virtual_camera::CommandResult runSetupCommand(const std::vector<std::string>& /*arguments*/) {
    return {};
}

std::optional<std::string> readingCameraState(const std::string& ringName) {
    const std::string name = virtual_camera::kWindowsCameraName;
    switch (virtual_camera::windowsCameraUse(ringName)) {
        case virtual_camera::WindowsCameraUse::notInstalled:
            return "not-installed:" + name;
        case virtual_camera::WindowsCameraUse::idle:
            return "ready:" + name;
        case virtual_camera::WindowsCameraUse::reading:
            break;
    }
    return "reading:" + name;
}

}  // namespace velvix
