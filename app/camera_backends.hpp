#pragma once

#include <string>
#include <vector>

#include "velvix/capture/capture_backend.hpp"
#include "velvix/capture/file_camera.hpp"

namespace velvix {

// The cameras the program offers: the system's own first, then the test cameras.
CaptureBackends cameraBackends(const std::vector<FileCameraConfig>& testCameras);

// The device names by index, as a short-lived capture manager on the calling thread finds them.
std::vector<std::string> listCameraNames(const CaptureBackends& backends);

}  // namespace velvix
