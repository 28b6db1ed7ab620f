#pragma once

#include <cstdint>
#include <vector>

namespace velvix::testing {

using Image = std::vector<std::uint8_t>;

// width x height pixels of 4 bytes, every byte random.
Image randomImage(int width, int height, unsigned seed);

// Smooth skin-like and background gradients with mild noise and a few hard edges, 4 bytes per
// pixel in the filter layout (blue, green, red, 255).
Image photoLikeImage(int width, int height, unsigned seed);

// Every pixel the same.
Image flatImage(int width, int height, std::uint32_t pixel);

// The rows of a tightly packed image placed `pitch` bytes apart, the padding zero.
Image withPitch(const Image& packed, int width, int height, int pitch);

// Makes the code under test take its scalar paths until the end of the scope.
class ScalarPathsOnly {
  public:
    ScalarPathsOnly();
    ~ScalarPathsOnly();
    ScalarPathsOnly(const ScalarPathsOnly&) = delete;
    ScalarPathsOnly& operator=(const ScalarPathsOnly&) = delete;

  private:
    bool saved_;
};

}  // namespace velvix::testing
