#pragma once

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "velvix/capture/capture_backend.hpp"
#include "velvix/capture/file_camera.hpp"
#include "velvix/virtual_camera/loopback_setup.hpp"
#include "velvix/virtual_camera/output_devices.hpp"
#include "velvix/virtual_camera/served_camera.hpp"

namespace velvix {

// The system's own cameras (one source file per system).
std::shared_ptr<CaptureBackend> systemCameraBackend();

// The cameras the program offers: the system's own first, then the test cameras.
CaptureBackends cameraBackends(const std::vector<FileCameraConfig>& testCameras);

// The device names by index, as a short-lived capture manager on the calling thread finds them.
std::vector<std::string> listCameraNames(const CaptureBackends& backends);

// The system's video output devices that a virtual camera can be fed through, or nothing
// where the program cannot feed one.
std::unique_ptr<virtual_camera::OutputDevices> virtualCameraDevices();

// The camera the program offers through the session's media server, started now (on a thread
// of its own, fed from the ring of that name), or nothing where the program serves none.
std::unique_ptr<virtual_camera::ServedCamera> startServedCamera(const std::string& ringName);

// Runs the set-up command of a virtual camera on this system.
virtual_camera::CommandResult runSetupCommand(const std::vector<std::string>& arguments);

// What the panel says of a virtual camera that reads ring `ringName` by itself, as it does on
// Windows: "not-installed:NAME", "ready:NAME" or "reading:NAME". Nothing where the program
// feeds its virtual cameras itself.
std::optional<std::string> readingCameraState(const std::string& ringName);

}  // namespace velvix
