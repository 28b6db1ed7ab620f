#pragma once

#include <cstdint>
#include <vector>

#include "process_still.hpp"

namespace velvix::process_tool {

// Draws the face rectangle (green), the outline of the face-shaped mask (blue), the protected
// boxes (yellow) and the landmarks (red) onto an upright picture of red, green and blue bytes.
void drawOverlay(std::vector<std::uint8_t>& rgb, FrameSize size, const UprightFace& face);

}  // namespace velvix::process_tool
