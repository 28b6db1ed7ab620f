#pragma once

#include <cstddef>
#include <optional>
#include <string_view>

#include "velvix/pipeline/capture_source.hpp"

namespace velvix {

// Every sub-type, in the order in which a refused request falls back to them.
inline constexpr int kSubtypeCount = static_cast<int>(MediaSubtype::nv12) + 1;
MediaSubtype subtypeAt(int position);

// The label diagnostics use for a sub-type.
std::string_view subtypeName(MediaSubtype subtype);

// The layout samples reach the capture callback in. Grey, 16-bit grey, NV12 and MJPG come as
// the device sends them (MJPG is decoded when a frame is fetched); every other format is
// converted to RGB24 (rows of blue, green, red, bottom row first) on the way.
MediaSubtype deliveredSubtype(MediaSubtype negotiated);

// Bytes of one delivered frame (for MJPG, whose frames vary, the most one may have); nothing
// when the size is not positive or too large to address.
std::optional<std::size_t> deliveredFrameBytes(MediaSubtype delivered, int width, int height);

}  // namespace velvix
