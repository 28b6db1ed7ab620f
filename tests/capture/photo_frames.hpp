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

// The photo in the middle of a mid-grey picture of that size.
Photo photoInFrame(int width, int height);

// As a webcam codes its frames: 4:2:2 chroma, a middling quality.
std::vector<std::uint8_t> cameraJpeg(const Photo& photo);

// How pixels lie in a frame to compare: bytes per pixel, which of them hold red and blue
// (green lies between), and bottom row first.
struct PixelOrder {
    int bytes;
    int red;
    int blue;
};
inline constexpr PixelOrder kCaptureLayout{4, 0, 2};

// The mean difference per channel between a bottom-row-first frame and the photo. A frame
// upside down or with red and blue swapped is far off.
double meanDifference(const std::uint8_t* frame, PixelOrder order, const Photo& photo);

}  // namespace velvix::testing
