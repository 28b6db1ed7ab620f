#pragma once

#include <optional>
#include <string>
#include <vector>

#include "velvix/pipeline/frame_size.hpp"

namespace velvix::testing {

// The folder of annotated faces beside the repository (../shared/data), or in the folder
// VELVIX_DATA_DIR names, when it is there.
std::optional<std::string> faceDataFolder(const std::string& subfolder);

// An annotated face photo put into a webcam-sized frame.
struct WebcamFace {
    FrameSize size;
    std::vector<std::uint8_t> frame;  // frame layout (blue, green, red), bottom row first
    // The centre of the annotated face in the face step's turned coordinates.
    float centreX = 0;
    float centreY = 0;
};

// Every face of `folder` (pairs of .jpg and .pts), scaled so that its landmarks span about
// `faceWidth` pixels, on a textured background of a 1280 x 720 frame.
std::vector<WebcamFace> webcamFaces(const std::string& folder, float faceWidth);

}  // namespace velvix::testing
