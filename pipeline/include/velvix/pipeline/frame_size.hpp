#pragma once

#include <cstdint>

#include "velvix/base/picture.hpp"

namespace velvix {

inline constexpr FrameSize kDefaultFrameSize{1280, 720};

// One frame period at 30 frames per second, in units of 100 ns.
inline constexpr std::uint64_t kFramePeriod = 333333;

}  // namespace velvix
