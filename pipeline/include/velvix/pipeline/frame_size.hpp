#pragma once

#include <cstdint>

namespace velvix {

struct FrameSize {
    int width = 0;
    int height = 0;

    friend bool operator==(const FrameSize&, const FrameSize&) = default;
    std::int64_t pixels() const { return std::int64_t{width} * height; }
};

inline constexpr FrameSize kDefaultFrameSize{1280, 720};

// One frame period at 30 frames per second, in units of 100 ns.
inline constexpr std::uint64_t kFramePeriod = 333333;

}  // namespace velvix
