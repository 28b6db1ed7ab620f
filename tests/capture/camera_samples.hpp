#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "velvix/capture/capture_backend.hpp"

// What the tests' cameras send, made from the test photo, and what real cameras list.
namespace velvix::testing {

struct Photo {
    int width = 0;
    int height = 0;
    std::vector<std::uint8_t> rgb;  // red, green, blue; top row first
};

Photo testPhoto();  // empty when the photo cannot be read

// The photo in the middle of a mid-grey picture of that size, which is larger.
Photo photoInFrame(int width, int height);

// As a webcam codes its frames: 4:2:2 chroma, a middling quality.
std::vector<std::uint8_t> cameraJpeg(const Photo& photo);

// The mean difference per channel between a frame in the capture layout (red, green, blue,
// alpha; bottom row first) and the photo: far off when upside down or red and blue swapped.
double meanDifference(const std::uint8_t* frame, const Photo& photo);

// The sizes a real camera of tests/capture/cameras lists that the capture layer can take (H.264
// is left out), in the camera's order.
std::vector<CameraMode> cameraModes(const std::string& camera);

}  // namespace velvix::testing
