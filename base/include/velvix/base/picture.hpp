#pragma once

#include <cstddef>
#include <cstdint>
#include <type_traits>

namespace velvix {

// The size of a picture in pixels.
struct FrameSize {
    int width = 0;
    int height = 0;

    friend bool operator==(const FrameSize&, const FrameSize&) = default;
    std::int64_t pixels() const { return std::int64_t{width} * height; }
};

// A picture in memory that someone else owns: `height` rows of `width` pixels, each row
// starting `stride` bytes after the one before. How many bytes a pixel has and in which order
// is the caller's to know (pipeline/pixels.hpp lists the layouts).
template <typename Byte>
struct PictureView {
    Byte* pixels = nullptr;
    int width = 0;
    int height = 0;
    std::ptrdiff_t stride = 0;

    FrameSize size() const { return {width, height}; }
    Byte* row(int y) const { return pixels + static_cast<std::ptrdiff_t>(y) * stride; }
    // A writable picture may be read.
    operator PictureView<const Byte>() const requires(!std::is_const_v<Byte>) {
        return {pixels, width, height, stride};
    }
};

using Picture = PictureView<std::uint8_t>;
using ConstPicture = PictureView<const std::uint8_t>;

// A picture of tightly packed rows of `bytesPerPixel`-byte pixels.
template <typename Byte>
PictureView<Byte> packedPicture(Byte* pixels, FrameSize size, int bytesPerPixel) {
    return {pixels, size.width, size.height,
            static_cast<std::ptrdiff_t>(size.width) * bytesPerPixel};
}

}  // namespace velvix
