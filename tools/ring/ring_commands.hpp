#pragma once

#include <string>

#include "velvix/pipeline/frame_ring.hpp"

namespace velvix::ring_tool {

// The header fields and the slot positions, one per line.
std::string describeHeader(const RingHeaderSnapshot& header, std::size_t sectionBytes);

// Turns a ring frame (blue, green, red, bottom row first) into RGB rows, top row first.
std::vector<std::uint8_t> uprightRgb(const RingFrame& frame);

// Writes the frame upright as a PNG file; false when the file cannot be written.
bool writeSnapshot(const RingFrame& frame, const std::string& path);

}  // namespace velvix::ring_tool
