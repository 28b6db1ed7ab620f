#include "camera_backends.hpp"
#include "velvix/capture/dshow_backend.hpp"

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

}  // namespace velvix
