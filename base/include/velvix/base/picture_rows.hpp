#pragma once

#include <cstddef>
#include <cstring>

#include "velvix/base/picture.hpp"

// The order of a picture's rows: frames keep their bottom row first (pipeline/pixels.hpp),
// files and screens their top row first.
namespace velvix {

// The same pixels with the last row first: a picture stored bottom row first seen top row
// first, and the other way round.
template <typename Byte>
PictureView<Byte> upsideDown(PictureView<Byte> picture) {
    if (picture.height <= 0) {
        return picture;
    }
    return {picture.row(picture.height - 1), picture.width, picture.height, -picture.stride};
}

// Copies the rows of `source` into `destination`, which has its size; pixels of
// `bytesPerPixel` bytes. With upsideDown on either side, turns the rows' order.
inline void copyRows(ConstPicture source, Picture destination, int bytesPerPixel) {
    const auto rowBytes = static_cast<std::size_t>(source.width) * bytesPerPixel;
    for (int y = 0; y < source.height; ++y) {
        std::memcpy(destination.row(y), source.row(y), rowBytes);
    }
}

}  // namespace velvix
