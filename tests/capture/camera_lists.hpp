#pragma once

#include <string>
#include <vector>

#include "velvix/capture/capture_backend.hpp"

// The format lists of real cameras in tests/capture/cameras, one file per camera.
namespace velvix::testing {

struct ListedSize {
    std::string fourcc;  // as V4L2 prints it: "YUYV", "MJPG", "H264", ...
    int width = 0;
    int height = 0;
    std::vector<double> framesPerSecond;
};

std::vector<ListedSize> readCameraList(const std::string& camera);

// The listed sizes the capture layer can take, as its modes (H.264 is left out).
std::vector<CameraMode> cameraModes(const std::vector<ListedSize>& listed);

}  // namespace velvix::testing
