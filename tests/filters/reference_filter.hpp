#pragma once

#include "filter_images.hpp"

namespace velvix::testing {

// The vectorised filter's arithmetic written one pixel and one channel at a time, with plain
// float multiplies and adds, on a tightly packed image whose rows the smoothing driver continues
// to a multiple of 16 pixels with copies of their last pixel. In the right-to-left sweep the
// last pixel of a row is compared with the pixel that follows it in memory, the next row's
// first; that of the image's last row with itself.
Image referenceFilter(const Image& in, int width, int height, float sigmaSpatial, float sigmaRange);

// The scalar fallback written one pixel at a time from its description: its own coefficients
// in float, distances averaged over all four bytes and always measured on the source picture,
// every sweep seeded with the pixel itself and factor 1, rows merged by dividing the summed
// colours by the summed factors, columns by multiplying with the inverse of the summed factors,
// and the result truncated.
Image referenceScalarFilter(const Image& in, int width, int height, float sigmaSpatial,
                            float sigmaRange);

// The largest difference between two images of the same size, and how many bytes differ.
struct ImageDifference {
    int largest = 0;
    std::size_t differingBytes = 0;
};
ImageDifference compareImages(const Image& a, const Image& b);

}  // namespace velvix::testing
