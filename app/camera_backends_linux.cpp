#include "camera_backends.hpp"
#include "velvix/capture/v4l2_backend.hpp"
#include "velvix/platform/log.hpp"
#include "velvix/virtual_camera/linux_devices.hpp"
#include "velvix/virtual_camera/pipewire_camera.hpp"

namespace velvix {

std::shared_ptr<CaptureBackend> systemCameraBackend() {
    return std::make_shared<V4l2Backend>();
}

std::unique_ptr<virtual_camera::OutputDevices> virtualCameraDevices() {
    return std::make_unique<virtual_camera::V4l2OutputDevices>();
}

std::unique_ptr<virtual_camera::ServedCamera> startServedCamera(const std::string& ringName) {
    return std::make_unique<virtual_camera::PipeWireCamera>(
        virtual_camera::PipeWireCameraSettings{ringName},
        platform::logLines(platform::LogCategory::vcam, platform::LogSeverity::notice));
}

virtual_camera::CommandResult runSetupCommand(const std::vector<std::string>& arguments) {
    return virtual_camera::runCommand(arguments);
}

std::optional<std::string> readingCameraState(const std::string& /*ringName*/) {
    return std::nullopt;
}

}  // namespace velvix
