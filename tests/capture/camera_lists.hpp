#pragma once

#include <string>
#include <vector>

#include "velvix/capture/capture_backend.hpp"

// The format lists of real cameras in tests/capture/cameras, one file per camera.
namespace velvix::testing {

// The listed sizes the capture layer can take (H.264 is left out), in the camera's order.
std::vector<CameraMode> cameraModes(const std::string& camera);

}  // namespace velvix::testing
