#pragma once

#include <array>
#include <cstdint>

namespace velvix {

// The 98-point layout's partner of each point in a picture mirrored left to right: the outer
// corner of the image-left eye becomes the outer corner of the image-right eye, and so on.
// Points on the middle line (nose bridge, nose tip, middle of the lips) are their own partners.
extern const std::array<std::uint8_t, 98> kMirroredLandmark;

}  // namespace velvix
