#pragma once

#include <cstdint>

namespace velvix {

// The size of a picture in pixels.
struct FrameSize {
    int width = 0;
    int height = 0;

    friend bool operator==(const FrameSize&, const FrameSize&) = default;
    std::int64_t pixels() const { return std::int64_t{width} * height; }
};

}  // namespace velvix
