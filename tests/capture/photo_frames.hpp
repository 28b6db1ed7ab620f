#pragma once

#include <cstdint>
#include <vector>

// Camera frames made from the test photo.
namespace velvix::testing {

struct Photo {
    int width = 0;
    int height = 0;
    std::vector<std::uint8_t> rgb;  // red, green, blue; top row first
};

// Empty when the photo cannot be read.
Photo testPhoto();

// The photo in the middle of a mid-grey picture of that size, which is larger.
Photo photoInFrame(int width, int height);

// As a webcam codes its frames: 4:2:2 chroma, a middling quality.
std::vector<std::uint8_t> cameraJpeg(const Photo& photo);

// The mean difference per channel between a frame in the capture layout (red, green, blue,
// alpha; bottom row first) and the photo. A frame upside down or with red and blue swapped is
// far off.
double meanDifference(const std::uint8_t* frame, const Photo& photo);

}  // namespace velvix::testing
